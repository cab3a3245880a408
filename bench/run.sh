#!/bin/bash
# One benchmark run: Vaultrix in the simulator against what a user would pick
# instead, on the same recorder-like tree, side by side.  Prints a table; a
# time never fails the run.
#
#   BENCH_SCALE=1      size of the tree (0.05 for a quick run)
#   BENCH_REPEAT=3     runs of each measurement; the table shows medians
#   BENCH_SERIES=...   file counts of the scale series (default 1000 5000
#                      20000 60000, times BENCH_SCALE)
#   BENCH_EARLIER=365  earlier backups for the lookup
#   BENCH_KEEP=1       keep build/bench-run afterwards
#   BENCH_TAPSIM, BENCH_IMAGE  another build's simulator and image (to
#                      compare before and after a change)
#   BENCH_MIPSEL=build/mipsel  the recorder build whose slowest event with a
#                      200 MB file is measured under qemu (skipped if absent)
#   BENCH_DISK_SPEED=25, BENCH_RECORDING=2, BENCH_RECORDER_CPU=3  the busy
#                      disk (MB/s) and the processor share (%) of the
#                      slowest-event rows on a recorder's limits
#
# Nothing is deleted until the end: ext4 avoids reusing inodes deleted in
# the last minutes, and then pays for every new file in proportion to the
# files just deleted.  Every run writes into a fresh folder instead, and
# what the runs wrote is dropped from the page cache before the next.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scale=${BENCH_SCALE:-1}
repeat=${BENCH_REPEAT:-3}
earlier=${BENCH_EARLIER:-365}
series=${BENCH_SERIES:-$(for n in 1000 5000 20000 60000; do awk -v n=$n -v s="$scale" 'BEGIN { m = int(n * s); print (m < 100 ? 100 : m) }'; done)}
work=$top/build/bench-run
tool=$top/build/bench/benchtool
tapsim=${BENCH_TAPSIM:-$top/build/host/tapsim}
image=${BENCH_IMAGE:-$top/build/host/Vaultrix.tap}
mipsel=${BENCH_MIPSEL:-$top/build/mipsel}
# A recorder's disk while it records, and its processor as a share of one
# core here (the README's section on a recorder's limits gives how these were
# found).
busy_disk=${BENCH_DISK_SPEED:-25}
busy_recording=${BENCH_RECORDING:-2}
recorder_cpu=${BENCH_RECORDER_CPU:-3}
results=$work/results
stats=$work/stats
reads=$work/reads
limits=$work/limits

rm -rf "$work"
mkdir -p "$work/out" "$work/logs"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
: > "$results"
: > "$stats"
: > "$reads"
: > "$limits"

log() { printf '%s\n' "$*" >&2; }

# measure NAME COMMAND...: one timed run, appended to the results.  The
# copies made so far leave the page cache first (all but the source), so
# that every run finds the source cached and the same room for its writes.
measure() {
  local name=$1
  shift
  sync
  "$tool" evict "$work/out" $(ls -d "$work"/disk/Backup-* "$work"/scale-*/Backup-* 2> /dev/null)
  local figures
  figures=$("$tool" time "$work/logs/$name.log" "$@")
  echo "$name $figures" >> "$results"
}

# The per-state event times that tapsim printed in the last run of NAME.
keep_stats() {
  local name=$1
  sed -n 's/^tapsim: state \([0-9]\): \([0-9]*\) events, TAP_EventHandler median \([0-9.]*\) us, p99 \([0-9.]*\) us, max \([0-9.]*\) us$/\1 \2 \3 \4 \5/p' \
    "$work/logs/$name.log" | while read -r state count median p99 max; do
    echo "$name $state $count $median $p99 $max" >> "$stats"
  done
  sed -n 's/^tapsim: read: \([0-9]*\) bytes through read(), at most \([0-9]*\) in one event$/\1 \2/p' \
    "$work/logs/$name.log" | while read -r total most; do
    echo "$name $total $most" >> "$reads"
  done
  # The deepest stack and the most memory held, for the README's figures.
  sed -n -e 's/^tapsim: stack: at most \([0-9]*\) bytes.*/stack \1/p' -e 's/^tapsim: memory: at most \([0-9]*\) bytes.*/memory \1/p' \
    "$work/logs/$name.log" | while read -r what bytes; do
    echo "$name $what $bytes" >> "$limits"
  done
  : > "$work/logs/$name.log"
}

settings() { # DISK [ROOT]
  printf 'DestDevice=internal\r\nDestPath=/mnt/hd/%s/\r\n' "${2:-Backup}" > "$1/ProgramFiles/Settings/Vaultrix/Vaultrix.ini"
}

# vaultrix NAME DISK ROOT DAY [OPTION...]: one load of the plug-in on that
# day's clock, backing up into DISK/ROOT, with any further tapsim options.
vaultrix() {
  local name=$1 disk=$2 root=$3 day=$4
  shift 4
  settings "$disk" "$root"
  measure "$name" "$tapsim" --disk "$disk" --clock "$day 03:00:00" --tick-step 1 --stats "$@" "$image"
  keep_stats "$name"
}

# vaultrix_quick NAME ROOT DAY: the same with FullCheckDays=7.  Its settings
# go on from one day to the next, as on a recorder: they hold the start of
# the last backup's reading, which the quick check needs.
vaultrix_quick() {
  local name=$1 root=$2 day=$3 ini=$disk/ProgramFiles/Settings/Vaultrix/Vaultrix.ini
  if [ -f "$work/$root.ini" ]; then
    cp "$work/$root.ini" "$ini"
  else
    settings "$disk" "$root"
    printf 'FullCheckDays=7\r\n' >> "$ini"
  fi
  measure "$name" "$tapsim" --disk "$disk" --clock "$day 03:00:00" --tick-step 1 --stats "$image"
  keep_stats "$name"
  cp "$ini" "$work/$root.ini"
}

median() { # NAME FIELD (1 wall, 2 cpu, 3 rss)
  awk -v n="$1" -v f="$2" '$1 == n { print $(f + 1) }' "$results" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

stat_median() { # NAME STATE FIELD (2 count, 3 median, 4 p99, 5 max)
  awk -v n="$1" -v s="$2" -v f="$3" '$1 == n && $2 == s { print $(f + 1) }' "$stats" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ---- the tree -----------------------------------------------------------
disk=$work/disk
src=$disk/ProgramFiles
out=$work/out
log "bench: generating the tree (scale $scale)"
tree=$("$tool" gentree "$src" 20240301 "$scale")
tree_made=$(date +%s)
src_bytes=$(echo "$tree" | sed -n 's/.* \([0-9][0-9]*\) bytes.*/\1/p')
mkdir -p "$src/Settings/Vaultrix"
settings "$disk"

md5tree() { measure "$1" sh -c 'cd "$1" && find . -type f -print0 | xargs -0 md5sum > /dev/null' sh "$src"; }

# ---- day 1: everything is new -------------------------------------------
for r in $(seq "$repeat"); do
  log "bench: day 1, run $r of $repeat"
  measure d1.rsync rsync -a "$src/" "$out/rsync1-$r/"
  measure d1.cp cp -a "$src" "$out/cp1-$r"
  md5tree d1.md5sum
  # The peers that also make their copies durable, as the plug-in does.
  measure d1.cpsync sh -c 'cp -a "$1" "$2" && sync' sh "$src" "$out/cpsync1-$r"
  measure d1.rsyncfsync rsync -a --fsync "$src/" "$out/rsyncfsync1-$r/"
  vaultrix d1.vaultrix "$disk" "Backup-$r" 2026-03-01
  # On this machine's kernel: sync_file_range where the recorder's has fsync.
  vaultrix d1.kernel "$disk" "Backup-kernel-$r" 2026-03-01 --kernel none
  # The quick check takes over only files older than a minute when the
  # last backup began; a recorder's files are, the fresh tree is not yet.
  wait=$((tree_made + 62 - $(date +%s)))
  [ "$wait" -le 0 ] || sleep "$wait"
  vaultrix_quick d1.quick "Backup-quick-$r" 2026-03-01
done

# ---- the flushes: day 1 with and without them ------------------------------
# Every copy is synced and the backup's folders after it, before the
# catalogue is saved; --no-sync makes those calls do nothing, so the
# difference is their cost.  The trace of the run with them gives the
# longest event of the final flush (those after the copy pass's summary, the
# save included); the run without them writes a trace too, so that --no-sync
# is all the two differ in.
flush_us() { # TRACE: the longest event after the summary, in state 3
  awk '/DeDupe: / { after = 1; next }
       after && / state=3>/ && match($0, / us=[0-9]+ /) { us = substr($0, RSTART + 4, RLENGTH - 5); if (us > m) m = us }
       END { if (after) print m + 0 }' "$1"
}
for r in $(seq "$repeat"); do
  log "bench: day 1 with and without flushes, run $r of $repeat"
  vaultrix flush.on "$disk" "Backup-flush-on-$r" 2026-03-01 --trace "$work/flush.trace"
  us=$(flush_us "$work/flush.trace")
  [ -z "$us" ] || echo "flush.event $(awk -v u="$us" 'BEGIN { printf "%.6f", u / 1e6 }') 0 0" >> "$results"
  vaultrix flush.off "$disk" "Backup-flush-off-$r" 2026-03-01 --trace "$work/flush-off.trace" --no-sync
done
settings "$disk"

# ---- day 2: nothing changed ---------------------------------------------
for r in $(seq "$repeat"); do
  log "bench: day 2, run $r of $repeat"
  measure d2.rsync rsync -a --link-dest="$out/rsync1-$r" "$src/" "$out/rsync2-$r/"
  measure d2.cpal cp -al "$out/cp1-$r" "$out/cp2-$r"
  md5tree d2.md5sum
  vaultrix d2.vaultrix "$disk" "Backup-$r" 2026-03-02
  vaultrix_quick d2.quick "Backup-quick-$r" 2026-03-02
done

# ---- day 3: 2% of the small files and one large file changed ------------
changes=$("$tool" mutate "$src" 20240303 | sed "s|$src/||")
for r in $(seq "$repeat"); do
  log "bench: day 3, run $r of $repeat"
  measure d3.rsync rsync -a --link-dest="$out/rsync2-$r" "$src/" "$out/rsync3-$r/"
  measure d3.cpal cp -al "$out/cp2-$r" "$out/cp3-$r"
  md5tree d3.md5sum
  vaultrix d3.vaultrix "$disk" "Backup-$r" 2026-03-03
  vaultrix_quick d3.quick "Backup-quick-$r" 2026-03-03
done

# ---- one 200 MB file: the slowest event of the scan and the copy pass ---
# large_run NAME TICKS IMAGE TAPSIM...: day 1 (copied) and day 2 (hashed,
# linked) of a tree that holds the one file, on virtual ticks (TICKS
# "--tick-step 1") or the recorder's real ones (""); the largest event of
# any state, and the largest of the final flush and the save (the copy
# state's events after the summary) apart, in ms.
large_run() {
  local name=$1 ticks=$2 large_image=$3 lg=$work/large-$1
  shift 3
  rm -rf "$lg"
  mkdir -p "$lg/ProgramFiles/Settings/Vaultrix"
  cp "$work/large.bin" "$lg/ProgramFiles/film.rec"
  : > "$lg.events"
  for day in 2026-05-01 2026-05-02; do
    settings "$lg"
    "$@" --disk "$lg" --clock "$day 03:00:00" $ticks --trace "$lg.trace" "$large_image" > /dev/null 2>&1 || true
    awk '{ us = 0; if (match($0, / us=[0-9]+ /)) us = substr($0, RSTART + 4, RLENGTH - 5) }
         flush && / state=3>/ { print "flush", us; next }
         /DeDupe: / { flush = 1 }
         { print "event", us }' "$lg.trace" >> "$lg.events"
  done
  for kind in event flush; do
    awk -v k=$kind '$1 == k { print $2 }' "$lg.events" | sort -g | tail -1 | awk '{ printf "%.1f ", $1 / 1000 }'
  done
}
log "bench: one 200 MB file"
head -c 200000000 /dev/urandom > "$work/large.bin"
large_pc=$(large_run pc "--tick-step 1" "$image" "$tapsim")
large_mipsel="not measured (no $mipsel/tapsim)"
if [ -x "$mipsel/tapsim" ] && command -v qemu-mipsel > /dev/null; then
  large_mipsel=$(large_run mipsel "--tick-step 1" "$mipsel/Vaultrix.tap" qemu-mipsel -L /usr/mipsel-linux-gnu "$mipsel/tapsim")
fi
# The same on a recorder's disk while it records (see the README's
# section on a recorder's limits), on the PC and at the recorder's share of
# the processor, on the recorder's real ticks, by which the plug-in ends an
# event; --cpu needs a CPU controller this machine may not offer.
busy="--disk-speed $busy_disk --recording $busy_recording"
log "bench: one 200 MB file on a busy disk"
large_busy=$(large_run busy "" "$image" "$tapsim" $busy)
mkdir -p "$work/cpucheck"
if cpu_err=$("$tapsim" --disk "$work/cpucheck" --cpu "$recorder_cpu" --max-events 1 --console /dev/null "$image" 2>&1 > /dev/null) ||
  ! echo "$cpu_err" | grep -q -- '--cpu:'; then
  log "bench: one 200 MB file on a busy disk at the recorder's processor share"
  large_recorder=$(large_run recorder "" "$image" "$tapsim" $busy --cpu "$recorder_cpu")
else
  large_recorder="not measured: $(echo "$cpu_err" | grep -- '--cpu:' | head -1)"
fi
rm -rf "$work"/large-*/ "$work/large.bin"

# ---- the previous-backup lookup after a year of backups ------------------
log "bench: lookup among $earlier earlier backups"
lk=$work/lookup
"$tool" smalltree "$lk/ProgramFiles" 20 7 > /dev/null
mkdir -p "$lk/ProgramFiles/Settings/Vaultrix"
catalogue_info=$("$tool" catalogues "$disk/Backup-1/2026-03-01/VXDB.db" "$lk/Backup" "$earlier" 2027-03-01)
for r in $(seq "$repeat"); do
  rm -rf "$lk/Backup/2027-03-01" # a few files only
  settings "$lk"
  sync
  "$tapsim" --disk "$lk" --clock "2027-03-01 03:00:00" --tick-step 1 --trace "$work/lookup.trace" "$image" > /dev/null 2>&1
  # The lookup runs in the step that ends the scan (state 2 to 3).
  us=$(sed -n 's/.* us=\([0-9]*\) .*state=2>3.*/\1/p' "$work/lookup.trace" | head -1)
  [ -z "$us" ] || echo "lookup $(awk -v u="$us" 'BEGIN { printf "%.6f", u / 1e6 }') 0 0" >> "$results"
done

# ---- scale: small files only --------------------------------------------
for n in $series; do
  log "bench: scale series, $n small files"
  sd=$work/scale-$n
  "$tool" smalltree "$sd/ProgramFiles" "$n" 4242 > /dev/null
  mkdir -p "$sd/ProgramFiles/Settings/Vaultrix"
  for r in $(seq "$repeat"); do
    vaultrix "s$n.day1" "$sd" "Backup-$r" 2026-04-01
    vaultrix "s$n.day2" "$sd" "Backup-$r" 2026-04-02
  done
done

# ---- checksums --------------------------------------------------------------
log "bench: checksum throughput"
"$top/build/bench/checksum_bench" --benchmark_repetitions="$repeat" --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=csv 2> /dev/null > "$work/checksums.csv"

# ---- the table ----------------------------------------------------------------
row() { # LABEL NAME
  printf '  %-30s %9.2f %9.2f %9.1f\n' "$1" "$(median "$2" 1)" "$(median "$2" 2)" "$(awk -v k="$(median "$2" 3)" 'BEGIN { print k / 1024 }')"
}
sum_row() { # LABEL NAME1 NAME2
  local w c m
  w=$(awk -v a="$(median "$2" 1)" -v b="$(median "$3" 1)" 'BEGIN { print a + b }')
  c=$(awk -v a="$(median "$2" 2)" -v b="$(median "$3" 2)" 'BEGIN { print a + b }')
  m=$(awk -v a="$(median "$2" 3)" -v b="$(median "$3" 3)" 'BEGIN { print (a > b ? a : b) / 1024 }')
  printf '  %-30s %9.2f %9.2f %9.1f\n' "$1" "$w" "$c" "$m"
}
ratio() { # LABEL NUMERATOR DENOMINATOR1 [DENOMINATOR2] TARGET
  local d
  d=$(median "$3" 1)
  [ -z "${4:-}" ] || d=$(awk -v a="$d" -v b="$(median "$4" 1)" 'BEGIN { print a + b }')
  printf '  %-30s %9.2f   %s\n' "$1" "$(awk -v a="$(median "$2" 1)" -v b="$d" 'BEGIN { print a / b }')" "${5:-}"
}
state_rows() { # NAME
  for s in 0 1 2 3 4 5; do
    [ "$(stat_median "$1" $s 2)" != "-" ] || continue
    printf '    state %d  %7s events  median %8s us  p99 %8s us  max %10s us\n' "$s" "$(stat_median "$1" $s 2)" \
      "$(stat_median "$1" $s 3)" "$(stat_median "$1" $s 4)" "$(stat_median "$1" $s 5)"
  done
}
throughput() { # NAME/ARG -> MB/s (10^6 bytes) of the median
  awk -F, -v n="\"$1\"" -v m="\"$1_median\"" '$1 == n || $1 == m { printf "%.0f", $6 / 1e6; exit }' "$work/checksums.csv"
}

echo
echo "Vaultrix benchmark: $tree; median of $repeat runs"
echo "machine: $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1), $(df -h --output=fstype,source "$work" | tail -1 | awk '{ print $1 " on " $2 }')"
echo
printf '  %-30s %9s %9s %9s\n' "" "wall s" "cpu s" "peak MiB"
echo "day 1 (everything new)"
row "Vaultrix (tapsim)" d1.vaultrix
row "rsync -a" d1.rsync
row "cp -a" d1.cp
row "md5sum" d1.md5sum
sum_row "md5sum + cp -a" d1.md5sum d1.cp
ratio "Vaultrix / (md5sum + cp -a)" d1.vaultrix d1.md5sum d1.cp
ratio "Vaultrix / rsync -a" d1.vaultrix d1.rsync
row "cp -a + sync" d1.cpsync
row "rsync -a --fsync" d1.rsyncfsync
ratio "Vaultrix / (md5sum+cp -a+sync)" d1.vaultrix d1.md5sum d1.cpsync "(target <= 1.0)"
ratio "Vaultrix / rsync -a --fsync" d1.vaultrix d1.rsyncfsync "" "(target <= 1.0)"
row "Vaultrix, --kernel none" d1.kernel
ratio "the same / (md5sum+cp -a+sync)" d1.kernel d1.md5sum d1.cpsync
echo "day 2 (nothing changed)"
row "Vaultrix (tapsim)" d2.vaultrix
row "rsync -a --link-dest" d2.rsync
row "md5sum" d2.md5sum
row "cp -al" d2.cpal
sum_row "md5sum + cp -al" d2.md5sum d2.cpal
ratio "Vaultrix / (md5sum + cp -al)" d2.vaultrix d2.md5sum d2.cpal "(target <= 1.0)"
ratio "Vaultrix / rsync --link-dest" d2.vaultrix d2.rsync
echo "day 3 ($changes)"
row "Vaultrix (tapsim)" d3.vaultrix
row "rsync -a --link-dest" d3.rsync
row "md5sum" d3.md5sum
row "cp -al" d3.cpal
sum_row "md5sum + cp -al" d3.md5sum d3.cpal
ratio "Vaultrix / (md5sum + cp -al)" d3.vaultrix d3.md5sum d3.cpal
ratio "Vaultrix / rsync --link-dest" d3.vaultrix d3.rsync
echo
read_ratio() { # NAME [BYTES TAKEN OFF]: the median of the runs' bytes read per source byte
  awk -v n="$1" -v s="$src_bytes" -v off="${2:-0}" '$1 == n { print ($2 - off) / s }' "$reads" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'
}
echo "bytes of file contents the plug-in read ($src_bytes source bytes; median of the runs)"
for d in d1 d2 d3; do
  printf '  %-4s read / source bytes %6.3f   at most %s bytes in one event%s\n' "$d" "$(read_ratio "$d.vaultrix")" \
    "$(awk -v n="$d.vaultrix" '$1 == n { print $3 }' "$reads" | sort -g | tail -1)" "$([ "$d" = d3 ] || echo '   (target <= 1.02)')"
done
most() { # NAME WHAT: the largest of the runs' figures
  awk -v n="$1" -v w="$2" '$1 == n && $2 == w && $3 > m { m = $3 } END { print m + 0 }' "$limits"
}
printf '  stack at most %s bytes (day 1), %s (day 2); memory held at most %s bytes (day 1), %s (day 2)\n' \
  "$(most d1.vaultrix stack)" "$(most d2.vaultrix stack)" "$(most d1.vaultrix memory)" "$(most d2.vaultrix memory)"
echo "slowest event with one 200 MB file (day 1 copy, day 2 link), ms: of any state; of the final flush and save"
echo "  PC build:              $large_pc  (target <= 25 ms for the first)"
echo "  mipsel under qemu:     $large_mipsel"
ticks() { # "EVENT FLUSH" in ms -> the same and the slowest in ticks of 10 ms
  echo "$1" | awk '/^[0-9. ]+$/ { m = $1 > $2 ? $1 : $2; printf "%s  slowest %.1f ticks", $0, m / 10; next } { print }'
}
echo "  PC, busy disk:         $(ticks "$large_busy")  (--disk-speed $busy_disk --recording $busy_recording; target <= 25 ms)"
echo "  recorder's processor:  $(ticks "$large_recorder")  (the same and --cpu $recorder_cpu; target <= 3 ticks)"
echo
echo "quick check (FullCheckDays=7; the full check is the default, which also reads 1 in 30 earlier copies)"
row "day 2 Vaultrix, quick check" d2.quick
ratio "quick / full check, day 2" d2.quick d2.vaultrix "" "(target <= 0.35)"
ratio "quick / rsync --link-dest, day 2" d2.quick d2.rsync "" "(target <= 1.0)"
row "day 3 Vaultrix, quick check" d3.quick
ratio "quick / rsync --link-dest, day 3" d3.quick d3.rsync "" "(target <= 3.5)"
printf '  %-30s %9s   %s\n' "read / source bytes, day 2" "$(read_ratio d2.quick)" \
  "(1/7 of the source, 1/7 of the earlier copies, the catalogue; target <= 0.35)"
catalogue_bytes=$(stat -c %s "$disk/Backup-1/2026-03-01/VXDB.db")
printf '  %-30s %9s   %s\n' "earlier copies read / source" "$(read_ratio d2.vaultrix $((src_bytes + catalogue_bytes)))" \
  "(day 2 with the full check: all it reads but the source and the catalogue)"
echo
echo "event handler times (state 2 scan, 3 copy pass; median of the runs' figures)"
for d in d1 d2 d3; do
  echo "  $d"
  state_rows "$d.vaultrix"
done
echo
echo "flushes on day 1 (each copy synced, the destination flushed before the catalogue)"
row "with them" flush.on
row "without (tapsim --no-sync)" flush.off
printf '  %-30s %9.2f s (%s%%)\n' "cost" "$(awk -v a="$(median flush.on 1)" -v b="$(median flush.off 1)" 'BEGIN { print a - b }')" \
  "$(awk -v a="$(median flush.on 1)" -v b="$(median flush.off 1)" 'BEGIN { printf "%.0f", (a - b) / b * 100 }')"
printf '  %-30s %9.1f ms\n' "the final flush's longest event" "$(awk -v s="$(median flush.event 1)" 'BEGIN { print s * 1000 }')"
printf '  %-30s %9.1f ms with, %.1f ms without\n' "slowest copy-pass event" \
  "$(awk -v u="$(stat_median flush.on 3 5)" 'BEGIN { print u / 1000 }')" "$(awk -v u="$(stat_median flush.off 3 5)" 'BEGIN { print u / 1000 }')"
echo
echo "previous-backup lookup among $earlier earlier backups ($catalogue_info): $(awk -v s="$(median lookup 1)" 'BEGIN { printf "%.1f ms", s * 1000 }') in one step"
echo
echo "scale series (small files, wall time per file; p99 event time of scan and copy pass)"
printf '  %8s  %12s %12s  %10s %10s %10s %10s\n' files "day 1 us" "day 2 us" "d1 scan" "d1 copy" "d2 scan" "d2 copy"
second=$(echo $series | awk '{ print $2 }')
base1= base2= last= last1= last2=
for n in $series; do
  p1=$(awk -v w="$(median "s$n.day1" 1)" -v n="$n" 'BEGIN { printf "%.1f", w / n * 1e6 }')
  p2=$(awk -v w="$(median "s$n.day2" 1)" -v n="$n" 'BEGIN { printf "%.1f", w / n * 1e6 }')
  printf '  %8d  %12s %12s  %10s %10s %10s %10s\n' "$n" "$p1" "$p2" "$(stat_median "s$n.day1" 2 4)" \
    "$(stat_median "s$n.day1" 3 4)" "$(stat_median "s$n.day2" 2 4)" "$(stat_median "s$n.day2" 3 4)"
  [ "$n" != "$second" ] || base1=$p1 base2=$p2
  last=$n last1=$p1 last2=$p2
done
[ -z "$base1" ] || printf '  time per file at %d / at %d: day 1 %.2f, day 2 %.2f (target <= 1.2)\n' "$last" "$second" \
  "$(awk -v a="$last1" -v b="$base1" 'BEGIN { print a / b }')" "$(awk -v a="$last2" -v b="$base2" 'BEGIN { print a / b }')"
echo
echo "checksums (MB/s, 10^6 bytes)"
printf '  %-10s %10s %10s %10s %8s\n' size "Vaultrix" "OpenSSL" "CRC32" "MD5/OSSL"
for a in 1024 16384 1048576; do
  v=$(throughput "BM_VaultrixMD5/$a")
  o=$(throughput "BM_OpenSSLMD5/$a")
  c=$(throughput "BM_VaultrixCRC32/$a")
  printf '  %-10s %10s %10s %10s %8.2f\n' "$a" "$v" "$o" "$c" "$(awk -v v="$v" -v o="$o" 'BEGIN { print v / o }')"
done
echo "  (target: MD5 >= 0.9 x OpenSSL at 16 KiB and 1 MiB)"

# ---- the PC tool (its own tree and days) --------------------------------------
[ "${BENCH_VXDB:-1}" = 0 ] || "$top/bench/vxdb.sh"
