# Thin wrapper over CMake. `make test` builds and runs every test twice:
# plain, and under AddressSanitizer + UndefinedBehaviorSanitizer. Each target
# first installs the Debian packages it needs that the machine lacks
# (scripts/install-deps), and configures its build folder again whenever
# CMAKE_FLAGS change (scripts/configure).
BUILD ?= build
DEMOBUILD ?= build-demo
SANBUILD ?= build-sanitize
BENCHBUILD ?= build-bench
FUZZBUILD ?= build-fuzz
WINBUILD ?= build-windows
WINHWBUILD ?= build-windows-hw-check
WINPKGBUILD ?= build-windows-hw
BENCH_RUNS ?= 7
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

DEPS = scripts/install-deps
CONFIGURE = scripts/configure

.PHONY: all configure test test-plain test-sanitize demo fleet-demo fleet-check fleet-tools fleet-collection install bench fuzz package windows-package windows-check clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@$(DEPS) test
	@$(CONFIGURE) $(BUILD) $(CMAKE_FLAGS)

test: test-plain test-sanitize

test-plain: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize:
	@$(DEPS) test
	@$(CONFIGURE) $(SANBUILD) -DZEDA_RIFFA=sim -DZEDA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANBUILD) -j $(JOBS)
	ctest --test-dir $(SANBUILD) --output-on-failure -j $(JOBS)

# The tools and the virtual board alone, in a folder of their own: no test
# framework needed, and `make test` never finds a build without its tests.
demo:
	@$(DEPS) demo
	@$(CONFIGURE) $(DEMOBUILD) -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEMOBUILD) -j $(JOBS)
	demo/field_update.sh $(DEMOBUILD)

# The fleet update with Ansible on four local "PCs" with virtual boards, built
# as for make demo: fleet-demo shows a run and its summary, fleet-check proves
# updates, reruns, a failure that stops the run, and the resumed run. Both
# build the collection and run it as installed.
fleet-demo: fleet-tools
	fleet/demo.sh $(DEMOBUILD)

fleet-check: fleet-tools
	fleet/check.sh $(DEMOBUILD)

# The Ansible collection zeda.fleet, for operators: $(DEMOBUILD)/zeda-fleet-<version>.tar.gz.
fleet-collection:
	@$(DEPS) fleet
	@mkdir -p $(DEMOBUILD)
	ansible-galaxy collection build --force --output-path $(DEMOBUILD) fleet

fleet-tools:
	@$(DEPS) fleet
	@$(CONFIGURE) $(DEMOBUILD) -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEMOBUILD) -j $(JOBS)

# Installs $(BUILD) under PREFIX when given, else CMake's install prefix.
install: all
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Release build; flashes 1 to 8 MiB images onto fresh virtual boards beside dd.
bench:
	@$(DEPS) bench
	@$(CONFIGURE) $(BENCHBUILD) -DCMAKE_BUILD_TYPE=Release -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF -DZEDA_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BENCHBUILD) -j $(JOBS) --target zeda_pcie_flash_image riffa_sim_tool flash_bench
	$(BENCHBUILD)/bin/flash_bench $(BENCHBUILD)/bin/zeda_pcie_flash_image $(BENCHBUILD)/bin/riffa_sim $(BENCHBUILD)/work $(BENCH_RUNS)

# libFuzzer on the image streaming for FUZZ_SECONDS; needs clang.
fuzz:
	@$(DEPS) fuzz
	@$(CONFIGURE) $(FUZZBUILD) -DCMAKE_CXX_COMPILER=clang++ -DZEDA_FUZZ=ON -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZBUILD) -j $(JOBS) --target image_stream_fuzz
	mkdir -p $(FUZZBUILD)/corpus
	$(FUZZBUILD)/bin/image_stream_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -artifact_prefix=$(FUZZBUILD)/ $(FUZZBUILD)/corpus

# Debian package of $(BUILD): zeda-pcie-tools, or zeda-pcie-tools-sim when
# the tools are linked against the virtual board. lintian must find no error
# in it, nor in a hardware package built against a stub RIFFA library.
package: all
	@$(DEPS) package
	rm -f $(BUILD)/*.deb
	cmake --build $(BUILD) --target package
	@for deb in $(BUILD)/*.deb; do echo "$$deb:"; dpkg-deb -f "$$deb" Package Version Depends; dpkg -c "$$deb"; done
	tests/system_backend_test.sh $(CURDIR) $(BUILD)/hw_package_scratch $(BUILD)/hw_package
	lintian --fail-on error $(BUILD)/*.deb $(BUILD)/hw_package/*.deb
	@echo "lintian: no errors in" $(BUILD)/*.deb $(BUILD)/hw_package/*.deb

WINDOWS_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
WINDOWS_SIM_FLAGS = $(WINDOWS_FLAGS) -DZEDA_RIFFA=sim -DZEDA_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-Werror

# The Windows packages, an MSI and a ZIP of each flavour: the virtual-board
# one (-sim) in $(WINBUILD); with RIFFA_ROOT=<prefix of the Windows RIFFA
# library>, the hardware one in $(WINPKGBUILD).
windows-package:
	@$(DEPS) windows-package
	@$(CONFIGURE) $(WINBUILD) $(WINDOWS_SIM_FLAGS)
	cmake --build $(WINBUILD) -j $(JOBS) --target package
ifdef RIFFA_ROOT
	@$(CONFIGURE) $(WINPKGBUILD) $(WINDOWS_FLAGS) -DZEDA_RIFFA=system -DRIFFA_ROOT=$(RIFFA_ROOT) -DCMAKE_CXX_FLAGS=-Werror
	cmake --build $(WINPKGBUILD) -j $(JOBS) --target package
	@ls -l $(WINBUILD)/*.msi $(WINBUILD)/*.zip $(WINPKGBUILD)/*.msi $(WINPKGBUILD)/*.zip
else
	@ls -l $(WINBUILD)/*.msi $(WINBUILD)/*.zip
	@echo "windows-package: no RIFFA_ROOT given, so only the virtual-board (-sim) packages were built;" \
	  "for the hardware ones: make windows-package RIFFA_ROOT=<prefix holding include/riffa.h and lib/riffa.lib>"
endif

# Cross-builds the tools, libriffa_sim.dll and riffa_sim.exe with mingw-w64
# (warnings are errors), then runs the end-to-end suite of $(BUILD) with the
# Windows executables under Wine. Then the README's Windows hardware recipe
# against a RIFFA-compatible DLL of our own, in $(WINHWBUILD), run under Wine
# too. Last, the packages of both flavours (the hardware one against that
# DLL) installed, upgraded, run and removed under Wine. All in one Wine
# prefix, made afresh for each run.
windows-check: all
	@$(DEPS) windows
	@$(CONFIGURE) $(WINBUILD) $(WINDOWS_SIM_FLAGS)
	cmake --build $(WINBUILD) -j $(JOBS) --target package
	rm -rf $(WINBUILD)/wineprefix
	JOBS=$(JOBS) tests/windows_check.sh $(BUILD) $(WINBUILD)/bin
	JOBS=$(JOBS) WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/$(WINBUILD)/wineprefix} tests/windows_hw_check.sh $(WINHWBUILD)
	JOBS=$(JOBS) WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/$(WINBUILD)/wineprefix} tests/windows_package_check.sh $(WINHWBUILD) $(WINBUILD)

clean:
	rm -rf $(BUILD) $(DEMOBUILD) $(SANBUILD) $(BENCHBUILD) $(FUZZBUILD) $(WINBUILD) $(WINHWBUILD) $(WINPKGBUILD)
