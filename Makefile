# The two commands of the README, and the steps they are made of.
.PHONY: all deps build build-host build-mipsel test test-host test-mipsel demo clean

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

clean:
	rm -rf build
