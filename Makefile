# The user's entry points. `make` builds the release tree in build/;
# `make test` builds a sanitizer tree in build/asan and runs every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all release test clean

all: release

release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

test:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build
