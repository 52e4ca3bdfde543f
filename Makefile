# Thin wrapper over CMake. `make test` builds and runs every test twice:
# plain, and under AddressSanitizer + UndefinedBehaviorSanitizer.
BUILD ?= build
SANBUILD ?= build-sanitize
BENCHBUILD ?= build-bench
FUZZBUILD ?= build-fuzz
BENCH_RUNS ?= 7
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all configure test test-plain test-sanitize demo bench fuzz clean

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

# Release build; flashes 1 to 8 MiB images onto fresh virtual boards beside dd.
bench:
	@test -f $(BENCHBUILD)/CMakeCache.txt || cmake -S . -B $(BENCHBUILD) -DCMAKE_BUILD_TYPE=Release -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF -DZEDA_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BENCHBUILD) -j $(JOBS) --target zeda_pcie_flash_image riffa_sim_tool flash_bench
	$(BENCHBUILD)/bin/flash_bench $(BENCHBUILD)/bin/zeda_pcie_flash_image $(BENCHBUILD)/bin/riffa_sim $(BENCHBUILD)/work $(BENCH_RUNS)

# libFuzzer on the image streaming for FUZZ_SECONDS; needs clang.
fuzz:
	@test -f $(FUZZBUILD)/CMakeCache.txt || cmake -S . -B $(FUZZBUILD) -DCMAKE_CXX_COMPILER=clang++ -DZEDA_FUZZ=ON -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZBUILD) -j $(JOBS) --target image_stream_fuzz
	mkdir -p $(FUZZBUILD)/corpus
	$(FUZZBUILD)/bin/image_stream_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -artifact_prefix=$(FUZZBUILD)/ $(FUZZBUILD)/corpus

clean:
	rm -rf $(BUILD) $(SANBUILD) $(BENCHBUILD) $(FUZZBUILD)
