#!/usr/bin/env bash
# The README's Windows hardware recipe, from fresh build folders, against a
# RIFFA-compatible DLL of our own (tests/riffa_stub) built with mingw-w64:
# once under a relative RIFFA_ROOT that also holds the import library
# riffa.lib, once under an absolute one that holds riffa.h alone, warnings as
# errors. bin/ must hold the tools alone, importing the system's DLLs only:
# they bind riffa.dll when they start. Run under Wine they must answer
# --help and --version without it, say in one line that it is missing (also
# when the current folder holds one, which is never loaded) or is not
# RIFFA's, fail to open the board beside the stub as on a PC without the
# driver, and make a whole mode query when the stub has a board
# (RIFFA_STUB_MODE). Then what a PC may hold: the tools in a folder whose
# name the ANSI code page lacks or more than MAX_PATH deep, an image named
# so; a riffa.dll whose own DLL is planted in the current folder or on PATH
# (never loaded: only its folder and System32 count); a 32-bit, empty or
# junk riffa.dll, named with the system's reason and what to do; and a
# riffa.dll that prints a line at each open without a board, which the wait
# keeps off the console.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
work=$(cd "$1" && pwd)
cd "$src"
rel=$(realpath --relative-to="$src" "$work")
mingw=x86_64-w64-mingw32
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# --- the stub library, as the driver's package would install it ---
rm -rf "$work/riffa-lib" "$work/riffa-header" "$work/stub" "$work/stub-incomplete"
mkdir -p "$work/stub" "$work/stub-incomplete" "$work/riffa-lib/include" "$work/riffa-lib/lib" "$work/riffa-header/include"
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFA_STUB_BUILD -Itests/riffa_stub \
  -o "$work/stub/riffa.dll" tests/riffa_stub/riffa_stub.c -Wl,--output-def,"$work/stub/riffa.def"
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFA_STUB_BUILD -DRIFFA_STUB_WITHOUT_LIST -Itests/riffa_stub \
  -o "$work/stub-incomplete/riffa.dll" tests/riffa_stub/riffa_stub.c
$mingw-dlltool -d "$work/stub/riffa.def" -D riffa.dll -l "$work/riffa-lib/lib/riffa.lib"
cp tests/riffa_stub/riffa.h "$work/riffa-lib/include/"
cp tests/riffa_stub/riffa.h "$work/riffa-header/include/"

# --- the recipe, as a user types it in the source folder ---
# build <name> <RIFFA_ROOT as given> <the riffa.h the tools must be built on>
build() {
  local dir=$rel/$1 root=$2 header=$3
  rm -rf "$dir"
  if ! cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DZEDA_RIFFA=system -DRIFFA_ROOT="$root" -DCMAKE_CXX_FLAGS=-Werror >"$work/$1.log" 2>&1 ||
     ! cmake --build "$dir" -j "${JOBS:-2}" >>"$work/$1.log" 2>&1; then
    cat "$work/$1.log" >&2
    fail "the recipe failed with RIFFA_ROOT=$root"
    return
  fi
  grep -qxF -- "-- RIFFA backend: installed host library riffa.dll, bound when a tool starts (header $header)" \
    "$work/$1.log" || fail "$1 is not built on $header: $(grep 'RIFFA backend' "$work/$1.log")"
  local extra
  extra=$(cd "$dir/bin" && ls | grep -vx 'zeda_pcie_[a-z_]*\.exe' | xargs || true)
  [ -z "$extra" ] || fail "$dir/bin holds more than the tools: $extra"
  local exe imports
  for exe in "$dir"/bin/*.exe; do
    imports=$($mingw-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | sort | xargs)
    [ "$imports" = "KERNEL32.dll msvcrt.dll" ] || fail "$exe imports $imports"
  done
}
build tools-lib "$rel/riffa-lib" "$work/riffa-lib/include/riffa.h"
build tools-header "$work/riffa-header" "$work/riffa-header/include/riffa.h"
[ $status -eq 0 ] || exit 1

# --- under Wine, beside riffa.dll ---
. tests/wine_env.sh
wine_start "$work/wineprefix"
printf '\n' >"$work/enter.txt"
head -c 1000 /dev/zero >"$work/image.bin"
# run <folder> <tool> <expected status> <expected stdout> <expected stderr> [args...]
run() {
  local dir=$1 tool=$2 want_status=$3 want_out=$4 want_err=$5 rc=0
  shift 5
  wine "$dir/$tool.exe" "$@" <"$work/enter.txt" >"$work/out.txt" 2>"$work/err.txt" || rc=$?
  local out err
  out=$(tr -d '\r' <"$work/out.txt")
  err=$(tr -d '\r' <"$work/err.txt")
  [ "$rc" = "$want_status" ] && [ "$out" = "$want_out" ] && [ "$err" = "$want_err" ] ||
    fail "$dir/$tool $*${RIFFA_STUB_MODE:+ (RIFFA_STUB_MODE=$RIFFA_STUB_MODE)}: status $rc, stdout '$out', stderr '$err'"
}
for variant in tools-lib tools-header; do
  dir=$work/$variant-install
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$work/stub/riffa.dll" "$rel/$variant"/bin/* "$dir/"
  unset RIFFA_STUB_MODE
  run "$dir" zeda_pcie_get_mode 255 "Could not get FPGA 0" ""
  run "$dir" zeda_pcie_mode_change 255 "Could not get FPGA 0" ""
  run "$dir" zeda_pcie_flash_image 255 "Preparing to program 1000 bytes" "Could not get FPGA 0" "$work/image.bin"
  run "$dir" zeda_pcie_list_boards 255 "Could not list FPGAs" ""
  run "$dir" zeda_pcie_wait_board 1 "Board 0 did not come back within 0 s. Rescan the PCI bus (see zeda_pcie_wait_board.txt beside the program) or restart the PC." "" 0 0
  export RIFFA_STUB_MODE=3
  run "$dir" zeda_pcie_get_mode 0 $'Board in normal operation mode. \nPress any key to exit...' ""
  run "$dir" zeda_pcie_list_boards 0 "Board 0: riffa_stub (vendor 0x0000, device 0x0000, 2 channels)" ""
  run "$dir" zeda_pcie_wait_board 0 "Board in normal operation mode. " "" 0 5
done

# Without riffa.dll beside them or on PATH, but with one that has a board in
# the current folder, each tool says it is missing where it would have
# said that it could not open the board; help and version need no DLL.
dir=$work/tools-header-install
rm "$dir/riffa.dll"
missing="riffa.dll, the RIFFA library, was not found beside this program, in C:\\windows\\system32 or on PATH: install the RIFFA driver, which brings it."
cd "$work/stub"
run "$dir" zeda_pcie_get_mode 255 "$missing" ""
run "$dir" zeda_pcie_mode_change 255 "$missing" ""
run "$dir" zeda_pcie_flash_image 255 "Preparing to program 1000 bytes" "$missing" "$work/image.bin"
run "$dir" zeda_pcie_list_boards 255 "$missing" ""
run "$dir" zeda_pcie_wait_board 255 "$missing" "" 0 0
run "$dir" zeda_pcie_list_boards 0 "zeda_pcie_list_boards $(sed -n 's/^project(zeda_pcie_tools VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt") (RIFFA host library)" "" --version
rc=0
wine "$dir/zeda_pcie_get_mode.exe" --help <"$work/enter.txt" >"$work/out.txt" 2>&1 || rc=$?
[ $rc = 0 ] && [ "$(head -n 1 "$work/out.txt" | tr -d '\r')" = "Usage: zeda_pcie_get_mode [board_id]" ] ||
  fail "zeda_pcie_get_mode --help without riffa.dll: status $rc, output $(cat "$work/out.txt")"
cd "$src"
# A riffa.dll that lacks one of the functions is named, with what it lacks.
cp "$work/stub-incomplete/riffa.dll" "$dir/"
run "$dir" zeda_pcie_get_mode 255 "$(winepath -w "$dir/riffa.dll") has no fpga_list, so it is not the RIFFA library: install the RIFFA driver, whose riffa.dll is looked for beside this program, in C:\\windows\\system32 and on PATH." ""
unset RIFFA_STUB_MODE

# --- names, folders and DLLs that a PC may hold ---
tools=$src/$rel/tools-header/bin
# put_tools <folder> <dll>: the tools and that DLL as their riffa.dll, in a
# fresh folder; dll is then its Windows name.
put_tools() {
  rm -rf "$1"
  mkdir -p "$1"
  cp "$tools"/*.exe "$1/"
  cp "$2" "$1/riffa.dll"
  dll=$(winepath -w "$1/riffa.dll")
}
# The ZIP unpacked in the Downloads folder of a user whose name the ANSI
# code page lacks, and a copy deeper than MAX_PATH: each finds its riffa.dll;
# an image named so is opened.
unicode=$WINEPREFIX/drive_c/users/$USER/Downloads/zeda-pcie-tools
deep=$(wine_deep_folder "$work/deep")
for dir in "$unicode" "$deep"; do
  put_tools "$dir" "$work/stub/riffa.dll"
  RIFFA_STUB_MODE=3 run "$dir" zeda_pcie_get_mode 0 $'Board in normal operation mode. \nPress any key to exit...' ""
done
head -c 1000 /dev/zero >"$unicode/obraz_ł.bin"
cd "$unicode"
run "$unicode" zeda_pcie_flash_image 255 "Preparing to program 1000 bytes" "Could not get FPGA 0" obraz_ł.bin
cd "$src"

# riffa.dll's own DLL comes from its folder (the copy that says
# bootloader), never from the current folder or PATH (the planted one
# that says normal).
mkdir -p "$work/planted" "$work/dep"
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFADEP_MODE=2 -o "$work/dep/riffadep.dll" tests/riffa_stub/riffadep.c \
  -Wl,--out-implib,"$work/libriffadep.dll.a"
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFADEP_MODE=3 -o "$work/planted/riffadep.dll" tests/riffa_stub/riffadep.c
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFA_STUB_BUILD -DRIFFA_STUB_DEPENDENCY -Itests/riffa_stub \
  -o "$work/riffa-with-dep.dll" tests/riffa_stub/riffa_stub.c "$work/libriffadep.dll.a"
dir=$work/with-dep
put_tools "$dir" "$work/riffa-with-dep.dll"
cp "$work/dep/riffadep.dll" "$dir/"
cd "$work/planted"
run "$dir" zeda_pcie_get_mode 0 $'Board in bootloader mode. \nPress any key to exit...' ""
rm "$dir/riffadep.dll"
no_dep="$dll could not be loaded (Module not found, error 126): a DLL that it needs is neither beside it nor in C:\windows\system32: install what it needs there (the RIFFA driver, or the runtime it was built with)."
run "$dir" zeda_pcie_get_mode 255 "$no_dep" ""
WINEPATH=$(winepath -w "$work/planted") run "$dir" zeda_pcie_get_mode 255 "$no_dep" ""
cd "$src"

# A riffa.dll that is not a 64-bit DLL: the system's reason with the
# DLL's name in it, and what to do.
i686-w64-mingw32-gcc -O2 -shared -DRIFFA_STUB_BUILD -Itests/riffa_stub -o "$work/riffa32.dll" tests/riffa_stub/riffa_stub.c
: >"$work/empty.dll"
head -c 4096 /dev/urandom >"$work/junk.dll"
for bad in riffa32 empty junk; do
  dir=$work/bad-$bad
  put_tools "$dir" "$work/$bad.dll"
  run "$dir" zeda_pcie_get_mode 255 "$dll could not be loaded (Bad EXE format for $dll, error 193): it, or a DLL it needs, is not a 64-bit Windows DLL: install the RIFFA driver's 64-bit riffa.dll." ""
done

# RIFFA's library prints a line of its own at each open that finds no board:
# other tools show it before their own line, the wait's looks keep it off
# the console.
$mingw-gcc -O2 -Wall -Wextra -Werror -shared -DRIFFA_STUB_BUILD -DRIFFA_STUB_CHATTY -Itests/riffa_stub \
  -o "$work/chatty.dll" tests/riffa_stub/riffa_stub.c
dir=$work/chatty
put_tools "$dir" "$work/chatty.dll"
chatter=$'SetupDiEnumDeviceInterfaces failed, Error: 259 (own runtime)\nSetupDiEnumDeviceInterfaces failed, Error: 259'
run "$dir" zeda_pcie_get_mode 255 "$chatter"$'\nCould not get FPGA 0' ""
run "$dir" zeda_pcie_wait_board 1 "Board 0 did not come back within 1 s. Rescan the PCI bus (see zeda_pcie_wait_board.txt beside the program) or restart the PC." "" 0 1

[ $status -eq 0 ] && echo "windows-hw-check: the tools built by the README's recipe on riffa.h, with and" \
  "without riffa.lib beside it, import KERNEL32.dll and msvcrt.dll alone and ran under Wine beside a stub" \
  "riffa.dll without a board and with one, and said in one line when riffa.dll was missing or not RIFFA's;" \
  "they found riffa.dll and the image under names outside code page 1252 and deeper than MAX_PATH, loaded" \
  "riffa.dll's own DLL from its folder alone, named a bad riffa.dll with the reason, and the wait kept" \
  "the library's lines off the console"
exit $status
