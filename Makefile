# The two commands of the README, and the steps they are made of.
.PHONY: all deps build build-host build-mipsel build-asan build-fuzz test test-host test-mipsel test-asan \
	fuzz-smoke fuzz demo bench clean

# Seconds per fuzz target: a short run inside `make test`, a long one in `make fuzz`.
FUZZ_SMOKE_SECONDS ?= 10
FUZZ_SECONDS ?= 600

all: build

deps:
	@scripts/install-deps.sh

build-host:
	cmake --preset host >/dev/null
	cmake --build --preset host -j2

build-mipsel:
	cmake --preset mipsel >/dev/null
	cmake --build --preset mipsel -j2

build-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j2

# libFuzzer needs clang; only the fuzz targets are built there.
build-fuzz:
	cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON >/dev/null
	cmake --build build/fuzz -j2 --target ini_store_fuzz vxdb_load_fuzz text_fuzz

build: deps build-host build-mipsel

test-host: build-host
	ctest --preset host

test-mipsel: build-mipsel
	ctest --preset mipsel

# The host suite, the simulator and the plug-in under AddressSanitizer and
# UBSan; any report fails the run.
test-asan: build-asan
	ctest --preset asan

fuzz-smoke: build-fuzz
	scripts/fuzz.sh $(FUZZ_SMOKE_SECONDS)

fuzz: deps build-fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

test: deps
	$(MAKE) test-host test-mipsel test-asan fuzz-smoke

demo: deps build-host
	scripts/demo.sh

# Not part of test: measures, prints a table, never fails on a time.
bench: deps build-host
	@bench/deps.sh
	cmake -S bench -B build/bench >/dev/null
	cmake --build build/bench -j2
	bench/run.sh

clean:
	rm -rf build
