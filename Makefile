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
	  echo "sentrel: the core is built; the window is not there yet."; \
	fi

# The test budget first (tests at most 40 % of the program's lines), then the build
# and the default suite; then, for the default preset, the sanitizer builds and the
# fuzz smoke run (scripts/ci-sanitizers), which end with one summary line.
test:
	@scripts/test-budget
	@$(MAKE) --no-print-directory build
	@t0=$$(date +%s); \
	ctest --preset $(PRESET) -j2 --output-on-failure --output-junit $(CURDIR)/$(BUILD_DIR)/junit.xml; \
	rc=$$?; echo "== default suite: exit $$rc, $$(( $$(date +%s) - t0 )) s"; \
	if [ "$(PRESET)" = default ] && [ "$(SANITIZERS)" != 0 ]; then \
	  scripts/ci-sanitizers --default-junit $(CURDIR)/$(BUILD_DIR)/junit.xml --default-rc $$rc; \
	else \
	  exit $$rc; \
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
