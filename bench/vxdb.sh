#!/bin/bash
# The PC tool against what a user would pick instead: vxdb verify of a day
# against md5sum -c, vxdb check of BENCH_DAYS days (2% of the small files and
# one large file changed each day) against md5sum over the distinct files,
# and vxdb restore of a day against cp -a plus md5sum. Prints its rows of the
# table; run by run.sh, or on its own (same knobs: BENCH_SCALE, BENCH_REPEAT,
# BENCH_KEEP, BENCH_TAPSIM, BENCH_IMAGE; BENCH_DAYS=30).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scale=${BENCH_SCALE:-1}
repeat=${BENCH_REPEAT:-3}
days=${BENCH_DAYS:-30}
work=$top/build/bench-vxdb
tool=$top/build/bench/benchtool
tapsim=${BENCH_TAPSIM:-$top/build/host/tapsim}
image=${BENCH_IMAGE:-$top/build/host/Vaultrix.tap}
vxdb=$top/build/host/vxdb
results=$work/results

rm -rf "$work"
mkdir -p "$work/out" "$work/logs"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
: > "$results"
log() { printf '%s\n' "$*" >&2; }

# As in run.sh: every measurement finds only the source tree in the page
# cache, so the backups are read from the disk by both sides.
measure() {
  local name=$1
  shift
  sync
  "$tool" evict "$work/out" "$work/disk/Backup"
  echo "$name $("$tool" time "$work/logs/$name.log" "$@")" >> "$results"
}
median() { # NAME FIELD (1 wall, 2 cpu, 3 rss)
  awk -v n="$1" -v f="$2" '$1 == n { print $(f + 1) }' "$results" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ---- BENCH_DAYS daily backups made by the plug-in ----------------------------
disk=$work/disk
src=$disk/ProgramFiles
log "bench vxdb: generating the tree (scale $scale) and $days daily backups"
tree=$("$tool" gentree "$src" 20240301 "$scale")
mkdir -p "$src/Settings/Vaultrix"
printf 'DestDevice=internal\r\nDestPath=/mnt/hd/Backup/\r\n' > "$src/Settings/Vaultrix/Vaultrix.ini"
for d in $(seq "$days"); do
  [ "$d" = 1 ] || "$tool" mutate "$src" $((20240400 + d)) > /dev/null
  "$tapsim" --disk "$disk" --clock "$(date -u -d "2026-05-01 + $((d - 1)) days" +%F) 03:00:00" --tick-step 1 \
    "$image" > "$work/logs/tapsim.log" 2>&1
done
backup=$disk/Backup
first=$(ls "$backup" | head -1)
day=$backup/$first
(cd "$day" && find . -type f ! -name VXDB.db -print0 | xargs -0 md5sum) > "$work/day.md5"
# One name per inode: what md5sum must read to cover every day.
find "$backup" -type f ! -name VXDB.db -printf '%i %p\n' | sort -k1,1 -u | cut -d' ' -f2- | tr '\n' '\0' > "$work/unique"
unique=$(tr -cd '\0' < "$work/unique" | wc -c)
unique_bytes=$(xargs -0 stat -c %s < "$work/unique" | awk '{ s += $1 } END { printf "%.0f", s }')

for r in $(seq "$repeat"); do
  log "bench vxdb: run $r of $repeat"
  measure verify "$vxdb" verify --no-progress "$day"
  measure md5c sh -c 'cd "$1" && md5sum -c --quiet "$2"' sh "$day" "$work/day.md5"
  measure check "$vxdb" check --no-progress "$backup"
  measure md5unique sh -c 'xargs -0 md5sum < "$1" > /dev/null' sh "$work/unique"
  measure restore "$vxdb" restore --no-progress "$day" "$work/out/restore-$r"
  measure cpa cp -a "$day" "$work/out/cp-$r"
  measure md5day sh -c 'cd "$1" && find . -type f -print0 | xargs -0 md5sum > /dev/null' sh "$day"
done

row() { printf '  %-34s %9.2f %9.2f %9.1f\n' "$1" "$(median "$2" 1)" "$(median "$2" 2)" "$(awk -v k="$(median "$2" 3)" 'BEGIN { print k / 1024 }')"; }
ratio() { # LABEL NUMERATOR DENOMINATOR [DENOMINATOR2] TARGET
  local d
  d=$(median "$3" 1)
  [ -z "${4:-}" ] || d=$(awk -v a="$d" -v b="$(median "$4" 1)" 'BEGIN { print a + b }')
  printf '  %-34s %9.2f   %s\n' "$1" "$(awk -v a="$(median "$2" 1)" -v b="$d" 'BEGIN { print a / b }')" "${5:-}"
}
echo
echo "vxdb on $days daily backups of $tree ($unique distinct files, $unique_bytes bytes); median of $repeat runs"
printf '  %-34s %9s %9s %9s\n' "" "wall s" "cpu s" "peak MiB"
echo "verify of one day"
row "vxdb verify" verify
row "md5sum -c" md5c
ratio "vxdb verify / md5sum -c" verify md5c "" "(target <= 1.1)"
echo "check of all $days days"
row "vxdb check" check
row "md5sum over the distinct files" md5unique
ratio "vxdb check / md5sum distinct" check md5unique "" "(target <= 1.2)"
echo "restore of one day"
row "vxdb restore" restore
row "cp -a" cpa
row "md5sum" md5day
ratio "vxdb restore / (cp -a + md5sum)" restore cpa md5day "(target <= 1.5)"
