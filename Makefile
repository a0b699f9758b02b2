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

test: build
	ctest --preset $(PRESET) --output-on-failure

clean:
	rm -rf build
