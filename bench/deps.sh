#!/bin/sh
# What the benchmarks need beyond the build (Debian 12, as root): Google
# Benchmark, OpenSSL's MD5 to compare against, and the tools compared with.
set -e
packages="libbenchmark-dev libssl-dev rsync coreutils findutils"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "bench: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "bench: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null
