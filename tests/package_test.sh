#!/usr/bin/env bash
# Builds the Debian package of a virtual-board build, unpacks it into a
# scratch root with dpkg -x and runs the installed programs there against a
# fresh virtual board: the package must hold everything they need, say what
# it is, and point nowhere into the build tree.
# Usage: package_test.sh <cpack> <build dir> <scratch dir> <package name> <version> <tool...>
set -euo pipefail
cpack=$1 build=$2 work=$3 name=$4 version=$5
shift 5
tools=("$@")
rm -rf "$work"
mkdir -p "$work"
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
grep -q "Packaging $name: the tools are linked against the VIRTUAL BOARD" "$work/cpack.log" ||
  fail "packaging does not say that the tools drive the virtual board"
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb in $work/out" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"

# --- control fields ---
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || fail "Package is '$(field Package)', not '$name'"
[[ "$name" == *-sim ]] || fail "a virtual-board package is named without -sim: $name"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not '$version'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer field"
description=$(field Description)
grep -q "VIRTUAL BOARD" <<<"$description" || fail "the summary does not say VIRTUAL BOARD"
grep -q "NOT hardware" <<<"$description" || fail "the description does not say that it drives no hardware"
depends=$(field Depends)
# Computed by dpkg-shlibdeps from what the binaries link.
for dep in libc6; do
  grep -q "\b$dep\b (>=" <<<"$depends" || fail "Depends lacks a versioned $dep: '$depends'"
done
[ "$(field Conflicts)" = "zeda-pcie-tools" ] || fail "no conflict with the hardware package: '$(field Conflicts)'"

# --- file list ---
dpkg -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$work/files"
echo "files:"; sed 's/^/  /' "$work/files"
doc=/usr/share/doc/$name
expected=(/usr/bin/riffa_sim /usr/share/man/man1/riffa_sim.1.gz "$doc/copyright" "$doc/changelog.gz")
for t in "${tools[@]}"; do expected+=("/usr/bin/$t" "/usr/share/man/man1/$t.1.gz"); done
for f in "${expected[@]}"; do grep -qx "$f" "$work/files" || fail "the package lacks $f"; done
grep -q '^/usr/lib/.*/libriffa_sim\.so$' "$work/files" || fail "the package lacks libriffa_sim.so in a private folder"
outside=$(grep -v -e '^/usr/' -e '^/$' "$work/files" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

# --- unpack and run ---
root="$work/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"
changelog=$(zcat "$root$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[ "$changelog" = "$version" ] || fail "the changelog's latest entry is for '$changelog', not '$version'"
unset LD_LIBRARY_PATH
for t in "${tools[@]}"; do
  runpath=$(readelf -d "$bin/$t" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [[ "$runpath" == '$ORIGIN/'* ]] || fail "$t has RUNPATH '$runpath', not one relative to itself"
  [[ "$runpath" != *"$build"* ]] || fail "$t looks into the build tree: $runpath"
  libs=$(ldd "$bin/$t")
  grep -q "libriffa_sim.so => $root/" <<<"$libs" || fail "$t does not load the packaged libriffa_sim: $libs"
done

export RIFFA_SIM_DIR="$work/state"
# run <name> <expected status> <expected stdout> <stdin> <program> [args...]
run() {
  local what=$1 want_status=$2 want_out=$3 input=$4
  shift 4
  local rc=0
  printf '%s' "$input" >"$work/in.txt"
  "$@" <"$work/in.txt" >"$work/out.txt" 2>"$work/err.txt" || rc=$?
  if [ "$rc" != "$want_status" ]; then fail "$what: status $rc, expected $want_status ($(cat "$work/err.txt"))"; fi
  if [ "$want_out" != "-" ] && ! printf '%s' "$want_out" | cmp -s - "$work/out.txt"; then
    fail "$what printed:"; cat -A "$work/out.txt" >&2
  fi
}
NORMAL=$'Board in normal operation mode. \nPress any key to exit...\n'
BOOTLOADER=$'Board in bootloader mode. \nPress any key to exit...\n'
TO_BOOTLOADER=$'Board is in normal operation mode. Preparing to reboot into bootloader mode\nCheck that all operarions are finished and the device is not in use\n\nProceed [y/n]? Mode change complete.\n'
TO_NORMAL=$'Board is in bootloader mode. Preparing to reboot into normal mode\nCheck that all programming operations have finished\nIf, after rebooting, the board persists in bootloader mode then the ZEDA image might be damaged and will need reflashing over JTAG\nProceed [y/n]? Mode change complete.\n'

run "riffa_sim help" 0 - "" "$bin/riffa_sim" help
run "zeda_pcie_get_mode on a fresh board" 0 "$NORMAL" $'\n' "$bin/zeda_pcie_get_mode"
run "zeda_pcie_mode_change to bootloader" 0 "$TO_BOOTLOADER" $'y\n' "$bin/zeda_pcie_mode_change"
run "zeda_pcie_get_mode in bootloader mode" 0 "$BOOTLOADER" $'\n' "$bin/zeda_pcie_get_mode"
head -c 70001 /dev/urandom > "$work/image.bin"
run "zeda_pcie_flash_image" 0 - "" "$bin/zeda_pcie_flash_image" "$work/image.bin"
flashed=$(cat "$work/out.txt"; echo .)
[[ "${flashed%.}" == *$'Original file size was 70001 bytes\nWaiting for programmer to finish\nProgramming done\n' ]] ||
  fail "zeda_pcie_flash_image did not end with the done message: $(tail -c 150 "$work/out.txt")"
run "riffa_sim verify" 0 - "" "$bin/riffa_sim" verify "$work/image.bin"
run "zeda_pcie_mode_change back" 0 "$TO_NORMAL" $'y\n' "$bin/zeda_pcie_mode_change"
run "zeda_pcie_get_mode on a missing board" 255 $'Could not get FPGA 7\n' "" "$bin/zeda_pcie_get_mode" 7

# --- man pages as installed ---
for page in "$root"/usr/share/man/man1/*.1.gz; do
  errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
    fail "man cannot render $page"
  [ -z "$errors" ] || fail "$page: $errors"
done
for t in "${tools[@]}"; do
  text=$(MANPAGER=cat MANWIDTH=100 man -l "$root/usr/share/man/man1/$t.1.gz" | tr -s " \n" "  ")
  grep -q "it drives no hardware" <<<"$text" ||
    fail "the installed page of $t does not say that it drives the virtual board"
done

[ $status -eq 0 ] && echo "package_install: $name $version installed and ran from $root"
exit $status
