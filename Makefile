# make run  : install what is missing, build, lay out the demo program directory run/, start the service
# make test : install what is missing, build, run every test through CTest
# make package: build build/vantor-web_<version>_amd64.deb (needs no root)
# make bench: build, then run the relay benchmark on loopback (1 to 2 minutes; prints one table)
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build test run bench package clean

all: build

setup:
	./scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	/usr/bin/python3 bench/run_bench.py --build $(BUILD)

package: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target VantorWebSrv vantor-console package_files
	cd $(BUILD) && cpack -G DEB

run: build
	./scripts/demo-run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
