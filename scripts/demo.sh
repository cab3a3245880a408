#!/bin/sh
# Two days of backups on a small demo recorder, in the simulator: what the
# plug-in logs, the dated folders it makes, and what the second day costs.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$top/build/demo
disk=$demo/disk
pf=$disk/ProgramFiles
rm -rf "$demo"
mkdir -p "$pf/Settings/Vaultrix" "$pf/Timers" "$pf/EPG" "$pf/Plugins/Radio Stations"
printf 'DestDevice=internal\r\nDestPath=/mnt/hd/Backup/\r\n' > "$pf/Settings/Vaultrix/Vaultrix.ini"
echo "demo recorder" > "$pf/readme.txt"
printf '[Timer1]\r\nChannel=ZDF\r\nStart=20:15\r\n' > "$pf/Timers/timers.ini"
head -c 400000 /dev/urandom > "$pf/EPG/epg.dat"
head -c 150000 /dev/urandom > "$pf/Plugins/Radio Stations/logos.bin"
echo "stations" > "$pf/Plugins/Radio Stations/list.txt"

day() {
  echo "== $1: a load of the plug-in"
  "$top/build/host/tapsim" --disk "$disk" --clock "$1 03:00:00" --tick-step 1 "$top/build/host/Vaultrix.tap"
  echo
}

day 2026-12-01
echo "(overnight the timers change and the EPG is refreshed)"
printf '[Timer1]\r\nChannel=ARD\r\nStart=21:45\r\n' > "$pf/Timers/timers.ini"
head -c 400000 /dev/urandom > "$pf/EPG/epg.dat"
echo
day 2026-12-02

if [ -f "$pf/Settings/TAPSystem.log" ]; then
  echo "== the system log"
  cat "$pf/Settings/TAPSystem.log"
  echo
fi
echo "== the dated folders"
ls -l "$disk/Backup"
echo
echo "== the space each day takes (files linked to the day before count once)"
(cd "$disk/Backup" && du -sh 2026-12-01 2026-12-02)

echo
echo "== checking the second day's backup on the PC with vxdb"
"$top/build/host/vxdb" verify "$disk/Backup/2026-12-02"
