#!/bin/sh
# Runs the plug-in in the simulator on a small demo recorder.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/disk/ProgramFiles/Settings/Vaultrix"
echo "demo" > "$demo/disk/ProgramFiles/readme.txt"
printf 'DestDevice=internal\r\nDestPath=/mnt/hd/Backup/\r\n' > "$demo/disk/ProgramFiles/Settings/Vaultrix/Vaultrix.ini"
"$top/build/host/tapsim" --disk "$demo/disk" "$top/build/host/Vaultrix.tap"
