#!/usr/bin/env bash
# The Windows packages as a user gets them. The MSI and ZIP of a virtual-board
# build, and of hardware builds against our RIFFA-compatible stub DLL (this
# version, and the next one from a copy of the source with a higher project
# version) must hold the same files: the tools, a text manual per program,
# README.txt and copyright.txt, no riffa.dll. msiinfo checks the MSI tables
# the install relies on. Under Wine, in a prefix without the tools:
# msiexec /i puts them on the system PATH, where a fresh cmd finds them by
# name; the virtual-board flavour rehearses a field update; the hardware one
# replaces it (same version), fails to open a board with the stub DLL on
# PATH, and is upgraded in place by the next version; msiexec /x leaves no
# file, PATH entry or product. The ZIPs, unpacked and put on PATH, run too.
# Usage: tests/windows_package_check.sh <windows_hw_check.sh folder> <virtual-board build folder>
set -euo pipefail
export LC_ALL=C  # the progress bar's 0xDB bytes are no UTF-8
src=$(cd "$(dirname "$0")/.." && pwd)
hw=$(cd "$1" && pwd)
sim=$(cd "$2" && pwd)
work=$hw/packages
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
die() { echo "windows-package-check: $*" >&2; exit 1; }
[ -f "$hw/stub/riffa.dll" ] && [ -d "$hw/tools-lib/bin" ] ||
  die "$hw holds no stub riffa.dll or hardware build: run tests/windows_hw_check.sh $1 first"
rm -rf "$work"
mkdir -p "$work/run"

version=$(sed -n 's/^project(zeda_pcie_tools VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || die "no project version x.y.z in $src/CMakeLists.txt"
next=${version%.*}.$((${version##*.} + 1))
upgrade_code=$(sed -n 's/^set(ZEDA_MSI_UPGRADE_CODE \(.*\))$/\1/p' "$src/cmake/ZedaWindowsPackage.cmake")
[ -n "$upgrade_code" ] || die "no ZEDA_MSI_UPGRADE_CODE in cmake/ZedaWindowsPackage.cmake"

# --- the packages ---
build_log=$work/build.log
cmake --build "$hw/tools-lib" --target package >"$build_log" 2>&1 || { cat "$build_log" >&2; die "packaging $hw/tools-lib failed"; }
mkdir -p "$work/next-src"
(cd "$src" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -C "$work/next-src" -xf -
sed -i "s/^project(zeda_pcie_tools VERSION $version /project(zeda_pcie_tools VERSION $next /" "$work/next-src/CMakeLists.txt"
grep -q "^project(zeda_pcie_tools VERSION $next " "$work/next-src/CMakeLists.txt" || die "could not raise the version to $next"
{ cmake -S "$work/next-src" -B "$work/tools-next" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DZEDA_RIFFA=system -DRIFFA_ROOT="$hw/riffa-lib" -DCMAKE_CXX_FLAGS=-Werror &&
  cmake --build "$work/tools-next" -j "${JOBS:-2}" --target package; } >>"$build_log" 2>&1 ||
  { cat "$build_log" >&2; die "building version $next failed"; }

# package <flavour folder> <name> <version>: sets pkg to the path without .msi/.zip
package() { pkg=$1/$2-$3-win64; }

# check_package <build folder> <name> <version>: the MSI and ZIP hold what bin/ of
# the build holds, a manual per program, README.txt and copyright.txt; the tables.
check_package() {
  local build=$1 name=$2 ver=$3 msi zip expected
  package "$build" "$name" "$ver"
  msi=$pkg.msi zip=$pkg.zip
  [ -f "$msi" ] && [ -f "$zip" ] || { fail "$pkg.msi or .zip is missing"; return; }
  expected=$( (cd "$build/bin" && ls; ls | sed -n 's/\.exe$/.txt/p'; echo README.txt; echo copyright.txt) | sort)
  [ "$(unzip -Z1 "$zip" | grep -v '/$' | sed "s|^$name-$ver-win64/||" | sort)" = "$expected" ] ||
    fail "$zip holds $(unzip -Z1 "$zip" | xargs), not $(echo $expected)"
  [ "$(msiinfo export "$msi" File | tail -n +4 | cut -f3 | sort)" = "$expected" ] ||
    fail "$msi installs $(msiinfo export "$msi" File | tail -n +4 | cut -f3 | xargs), not $(echo $expected)"
  local -A want=(
    [Property]=$(printf 'ProductVersion\t%s\nUpgradeCode\t{%s}\nALLUSERS\t1' "$ver" "$upgrade_code")
    [Directory]=$(printf 'INSTALLDIR\tProgramFiles64Folder\tZEDA PCIe tools')
    [Environment]=$(printf 'PATH\t=-*PATH\t[~];[INSTALLDIR]\tc_README_txt')
    [Upgrade]=$(printf '{%s}\t\t%s\t\t513\t\tWIX_UPGRADE_DETECTED\n{%s}\t%s\t\t\t2\t\tWIX_DOWNGRADE_DETECTED' \
      "$upgrade_code" "$ver" "$upgrade_code" "$ver")
    [InstallExecuteSequence]=$(printf 'FindRelatedProducts\t\t25\nInstallValidate\t\t1400\nRemoveExistingProducts\t\t1401\nInstallInitialize\t\t1500\nRemoveEnvironmentStrings\t\t3300\nRemoveFiles\t\t3500\nInstallFiles\t\t4000\nWriteEnvironmentStrings\t\t5200')
    [LaunchCondition]=$(printf 'NOT WIX_DOWNGRADE_DETECTED\t')
  )
  local table row
  for table in "${!want[@]}"; do
    while IFS= read -r row; do
      msiinfo export "$msi" "$table" | tr -d '\r' | grep -qF -- "$row" || fail "$msi: table $table has no row '$row'"
    done <<<"${want[$table]}"
  done
  msiinfo suminfo "$msi" | grep -qx 'Template: x64;1033' || fail "$msi is not a 64-bit package"
}
check_package "$sim" zeda-pcie-tools-sim "$version"
check_package "$hw/tools-lib" zeda-pcie-tools "$version"
check_package "$work/tools-next" zeda-pcie-tools "$next"
package "$sim" zeda-pcie-tools-sim "$version"; sim_pkg=$pkg
package "$hw/tools-lib" zeda-pcie-tools "$version"; hw_pkg=$pkg
package "$work/tools-next" zeda-pcie-tools "$next"; next_pkg=$pkg
codes=$(for p in "$sim_pkg" "$hw_pkg" "$next_pkg"; do msiinfo export "$p.msi" Property | grep '^ProductCode'; done | sort -u | wc -l)
[ "$codes" = 3 ] || fail "the three MSIs share a ProductCode"
[ $status -eq 0 ] || exit 1

# --- under Wine ---
. "$src/tests/wine_env.sh"
wine_start "$sim/wineprefix"
folder="$WINEPREFIX/drive_c/Program Files/ZEDA PCIe tools"
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
system_path() { wine reg query "$env_key" /v PATH | tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]*SZ *//p'; }
path_entries() { system_path | tr ';' '\n' | grep -cixF 'C:\Program Files\ZEDA PCIe tools\' || true; }
products() { wine reg query "$uninstall_key" /s | tr -d '\r' | sed -n 's/^ *DisplayName *REG_SZ *\(.*ZEDA.*\)/\1/p' | xargs -r -d '\n'; }
msiexec() {
  wine msiexec "$@" /qn >"$work/msiexec.log" 2>&1 || { cat "$work/msiexec.log" >&2; fail "msiexec $*"; }
}
printf '\n' >"$work/run/enter.txt"
printf 'y\n' >"$work/run/yes.txt"
head -c 300000 /dev/urandom >"$work/run/image.bin"
stub_dir=$(winepath -w "$hw/stub")

# incmd <stdin file> <status> <stdout> <stderr> <command line>: in a fresh
# cmd, from a folder that holds no program.
incmd() {
  local input=$1 want_status=$2 want_out=$3 want_err=$4 line=$5 rc=0 out err
  (cd "$work/run" && wine cmd /c "$line" <"$input" >"$work/out.txt" 2>"$work/err.txt") || rc=$?
  # Wine on a loaded machine at times fails to start a program: status 1
  # and no output at all, which none of ours ever gives. Once more, then.
  if [ "$rc" = 1 ] && [ ! -s "$work/out.txt" ] && [ ! -s "$work/err.txt" ]; then
    echo "windows-package-check: Wine ran nothing for '$line' (status 1, no output); once more"
    rc=0
    (cd "$work/run" && wine cmd /c "$line" <"$input" >"$work/out.txt" 2>"$work/err.txt") || rc=$?
  fi
  out=$(tr -d '\r' <"$work/out.txt")
  err=$(tr -d '\r' <"$work/err.txt")
  [ "$rc" = "$want_status" ] && [[ $out == $want_out ]] && [ "$err" = "$want_err" ] ||
    fail "cmd /c $line${WINEPATH:+ (WINEPATH=$WINEPATH)}: status $rc, stdout '$out', stderr '$err'"
}
# not_found: a fresh cmd finds no tool by name.
not_found() {
  (cd "$work/run" && wine cmd /c "zeda_pcie_get_mode --version" </dev/null >"$work/out.txt" 2>/dev/null) || true
  [ ! -s "$work/out.txt" ] || fail "$1, cmd finds zeda_pcie_get_mode: $(tr -d '\r' <"$work/out.txt")"
}
# versions <version> <backend> <programs...>: each answers --version, found by name.
versions() {
  local ver=$1 backend=$2 prog
  shift 2
  for prog in "$@"; do incmd "$work/run/enter.txt" 0 "$prog $ver ($backend)" "" "$prog --version"; done
}
tools=$(cd "$hw/tools-lib/bin" && ls | sed 's/\.exe$//' | xargs)
# rehearse: a field update on the virtual board 0, made afresh.
rehearse() {
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/riffa_sim
  versions "$version" "virtual board riffa_sim, drives no hardware" $tools
  incmd "$work/run/enter.txt" 0 "riffa_sim $version" "" "riffa_sim --version"
  incmd "$work/run/enter.txt" 0 $'Board in normal operation mode. \nPress any key to exit...' "" zeda_pcie_get_mode
  incmd "$work/run/yes.txt" 0 "*Mode change complete." "" zeda_pcie_mode_change
  incmd "$work/run/enter.txt" 0 $'Board in bootloader mode. \nPress any key to exit...' "" zeda_pcie_get_mode
  incmd "$work/run/enter.txt" 0 "Preparing to program 300000 bytes*Programming done" "" "zeda_pcie_flash_image image.bin"
  incmd "$work/run/yes.txt" 0 "*Mode change complete." "" zeda_pcie_mode_change
  incmd "$work/run/enter.txt" 0 $'Board in normal operation mode. \nPress any key to exit...' "" zeda_pcie_get_mode
  incmd "$work/run/enter.txt" 0 "flash of board 0 holds image.bin *" "" "riffa_sim verify image.bin"
}
# no_board: the hardware tools with the stub DLL, which finds no board, on PATH.
no_board() {
  incmd "$work/run/enter.txt" 255 "Could not get FPGA 0" "" zeda_pcie_get_mode
  incmd "$work/run/enter.txt" 255 "Could not get FPGA 0" "" zeda_pcie_mode_change
  incmd "$work/run/enter.txt" 255 "Preparing to program 300000 bytes" "Could not get FPGA 0" "zeda_pcie_flash_image image.bin"
  incmd "$work/run/enter.txt" 255 "Could not list FPGAs" "" zeda_pcie_list_boards
}
# installed <package>: the folder holds exactly the package's files.
installed() {
  local files
  files=$(cd "$folder" 2>/dev/null && ls | sort | xargs)
  [ "$files" = "$(msiinfo export "$1.msi" File | tail -n +4 | cut -f3 | sort | xargs)" ] ||
    fail "after installing $(basename "$1").msi the folder holds: ${files:-nothing}"
  [ "$(path_entries)" = 1 ] || fail "after installing $(basename "$1").msi the system PATH is $(system_path)"
}

# Wine's msiexec leaves the separator of a PATH entry it removes behind
# (Windows removes both), so a product replaced by another leaves an empty
# entry in front of the new one, and Wine's cmd stops searching PATH there.
# That must be all there is; it is then dropped for the runs that follow.
wine_leftover() {
  local entry='C:\Program Files\ZEDA PCIe tools\'
  [ "$(system_path)" = "$path_before;;$entry" ] || { fail "after $1 the system PATH is $(system_path)"; return; }
  wine reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$path_before;$entry" /f >/dev/null
}

path_before=$(system_path)
[ ! -e "$folder" ] && [ "$(path_entries)" = 0 ] && [ -z "$(products)" ] ||
  die "the Wine prefix $WINEPREFIX already has the tools: it must be a fresh one"
not_found "before any install"

msiexec /i "$(winepath -w "$sim_pkg.msi")"
installed "$sim_pkg"
[ "$(products)" = "ZEDA PCIe tools (virtual board)" ] || fail "installed products: $(products)"
rehearse

# The same version of the other flavour replaces it.
msiexec /i "$(winepath -w "$hw_pkg.msi")"
installed "$hw_pkg"
[ "$(products)" = "ZEDA PCIe tools" ] || fail "after the hardware MSI, installed products: $(products)"
wine_leftover "the hardware MSI replaced the virtual-board one"
export WINEPATH=$stub_dir
versions "$version" "RIFFA host library" $tools
no_board

msiexec /i "$(winepath -w "$next_pkg.msi")"
installed "$next_pkg"
[ "$(products)" = "ZEDA PCIe tools" ] || fail "after the upgrade, installed products: $(products)"
wine_leftover "the upgrade"
versions "$next" "RIFFA host library" $tools
no_board

msiexec /x "$(winepath -w "$next_pkg.msi")"
[ ! -e "$folder" ] || fail "after the uninstall $folder holds: $(ls "$folder" | xargs)"
# Back as before, but for the separator Wine leaves.
[ "$(system_path)" = "$path_before;" ] ||
  fail "after the uninstall the system PATH is $(system_path), was $path_before"
[ -z "$(products)" ] || fail "after the uninstall, installed products: $(products)"
not_found "after the uninstall"

# The ZIPs, unpacked and put on PATH.
for p in "$hw_pkg" "$sim_pkg"; do
  unzip -q "$p.zip" -d "$work/unzipped"
done
WINEPATH="$(winepath -w "$work/unzipped/$(basename "$hw_pkg")");$stub_dir"
versions "$version" "RIFFA host library" $tools
no_board
WINEPATH=$(winepath -w "$work/unzipped/$(basename "$sim_pkg")")
rehearse
unset WINEPATH

[ $status -eq 0 ] && echo "windows-package-check: $(basename "$sim_pkg") and $(basename "$hw_pkg") (.msi and .zip," \
  "the hardware one against a stub riffa.dll) hold the same files and installed, ran by name from PATH," \
  "upgraded to $next in place and uninstalled without a trace under Wine"
exit $status
