# Fresh Debian 12: `make demo` runs the lab demo, `make test` builds and runs the tests.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean

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

clean:
	rm -rf $(BUILD)
