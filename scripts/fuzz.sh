#!/bin/sh
# Runs each libFuzzer target of build/fuzz for SECONDS (default 10), starting
# from its seed corpus and every saved crash; what it learns stays in
# build/fuzz/run/<target>.  A crash fails the run and is left in
# build/fuzz/artifacts/: once fixed, copy it to tests/fuzz/crashes/<target>/,
# where the test suite replays it (fuzz_replay_test).
seconds=${1:-10}
cd "$(dirname "$0")/.." || exit 2
mkdir -p build/fuzz/artifacts
status=0
for target in ini_store vxdb_load text; do
  case $target in
    ini_store) maxlen=70000 ;;
    vxdb_load) maxlen=65536 ;;
    text) maxlen=4096 ;;
  esac
  seeds=tests/fuzz/corpus/$target
  [ -d tests/fuzz/crashes/$target ] && seeds="$seeds tests/fuzz/crashes/$target"
  mkdir -p build/fuzz/run/$target
  log=build/fuzz/run/$target.log
  # shellcheck disable=SC2086
  if build/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$maxlen \
      -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$target- build/fuzz/run/$target $seeds \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: $runs executions in $seconds s, no crash"
  else
    echo "fuzz $target: FAILED (log: $log)"
    grep -E "ERROR|runtime error|Test unit written|^[a-z ]+: " "$log" | head -20
    status=1
  fi
done
exit $status
