# The two commands: `make run` starts Sentrel, `make test` runs every test.
.PHONY: run test deps build demo clean

PRESET ?= default
BUILD_DIR := build/$(PRESET)

deps:
	@scripts/install-deps

build: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

run: build
	@if [ -x $(BUILD_DIR)/src/ui/sentrel ]; then \
	  exec $(BUILD_DIR)/src/ui/sentrel; \
	else \
	  echo "sentrel: preset $(PRESET) builds no window program; run $(BUILD_DIR)/src/monitor/sentrel-monitor"; \
	  exit 1; \
	fi

# The test budget first (tests at most 33 % of the program's lines), then the build;
# then, for the default preset, the default suite, the sanitizer builds and suites
# and the fuzz smoke run (scripts/ci-stages), which end with one summary line.
# SANITIZERS=0, or another preset, runs that preset's suite alone.
TEST_JOBS ?= 8

test:
	@scripts/test-budget
	@$(MAKE) --no-print-directory build
	@if [ "$(PRESET)" = default ] && [ "$(SANITIZERS)" != 0 ]; then \
	  SENTREL_TEST_JOBS=$(TEST_JOBS) scripts/ci-stages; \
	else \
	  ctest --preset $(PRESET) -j$(TEST_JOBS) --output-on-failure; \
	fi

# The Debian package sentrel_<version>_amd64.deb in the build directory, and its
# round trip on this machine: install, PING as an ordinary user, remove (root).
.PHONY: package package-check
package: build
	cmake --build $(BUILD_DIR) --target package

package-check: package
	scripts/package-check $(BUILD_DIR)

# Runs every libFuzzer target for FUZZ_SECONDS seconds (clang build in build/fuzz).
# Applies each seeded fault in tests/mutants/ to a scratch copy and runs the suite
# against it (long; not part of `make test`).
.PHONY: mutants
mutants: deps
	scripts/run-mutants $(MUTANT)

.PHONY: fuzz
FUZZ_SECONDS ?= 600
fuzz: deps
	scripts/run-fuzz $(FUZZ_SECONDS)

# A sample configuration watching services the demo starts on 127.0.0.1.
demo: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) --target sentrel
	DEMO_BUILD_DIR=$(BUILD_DIR) scripts/demo

clean:
	rm -rf build
