# Thin front over the CMake presets (CMakePresets.json), one per build
# folder. `make test` builds and runs every test twice: plain, and under
# AddressSanitizer + UndefinedBehaviorSanitizer. Each target first installs
# the Debian packages it needs that the machine lacks (scripts/install-deps).
# CMAKE_FLAGS are given to cmake after the preset's own.
BUILD = build
DEMOBUILD = build-demo
SANBUILD = build-sanitize
BENCHBUILD = build-bench
FUZZBUILD = build-fuzz
WINBUILD = build-windows
WINPKGBUILD = build-windows-hw
WINHWBUILD ?= build-windows-hw-check
BENCH_RUNS ?= 7
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

DEPS = scripts/install-deps

# $(call configure,<preset>,<folder>,<flags>): cmake --preset <preset> <flags>
# unless the folder was configured so through make after the presets last
# changed. Other flags than last time configure it afresh: the cache would
# keep every -D of the earlier ones, and a changed flag is never ignored.
define configure
	@rec=$(2)/zeda-cmake-flags; want=$$(printf '%s\n' $(3)); fresh=; \
	if [ -f $(2)/CMakeCache.txt ] && [ -f $$rec ]; then \
	  if [ "$$(cat $$rec)" != "$$want" ]; then \
	    echo "configure: $(2) was configured with other flags; configuring it afresh with: $(3)"; \
	    fresh=--fresh; \
	  elif [ $$rec -nt CMakePresets.json ]; then exit 0; fi; \
	fi; \
	cmake --preset $(1) $$fresh $(3) && printf '%s\n' "$$want" > $$rec
endef

.PHONY: all configure test test-plain test-sanitize demo fleet-demo fleet-check fleet-lab fleet-bench fleet-unit fleet-tools fleet-collection install bench fuzz package windows-package windows-check clean

all: configure
	cmake --build --preset default -j $(JOBS)

configure:
	@$(DEPS) test
	$(call configure,default,$(BUILD),$(CMAKE_FLAGS))

test: test-plain test-sanitize

test-plain: all
	ctest --preset default -j $(JOBS)

test-sanitize:
	@$(DEPS) test
	$(call configure,sanitize,$(SANBUILD),$(CMAKE_FLAGS))
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

# The tools and the virtual board alone, in a folder of their own: no test
# framework needed, and `make test` never finds a build without its tests.
demo:
	@$(DEPS) demo
	$(call configure,demo,$(DEMOBUILD),$(CMAKE_FLAGS))
	cmake --build --preset demo -j $(JOBS)
	demo/field_update.sh $(DEMOBUILD)

# The fleet update with Ansible over virtual boards, built as for make demo:
# fleet-demo shows a run of a signed image on four local "PCs", its summary
# and the fleet's status; fleet-check proves, over a lab of four PCs that are
# hosts of their own reached over SSH, updates, reruns, refusals, failures
# that stop the run, records that cannot lie, the reports and their page,
# signals, locks, a dropped link, and the resumed run. Both build the
# collection and run it as installed. fleet-lab brings up FLEET_PCS such PCs
# until Ctrl-C; fleet-bench measures a signed rollout over them (root: the
# lab makes namespaces). fleet-unit runs the collection's unit cases alone.
FLEET_PCS ?= 24
fleet-demo: fleet-tools
	fleet/demo.sh $(DEMOBUILD)

fleet-check: fleet-tools fleet-unit
	fleet/lab_test.sh $(DEMOBUILD)
	fleet/check.sh $(DEMOBUILD)

fleet-lab: fleet-tools
	fleet/lab.sh $(DEMOBUILD) $(DEMOBUILD)/fleet-lab $(FLEET_PCS)

fleet-bench: fleet-tools
	fleet/bench.sh $(DEMOBUILD) $(FLEET_PCS)

# Line coverage of the collection's plugins, TOTAL line and all; under 85 % fails.
FLEET_UNIT = plugins_test.py modules_test.py run_test.py callback_test.py entry_test.py
fleet-unit:
	@$(DEPS) fleet
	cd fleet && PYTHONDONTWRITEBYTECODE=1 COVERAGE_FILE=$${TMPDIR:-/tmp}/zeda-fleet-unit.$$$$.coverage sh -c \
	  'trap "rm -f $$COVERAGE_FILE" EXIT; python3-coverage run --source=plugins -m pytest -q -p no:cacheprovider $(FLEET_UNIT) \
	  && python3-coverage report --fail-under=85'

# The Ansible collection zeda.fleet, for operators: $(DEMOBUILD)/zeda-fleet-<version>.tar.gz.
fleet-collection:
	@$(DEPS) fleet
	@mkdir -p $(DEMOBUILD)
	ansible-galaxy collection build --force --output-path $(DEMOBUILD) fleet

fleet-tools:
	@$(DEPS) fleet
	$(call configure,demo,$(DEMOBUILD),$(CMAKE_FLAGS))
	cmake --build --preset demo -j $(JOBS)

# Installs $(BUILD) under PREFIX when given, else CMake's install prefix.
install: all
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Release build; flashes 1 to 8 MiB images onto fresh virtual boards beside dd.
bench:
	@$(DEPS) bench
	$(call configure,bench,$(BENCHBUILD),$(CMAKE_FLAGS))
	cmake --build --preset bench -j $(JOBS)
	bench/flash_bench.sh $(BENCHBUILD)/bin/zeda_pcie_flash_image $(BENCHBUILD)/bin/riffa_sim $(BENCHBUILD)/work $(BENCH_RUNS)

# libFuzzer on the image streaming for FUZZ_SECONDS; needs clang.
fuzz:
	@$(DEPS) fuzz
	$(call configure,fuzz,$(FUZZBUILD),$(CMAKE_FLAGS))
	cmake --build --preset fuzz -j $(JOBS)
	mkdir -p $(FUZZBUILD)/corpus
	$(FUZZBUILD)/bin/image_stream_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -artifact_prefix=$(FUZZBUILD)/ $(FUZZBUILD)/corpus

# Debian and RPM packages of $(BUILD): zeda-pcie-tools, or zeda-pcie-tools-sim
# when the tools are linked against the virtual board. lintian must find no
# error in the .debs, nor the RPM check (rpmlint included) in the .rpms, of
# this build and of a hardware build against a stub RIFFA library.
package: all
	@$(DEPS) package
	rm -f $(BUILD)/*.deb $(BUILD)/*.rpm
	cmake --build --preset default --target package
	@for deb in $(BUILD)/*.deb; do echo "$$deb:"; dpkg-deb -f "$$deb" Package Version Depends; dpkg -c "$$deb"; done
	@for rpm in $(BUILD)/*.rpm; do echo "$$rpm:"; rpm -qp --qf '%{NAME} %{VERSION}-%{RELEASE}\n' "$$rpm"; \
	  echo "Requires:" $$(rpm -qpR "$$rpm" | grep -v -e '^rpmlib(' -e '_[0-9.]*)(64bit)$$'); rpm -qpl "$$rpm"; done
	tests/system_backend_test.sh $(CURDIR) $(BUILD)/hw_package_scratch $(BUILD)/hw_package
	lintian --fail-on error $(BUILD)/*.deb $(BUILD)/hw_package/*.deb
	@echo "lintian: no errors in" $(BUILD)/*.deb $(BUILD)/hw_package/*.deb
	tests/rpm_package_check.sh $(BUILD)/*.rpm $(BUILD)/*.deb $(BUILD)

# The Windows packages, an MSI and a ZIP of each flavour with their
# SHA256SUMS: the virtual-board one (-sim) in $(WINBUILD); with
# RIFFA_ROOT=<prefix holding the Windows RIFFA library's include/riffa.h>,
# the hardware one in $(WINPKGBUILD). With ZEDA_SIGN_CERT (and ZEDA_SIGN_KEY,
# ZEDA_SIGN_PASSWORD_FILE, ZEDA_SIGN_TIMESTAMP_URL: cmake/ZedaSign.cmake)
# every program, DLL and MSI is Authenticode-signed. The cross builds take no
# CMAKE_FLAGS.
export ZEDA_SIGN_CERT ZEDA_SIGN_KEY ZEDA_SIGN_PASSWORD_FILE ZEDA_SIGN_TIMESTAMP_URL
windows-package:
	@$(DEPS) windows-package
	@[ -n "$$ZEDA_SIGN_CERT" ] || echo "windows-package: no ZEDA_SIGN_CERT given: the programs, DLLs and MSIs are not signed"
	$(call configure,windows,$(WINBUILD))
	cmake --build --preset windows -j $(JOBS)
ifdef RIFFA_ROOT
	$(call configure,windows-hw,$(WINPKGBUILD),-DRIFFA_ROOT=$(RIFFA_ROOT))
	cmake --build --preset windows-hw -j $(JOBS)
	@ls -l $(WINBUILD)/*.msi $(WINBUILD)/*.zip $(WINBUILD)/SHA256SUMS $(WINPKGBUILD)/*.msi $(WINPKGBUILD)/*.zip $(WINPKGBUILD)/SHA256SUMS
else
	@ls -l $(WINBUILD)/*.msi $(WINBUILD)/*.zip $(WINBUILD)/SHA256SUMS
	@echo "windows-package: no RIFFA_ROOT given, so only the virtual-board (-sim) packages were built;" \
	  "for the hardware ones: make windows-package RIFFA_ROOT=<prefix holding include/riffa.h>"
endif

# Cross-builds the tools, libriffa_sim.dll and riffa_sim.exe with mingw-w64
# (warnings are errors) and runs the cross build's own checks under Wine
# (tests/wine), then the end-to-end suite of $(BUILD) with the Windows
# executables under Wine. Then the README's Windows hardware recipe
# against a RIFFA-compatible DLL of our own, in $(WINHWBUILD), run under Wine
# too. Last, the packages of both flavours (the hardware one against that
# DLL) installed, upgraded, run and removed under Wine. All in one Wine
# prefix, made afresh for each run.
windows-check: all
	@$(DEPS) windows
	$(call configure,windows,$(WINBUILD))
	cmake --build --preset windows -j $(JOBS)
	rm -rf $(WINBUILD)/wineprefix
	ctest --preset windows
	JOBS=$(JOBS) tests/windows_check.sh $(BUILD) $(WINBUILD)/bin
	JOBS=$(JOBS) WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/$(WINBUILD)/wineprefix} tests/windows_hw_check.sh $(WINHWBUILD)
	JOBS=$(JOBS) WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/$(WINBUILD)/wineprefix} tests/windows_package_check.sh $(WINHWBUILD) $(WINBUILD)

clean:
	rm -rf $(BUILD) $(DEMOBUILD) $(SANBUILD) $(BENCHBUILD) $(FUZZBUILD) $(WINBUILD) $(WINHWBUILD) $(WINPKGBUILD)
