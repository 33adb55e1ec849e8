# The user's entry points. `make` builds the release tree in build/;
# `make test` builds a sanitizer tree in build/asan and runs every test.
# `make run` starts Corvane on a fresh copy of the example in build/run;
# `make install` installs the release build under PREFIX; `make bench` measures it.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
RUN_DIR := build/run

.PHONY: all release test run install bench clean

all: release

release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

test:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)

# Builds only the program and the modules, with the build's output on
# standard error, so that standard output holds Corvane's replies alone:
# printf 'lookup alice\nquit\n' | make run
run:
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >&2
	@cmake --build build -j $(JOBS) --target corvane corvane-file corvane-sqlite >&2
	@rm -rf $(RUN_DIR) && mkdir -p $(RUN_DIR)
	@sed 's|/usr/local/libexec/|$(CURDIR)/build/modules/|' examples/corvane.ini > $(RUN_DIR)/corvane.ini
	@cp examples/users.passwd $(RUN_DIR)/users.passwd
	@echo "Corvane on $(RUN_DIR)/corvane.ini, a fresh copy of examples/corvane.ini. Try:" >&2
	@echo "  lookup alice | check alice wonderland (twice: she moves to the new store) | search * | quit" >&2
	@cd $(RUN_DIR) && exec $(CURDIR)/build/corvane -path .

install: release
	cmake --install build --prefix $(PREFIX)

# Measures Corvane against the machine's limit on the release build and
# prints one table (doc/performance.md explains it). BENCH_ARGS are passed
# on, e.g. make bench BENCH_ARGS="-runs 9".
bench:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS) --target corvane-bench
	build/bench/corvane-bench $(BENCH_ARGS)

clean:
	rm -rf build
