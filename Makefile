# Fresh Debian 12: `make demo` runs the lab demo, `make test` builds and runs the tests,
# `make install PREFIX=/usr/local` installs, `make package` builds the Debian packages.
BUILD  ?= build
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps configure build test demo bench install package clean

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

clean:
	rm -rf $(BUILD)
