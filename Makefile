# Convenience wrapper around CMake + Ninja + CTest.
#   make demo           install dependencies, build, tour the offline demo drive
#   make test           install dependencies, build, run every test
#   make test-browser   only the headless-Chromium test of `nimbus serve`
#   make test-sanitize  the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make test-tsan      the tests under ThreadSanitizer
#   make test-valgrind  the end-to-end tests under valgrind memcheck
#   make fuzz           build the libFuzzer targets with clang, run each FUZZ_SECONDS
#   make bench          build and run the benchmarks
#   make bench-network  the command over a simulated network (NETWORK_ARGS=--short)
#   make bench-gateway  nimbus serve against rclone serve http under wrk (GATEWAY_ARGS)
#   make format-check   the tree against .clang-format
#   make tidy           clang-tidy over the library's and the command's sources
#   make install        build the library and the command, install into PREFIX
#                       (default /usr/local); no tests or benchmarks
#   make package        a Debian package, $(BUILD)/nimbus_VERSION_ARCH.deb
#   make test-package   install that package in a fresh Debian 12 root and try it

BUILD        ?= build
JOBS         ?= $(shell nproc)
PREFIX       ?= /usr/local
FUZZ_SECONDS ?= 20
# ctest names of the end-to-end tests that make test-valgrind runs.
VALGRIND_TESTS ?= ^(ops|host|c_.*|e2e_.*)$$
BENCH_ARGS   ?=
NETWORK_ARGS ?=
GATEWAY_ARGS ?=
CMAKE_FLAGS  ?=

CONFIGURE = cmake -S . -G Ninja -DNIMBUS_WERROR=ON

# The package carries the yyjson library itself where the distribution does
# not (Debian 12): `apt install` could not satisfy a dependency on it.
BUNDLE_YYJSON ?= $(shell apt-cache madison libyyjson0 2>/dev/null | grep -q . && echo OFF || echo ON)

.PHONY: all deps build format-check tidy test test-browser test-sanitize test-tsan test-valgrind fuzz-build fuzz bench bench-smoke bench-network bench-gateway demo install package test-package clean

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

test-sanitize: deps
	$(CONFIGURE) -B build-asan -DNIMBUS_SANITIZE=address,undefined -DNIMBUS_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	$(CONFIGURE) -B build-tsan -DNIMBUS_SANITIZE=thread -DNIMBUS_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# No sanitizer here: valgrind brings its own allocator and checks.
test-valgrind: deps
	$(CONFIGURE) -B build-valgrind -DNIMBUS_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-valgrind -j $(JOBS)
	JOBS=$(JOBS) scripts/valgrind-tests build-valgrind '$(VALGRIND_TESTS)'

fuzz-build: deps
	CC=clang CXX=clang++ $(CONFIGURE) -B build-fuzz -DNIMBUS_FUZZ=ON -DNIMBUS_TESTS=OFF \
	  -DNIMBUS_BENCH=OFF -DNIMBUS_TOOLS=OFF -DNIMBUS_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	@scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

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

# Builds only the library and the command, then tours the offline demo drive.
demo: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target nimbus_cli nimbus_docs
	@tools/demo/demo-tour.sh $(BUILD)/tools/nimbus
	@printf '\nThe command is %s. To put it on the PATH:\n  sudo make install   into %s, with its man page and completions\n  make package        a .deb, then sudo apt install ./%s/nimbus_*.deb\nor run %s as it is.\n' \
	  "$(BUILD)/tools/nimbus" "$(PREFIX)" "$(BUILD)" "$(BUILD)/tools/nimbus"

format-check:
	git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

# Needs the compile commands of a configured build.
tidy: build
	clang-tidy -p $(BUILD) --quiet --warnings-as-errors='*' src/*/*.cpp tools/*.cpp tools/*/*.cpp

# Only what is installed is built: no tests, no benchmarks.
install: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target nimbus_cli nimbus_docs
	cmake --install $(BUILD)

# A tree of its own: installed under /usr, without tests and benchmarks.
package: deps
	cmake -S . -G Ninja -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DNIMBUS_TESTS=OFF -DNIMBUS_BENCH=OFF -DNIMBUS_BUNDLE_YYJSON=$(BUNDLE_YYJSON) $(CMAKE_FLAGS)
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB
	mkdir -p $(BUILD) && cp build-package/nimbus_*.deb $(BUILD)/
	@ls -l $(BUILD)/nimbus_*.deb

# Needs root and the Debian archive the machine's apt sources name.
test-package: package
	scripts/test-package $(BUILD)/nimbus_*.deb || [ $$? -eq 77 ]

clean:
	rm -rf build build-asan build-tsan build-fuzz build-valgrind build-package
