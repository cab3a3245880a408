# The two commands of the README, and the steps they are made of.
.PHONY: all deps build build-host build-mipsel test test-host test-mipsel demo bench clean

all: build

deps:
	@scripts/install-deps.sh

build-host:
	cmake --preset host >/dev/null
	cmake --build --preset host -j2

build-mipsel:
	cmake --preset mipsel >/dev/null
	cmake --build --preset mipsel -j2

build: deps build-host build-mipsel

test-host: build-host
	ctest --preset host

test-mipsel: build-mipsel
	ctest --preset mipsel

test: deps
	$(MAKE) test-host test-mipsel

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
