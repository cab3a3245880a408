#!/bin/sh
# What the benchmarks need beyond the build: Google Benchmark, OpenSSL's MD5
# to compare against, and the tools compared with.
exec "$(dirname "$0")/../scripts/install-deps.sh" libbenchmark-dev libssl-dev rsync coreutils findutils
