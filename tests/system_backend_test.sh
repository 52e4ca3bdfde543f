#!/usr/bin/env bash
# Builds the tools with -DZEDA_RIFFA=system against a RIFFA-compatible stub
# library (tests/riffa_stub) installed at a scratch prefix, given to cmake
# relative to where it runs, and checks that they link and run that library
# and no other (in particular not the virtual board), and that bin/ holds the
# tools alone, and that a new RIFFA_ROOT replaces the library found under the
# old one. Given a package folder, also builds the hardware packages there,
# .deb and .rpm, and checks the .rpm (tests/rpm_package_check.sh).
# Usage: system_backend_test.sh <source dir> <scratch dir> [package dir]
set -euo pipefail
src=$(cd "$1" && pwd)
rm -rf "$2"
mkdir -p "$2/prefix/include" "$2/prefix/lib"
work=$(cd "$2" && pwd)

cp "$src/tests/riffa_stub/riffa.h" "$work/prefix/include/"
# The real Linux header pulls in a second header of the library's own.
echo '#define RIFFA_STUB_DRIVER_HEADER 1' > "$work/prefix/include/riffa_driver.h"
cc -shared -fPIC -Wall -Wextra -Werror -Wl,-soname,libriffa.so -I"$work/prefix/include" \
   -o "$work/prefix/lib/libriffa.so" "$src/tests/riffa_stub/riffa_stub.c"

(cd "$work" && cmake -S "$src" -B build -DZEDA_RIFFA=system -DRIFFA_ROOT=prefix \
      -DZEDA_BUILD_TESTS=OFF) > "$work/configure.log"
grep -q "RIFFA backend: installed host library $work/prefix/lib/libriffa.so" "$work/configure.log"
cmake --build "$work/build" -j 2 > "$work/build.log"

status=0
extra=$(ls "$work/build/bin" | grep -vx 'zeda_pcie_[a-z_]*' | xargs || true)
[ -z "$extra" ] || { echo "FAIL: bin/ of a hardware build holds more than the tools: $extra"; status=1; }
for tool in zeda_pcie_get_mode zeda_pcie_mode_change zeda_pcie_flash_image zeda_pcie_list_boards \
            zeda_pcie_wait_board; do
  exe="$work/build/bin/$tool"
  [ -x "$exe" ] || continue
  libs=$(ldd "$exe")
  if ! grep -q "$work/prefix/lib/libriffa.so" <<<"$libs" || grep -q riffa_sim <<<"$libs"; then
    echo "FAIL: $tool does not link the stub library alone:"; echo "$libs"; status=1
  fi
  # Loading the C++ runtime would cost every flash a millisecond or two of start-up.
  if [ "$tool" = zeda_pcie_flash_image ] && grep -q 'libstdc++' <<<"$libs"; then
    echo "FAIL: $tool loads the C++ runtime:"; echo "$libs"; status=1
  fi
done

out=$(echo | "$work/build/bin/zeda_pcie_get_mode" 3) && rc=0 || rc=$?
if [ "$out" != "Could not get FPGA 3" ] || [ "$rc" != 255 ]; then
  echo "FAIL: zeda_pcie_get_mode on the stub printed '$out' with status $rc"; status=1
fi
out=$("$work/build/bin/zeda_pcie_list_boards") && rc=0 || rc=$?
if [ "$out" != "Could not list FPGAs" ] || [ "$rc" != 255 ]; then
  echo "FAIL: zeda_pcie_list_boards on the stub printed '$out' with status $rc"; status=1
fi
out=$("$work/build/bin/zeda_pcie_get_mode" --version)
if [ "$out" != "zeda_pcie_get_mode 1.0.0 (RIFFA host library)" ]; then
  echo "FAIL: the version line of a hardware build is '$out'"; status=1
fi

if [ -n "${3:-}" ]; then
  rm -rf "$3"
  cpack --config "$work/build/CPackConfig.cmake" -G "DEB;RPM" -B "$3" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
  files=$(dpkg -c "$3"/zeda-pcie-tools_*.deb)
  if grep -q riffa_sim <<<"$files"; then echo "FAIL: the hardware package holds the virtual board:"; echo "$files"; status=1; fi
  # While the build (its rpmlint file) and the stub library (the tools' RUNPATH) are still there.
  "$src/tests/rpm_package_check.sh" "$3"/zeda-pcie-tools-*.rpm "$3"/zeda-pcie-tools_*.deb "$work/build" || status=1
fi
# A new RIFFA_ROOT is searched afresh: no library of the earlier one lingers.
cp -r "$work/prefix" "$work/prefix2"
(cd "$work" && cmake -S "$src" -B build -DRIFFA_ROOT=prefix2) > "$work/configure2.log"
grep -q "RIFFA backend: installed host library $work/prefix2/lib/libriffa.so" "$work/configure2.log" ||
  { echo "FAIL: RIFFA_ROOT=prefix2 kept $(grep 'RIFFA backend' "$work/configure2.log")"; status=1; }
[ $status = 0 ] && echo "system backend: tools link $work/prefix/lib/libriffa.so"
rm -rf "$work"
exit $status
