# Fresh Debian 12: `make demo` runs the lab demo, `make test` builds and runs the tests,
# `make install PREFIX=/usr/local` installs, `make package` builds the Debian packages.
BUILD  ?= build
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps configure build test demo bench install package clean fuzz check-sanitize check-tsan

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The lab tests spend most of their time waiting on protocol time-outs, so
# more of them run at once than there are cores.
test: build
	cd $(BUILD) && ctest --output-on-failure -j 8

demo: build
	@scripts/demo $(BUILD)

bench: build
	@scripts/bench $(BUILD)

# DESTDIR (staged installs) is honoured by cmake --install itself.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# brevane, libtavikapi1 and libtavikapi-dev in $(BUILD)/packages/.
package: build
	cd $(BUILD) && cpack -G DEB

# Fuzzing (clang and libFuzzer: apt-get install clang): builds the harnesses
# of tests/fuzz/ in their own build directory and runs each FUZZ_SECONDS.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang (apt-get install clang)"; exit 2; }
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	    -DCMAKE_CXX_COMPILER=clang++ -DBREVANE_FUZZ=ON -DBREVANE_BUILD_GUI=OFF -DBREVANE_BUILD_LAB=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Everything built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole test suite run. The lab preloads its device emulation, so ASan
# cannot be first in the library order; leak and suppression settings are in
# tests/sanitize/.
SAN_BUILD  ?= build-asan
TSAN_BUILD ?= build-tsan
SAN_ENV = ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp
check-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_SANITIZE=address,undefined >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j 4

# The TavikAPI tests and the lab tests that run threads, under ThreadSanitizer.
TSAN_TESTS ?= tavikapi|TavikFamilies|NetLab
# The example is built against an installed tree, which this partial build does not make.
TSAN_SKIP  ?= tavikapi_install_example|tavikapi_lab_example
check-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_SANITIZE=thread -DBREVANE_BUILD_GUI=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target tavikapi_unit_tests tavikapi_lab_tests tavikapi_lab_no_throw_tests \
	    tavikapi_unload_test lab_e2e_tests \
	    brevane-lab brevane-cli mpusbapi TavikAPI
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/sanitize/tsan.supp \
	    ctest --output-on-failure -j 4 -R '$(TSAN_TESTS)' -E '$(TSAN_SKIP)'

clean:
	rm -rf $(BUILD)
