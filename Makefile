# Thin wrapper over CMake. `make test` builds and runs every test twice:
# plain, and under AddressSanitizer + UndefinedBehaviorSanitizer.
BUILD ?= build
SANBUILD ?= build-sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all configure test test-plain test-sanitize demo clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: test-plain test-sanitize

test-plain: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize:
	@test -f $(SANBUILD)/CMakeCache.txt || cmake -S . -B $(SANBUILD) -DZEDA_RIFFA=sim -DZEDA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANBUILD) -j $(JOBS)
	ctest --test-dir $(SANBUILD) --output-on-failure -j $(JOBS)

demo: all
	demo/field_update.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SANBUILD)
