# Convenience wrapper around CMake + Ninja + CTest.
#   make demo           install dependencies, build, tour the offline demo drive
#   make test           install dependencies, build, run every test
#   make test-browser   only the headless-Chromium test of `nimbus serve`
#   make test-sanitize  the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make test-tsan      the tests under ThreadSanitizer
#   make test-valgrind  the end-to-end tests under valgrind memcheck
#   make fuzz           the libFuzzer targets (the clang sanitizer build), each for
#                       FUZZ_SECONDS, JOBS at once
#   make bench          build and run the benchmarks
#   make bench-network  the command over a simulated network (NETWORK_ARGS=--short)
#   make bench-gateway  nimbus serve against rclone serve http under wrk (GATEWAY_ARGS)
#   make bench-proxy    the gateway's byte proxy beside curl on a 1 GiB file
#                       (PROXY_ARGS=--short for 64 MiB, --check for the goals)
#   make bench-dlna     nimbus serve --dlna against rclone serve dlna (DLNA_ARGS=--short)
#   make format-check   the tree against .clang-format
#   make tidy           clang-tidy over the library's and the command's sources
#   make install        build the library and the command, install into PREFIX
#                       (default /usr/local); no tests or benchmarks
#   make package        a Debian package, $(BUILD)/nimbus_VERSION_ARCH.deb
#   make test-package   install that package in a fresh Debian 12 root and try it
#   make test-fresh-root the README's commands in a fresh Debian 12 root, on a
#                       clean copy of the committed tree: install-deps, package,
#                       apt install, the package's checks, make test

BUILD        ?= build
JOBS         ?= $(shell nproc)
PREFIX       ?= /usr/local
FUZZ_SECONDS ?= 20
# ctest names of the end-to-end tests that make test-valgrind runs.
VALGRIND_TESTS ?= ^(ops|host|c_.*|e2e_.*)$$
# ctest names make test-sanitize leaves out: outside players (a browser,
# VLC, GUPnP's discovery) that drive gateway paths cases kept drive too.
ASAN_SKIP    ?= ^(e2e_serve_browser|dlna_(vlc|discover))$$
# ctest names make test-tsan leaves out: cases where only one thread of ours
# runs (the seed replays, one-shot commands, sign-in forms, settings files),
# and outside players that drive the same gateway paths as cases kept.
TSAN_SKIP    ?= ^(fuzz_replay_.*|exported_symbols|e2e_(list_forms|validate_write|settings_.*|demo|help_hints|cli_small|login_(paste|device|public|business|cloud|refused|forged|hijack)|serve_(browser|ffprobe))|dlna_(vlc|discover))$$
BENCH_ARGS   ?=
NETWORK_ARGS ?=
GATEWAY_ARGS ?=
PROXY_ARGS   ?=
CMAKE_FLAGS  ?=

# ccache, where installed, keeps compiled objects between builds and trees.
CCACHE    := $(shell command -v ccache 2>/dev/null)
LAUNCHERS  = $(if $(CCACHE),-DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
CONFIGURE  = cmake -S . -G Ninja -DNIMBUS_WERROR=ON $(LAUNCHERS)

# The package carries the yyjson library itself where the distribution does
# not (Debian 12): `apt install` could not satisfy a dependency on it.
BUNDLE_YYJSON ?= $(shell apt-cache madison libyyjson0 2>/dev/null | grep -q . && echo OFF || echo ON)

.PHONY: all deps build format-check tidy test test-browser sanitize-build test-sanitize test-tsan test-valgrind fuzz bench bench-smoke bench-network bench-gateway bench-proxy bench-dlna demo install package test-package test-fresh-root clean

all: build

deps:
	@scripts/install-deps

build: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Screenshots land in $(BUILD)/tests/e2e/serve-folder*.png.
test-browser: build
	ctest --test-dir $(BUILD) --output-on-failure -L browser

# One clang build serves the sanitizer run and the fuzzers: the library is
# instrumented for both, and every test links it as it would otherwise.
sanitize-build: deps
	CC=clang CXX=clang++ $(CONFIGURE) -B build-asan -DNIMBUS_SANITIZE=address,undefined \
	  -DNIMBUS_FUZZ=ON -DNIMBUS_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

test-sanitize: sanitize-build
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) -E '$(ASAN_SKIP)'

test-tsan: deps
	$(CONFIGURE) -B build-tsan -DNIMBUS_SANITIZE=thread -DNIMBUS_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -E '$(TSAN_SKIP)'

# The plain build: valgrind brings its own allocator and checks.
test-valgrind: build
	JOBS=$(JOBS) scripts/valgrind-tests $(BUILD) '$(VALGRIND_TESTS)'

fuzz: sanitize-build
	@JOBS=$(JOBS) scripts/run-fuzzers build-asan $(FUZZ_SECONDS)

bench: build
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b $(BENCH_ARGS) || exit 1; done

bench-smoke: build
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.01 || exit 1; done

# Lists a 10000-entry folder from the mock Graph through a latency proxy.
bench-network: build
	python3 bench/network.py --nimbus $(BUILD)/tools/nimbus --check $(NETWORK_ARGS)

# Not in .ci/run: 40 s of load per gateway, and throughput on a shared machine is noisy.
bench-gateway: build
	python3 bench/gateway.py --nimbus $(BUILD)/tools/nimbus $(GATEWAY_ARGS)

# Not in .ci/run either: 18 GiB through loopback TLS, and as noisy.
bench-proxy: build
	python3 bench/proxy.py --nimbus $(BUILD)/tools/nimbus $(PROXY_ARGS)

# Not in .ci/run either: Browse throughput beside rclone is as noisy.
bench-dlna: build
	python3 bench/dlna.py --nimbus $(BUILD)/tools/nimbus --check $(DLNA_ARGS)

# Builds only the library and the command, then tours the offline demo drive.
demo: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target nimbus_cli nimbus_docs
	@tools/demo/demo-tour.sh $(BUILD)/tools/nimbus
	@printf '\nThe command is %s. To put it on the PATH:\n  sudo make install   into %s, with its man page and completions\n  make package        a .deb, then sudo apt install ./%s/nimbus_*.deb\nor run %s as it is.\n' \
	  "$(BUILD)/tools/nimbus" "$(PREFIX)" "$(BUILD)" "$(BUILD)/tools/nimbus"

format-check:
	git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

# Needs the compile commands of a configured build; JOBS files at once, and
# a file unchanged since a clean run (as preprocessed) is not checked again.
tidy: build
	@JOBS=$(JOBS) scripts/run-tidy $(BUILD) src/*/*.cpp tools/*.cpp tools/*/*.cpp

# Only what is installed is built: no tests, no benchmarks.
install: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target nimbus_cli nimbus_docs
	cmake --install $(BUILD)

# A tree of its own: installed under /usr, without tests and benchmarks.
package: deps
	cmake -S . -G Ninja $(LAUNCHERS) -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DNIMBUS_TESTS=OFF -DNIMBUS_BENCH=OFF -DNIMBUS_BUNDLE_YYJSON=$(BUNDLE_YYJSON) $(CMAKE_FLAGS)
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB
	mkdir -p $(BUILD) && cp build-package/nimbus_*.deb $(BUILD)/
	@ls -l $(BUILD)/nimbus_*.deb

# Needs root and the Debian archive the machine's apt sources name; without
# them it is skipped, unless NIMBUS_TEST_NO_SKIP says nothing may be missing.
test-package: package
	scripts/test-package $(BUILD)/nimbus_*.deb || { [ $$? -eq 77 ] && [ -z "$$NIMBUS_TEST_NO_SKIP" ]; }

# Builds nothing here: the root gets its dependencies, package and build from
# the tree as committed, the way a person's machine would.
test-fresh-root: deps
	scripts/test-package --from-source || { [ $$? -eq 77 ] && [ -z "$$NIMBUS_TEST_NO_SKIP" ]; }

clean:
	rm -rf build build-asan build-tsan build-package
