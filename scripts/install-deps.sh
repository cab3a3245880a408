#!/bin/sh
# Installs what the build and the tests need and is not there yet (Debian 12,
# as root); packages named as arguments are installed instead of those.
set -e
packages="$*"
[ -n "$packages" ] || packages="cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev libssl-dev g++-mipsel-linux-gnu qemu-user openssh-server openssh-client sshfs rsync iproute2 util-linux e2fsprogs psmisc valgrind exfatprogs exfat-fuse ntfs-3g"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null
