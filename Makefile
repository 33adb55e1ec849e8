# The user's entry points. `make` builds the release tree in build/;
# `make test` builds a sanitizer tree in build/asan and runs every test.
# `make run` starts Corvane on a fresh copy of the example in build/run;
# both first install the Debian packages they need that are missing
# (packages.sh holds the lists).
# `make install` builds what it installs, configured for PREFIX, and installs it
# (DESTDIR honoured); `make uninstall` removes what the last install put there.
# `make bench` measures the release build.
# `make fuzz` runs every fuzz target for FUZZ_SECONDS each (build/fuzz, clang);
# `make memcheck` runs the end-to-end tests with Corvane under valgrind;
# `make soak` runs the soak test over SOAK_COMMANDS commands.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The tests mostly wait on their servers and modules: twice as many at once
# as there are CPUs keeps both busy.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
PREFIX ?= /usr/local
RUN_DIR := build/run

FUZZ_SECONDS ?= 60
SOAK_COMMANDS ?= 100000
MEMCHECK := valgrind -q --error-exitcode=99 --leak-check=full \
	--show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible

INSTALL_DIR := build/install

.PHONY: all release test run install uninstall bench fuzz memcheck soak clean

all: release

release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

# The test tree leaves nothing out: a missing library stops it.
TEST_TREE := -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DCORVANE_REQUIRE_ALL=ON

test:
	@./packages.sh test
	cmake -S . -B build/asan $(TEST_TREE)
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure --no-tests=error -j $(TEST_JOBS)

# Builds only the program and the example's modules, with the build's output
# on standard error, so that standard output holds Corvane's replies alone:
# printf 'lookup alice\nquit\n' | make run
# The example is the build tree's copy, its module paths those of this tree.
run:
	@./packages.sh run
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >&2
	@cmake --build build -j $(JOBS) --target corvane corvane-file corvane-sqlite >&2
	@rm -rf $(RUN_DIR) && mkdir -p $(RUN_DIR)
	@cp build/examples/corvane.ini $(RUN_DIR)/
	@install -m 600 build/examples/users.passwd $(RUN_DIR)/ && chmod go-w $(RUN_DIR)
	@echo "Corvane on $(RUN_DIR)/corvane.ini, a fresh copy of examples/corvane.ini. Try:" >&2
	@echo "  lookup alice | check alice wonderland (twice: she moves to the new store) | search * | quit" >&2
	@cd $(RUN_DIR) && exec $(CURDIR)/build/corvane -path .

# A tree of its own, configured with PREFIX, so that the programs' built-in
# paths (the corvane the adapters start, their configuration directory) are
# those of the installation; neither tests nor benchmarks are built.
install:
	cmake -S . -B $(INSTALL_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
		-DBUILD_TESTING=OFF -DCORVANE_BENCH=OFF
	cmake --build $(INSTALL_DIR) -j $(JOBS)
	cmake --install $(INSTALL_DIR)

# Removes every file the last `make install` wrote (its list, without
# DESTDIR, is kept in the install tree; give the same DESTDIR), and Corvane's
# own directories (share/corvane) once empty; bin, libexec and the man
# directories stay.
uninstall:
	@test -f $(INSTALL_DIR)/install_manifest.txt || { echo "nothing installed from $(INSTALL_DIR)" >&2; exit 1; }
	sed 's|^|$(DESTDIR)|' $(INSTALL_DIR)/install_manifest.txt | xargs -d '\n' rm -f --
	sed -n 's|^\(.*/share/corvane\)/.*|$(DESTDIR)\1|p' $(INSTALL_DIR)/install_manifest.txt | sort -u | \
		xargs -d '\n' -r -I{} find {} -depth -type d -empty -delete
	rm -f $(INSTALL_DIR)/install_manifest.txt

# Measures Corvane against the machine's limit on the release build and
# prints one table (doc/performance.md explains it). BENCH_ARGS are passed
# on, e.g. make bench BENCH_ARGS="-runs 9".
bench:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS) --target corvane-bench
	build/bench/corvane-bench $(BENCH_ARGS)

# Crashes are saved under build/fuzz/artifacts/; fuzz/README.md says more.
fuzz:
	fuzz/run.sh --build build/fuzz --seconds $(FUZZ_SECONDS)

soak:
	@./packages.sh test
	cmake -S . -B build/asan $(TEST_TREE)
	cmake --build build/asan -j $(JOBS) --target corvane corvane_test testmod
	cd build/asan && CORVANE_SOAK_COMMANDS=$(SOAK_COMMANDS) ctest --output-on-failure -R '^Soak\.'

# An unsanitized tree, so that valgrind sees the program's own allocations.
memcheck:
	@./packages.sh test
	cmake -S . -B build/memcheck -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=OFF
	cmake --build build/memcheck -j $(JOBS) --target corvane corvane_test testmod
	cd build/memcheck && CORVANE_WRAPPER="$(MEMCHECK)" CORVANE_SOAK_COMMANDS=3000 \
		ctest --output-on-failure -j $(JOBS) -R '^(Corvane|Faults|Soak)\.'

clean:
	rm -rf build
