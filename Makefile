# Entry points: `make demo`, `make test` and `make package` (all install what is missing).
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Most tests wait on a link, a terminal or a child process rather than
# compute, so ctest runs three of them per core.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 3 )))
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test demo package bench fuzz clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(TEST_JOBS) --timeout 120

# The tour needs only the two programs, not the tests.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target orbitane_console orbitane_base_sim
	@scripts/demo $(BUILD_DIR)

# The Debian package, $(BUILD_DIR)/orbitane-console_<version>_<arch>.deb.
package: build
	@cd $(BUILD_DIR) && cpack --config CPackConfig.cmake

# Release build of the benchmarks, then the performance table.
bench: bootstrap
	@scripts/bench

# libFuzzer targets with clang; FUZZ_SECONDS per target (default 60).
fuzz:
	@ORBITANE_WITH_CLANG=1 scripts/bootstrap
	@scripts/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
