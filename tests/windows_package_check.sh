#!/usr/bin/env bash
# The Windows packages as an admin gets them. The MSI and ZIP of a
# virtual-board build (unsigned), and of hardware builds against our
# RIFFA-compatible stub DLL (this version, signed with a throw-away PEM
# certificate and key, and the next one from a copy of the source with a
# higher project version, signed with a PKCS#12 file) must hold the same
# files: the tools, a text manual per program, README.txt and copyright.txt,
# every text CRLF alone, no riffa.dll; with SHA256SUMS and nothing else beside
# them, signatures that osslsigncode verifies, the MSI tables the install
# relies on, file versions in the File table and component GUIDs that a
# rebuild keeps; the MSI's programs and DLLs are the ZIP's, byte for byte,
# dated the changelog's date or SOURCE_DATE_EPOCH, and a second build of
# the same source gives the same ZIP; the README's deployment page names
# the MSI's ProductCode and UpgradeCode; the manuals speak cmd. Under Wine,
# in a prefix without the tools, for a user whose name code page 1252
# lacks: each flavour is refused over the other unless REPLACE_ZEDA_FLAVOUR
# is given as 1 (0 is a no), and an earlier build of the virtual-board
# flavour under the hardware UpgradeCode is told apart; msiexec /i puts the
# tools on the system PATH, where a fresh cmd finds them by name, with
# version resources and Add/Remove Programs details; the virtual-board
# flavour rehearses a field update with its boards in the user's profile;
# the hardware one, put in a folder of the admin's whose name code page
# 1252 lacks, says that riffa.dll is missing until the stub is beside it or
# on PATH, then fails to open a board; the next version upgrades it in that
# folder, a repair keeps it there, the older one is refused; the README's
# detection rule, silent command lines, exit statuses and unattended runs
# hold; msiexec /x leaves no file, PATH entry, registry value or product;
# ADD_ZEDA_TO_PATH=0 keeps the tools off PATH across an upgrade. The ZIPs,
# unpacked and put on PATH, run too.
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
mkdir -p "$work/run" "$work/cert"

version=$(sed -n 's/^project(zeda_pcie_tools VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || die "no project version x.y.z in $src/CMakeLists.txt"
next=${version%.*}.$((${version##*.} + 1))
code_of() { sed -n "s/^set(ZEDA_MSI_UPGRADE_CODE_$1 \(.*\))$/\1/p" "$src/cmake/ZedaWindowsPackage.cmake"; }
hw_code=$(code_of HARDWARE)
sim_code=$(code_of SIM)
[ -n "$hw_code" ] && [ -n "$sim_code" ] && [ "$hw_code" != "$sim_code" ] ||
  die "no two UpgradeCodes ZEDA_MSI_UPGRADE_CODE_HARDWARE and _SIM in cmake/ZedaWindowsPackage.cmake"

# --- the packages ---
# A throw-away code-signing certificate, as PEM and as PKCS#12 with a password.
cert=$work/cert
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$cert/key.pem" -out "$cert/cert.pem" -days 2 \
  -subj "/CN=ZEDA package check" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 &&
  echo "throw-away" >"$cert/password" &&
  openssl pkcs12 -export -inkey "$cert/key.pem" -in "$cert/cert.pem" -out "$cert/cert.p12" \
    -passout "file:$cert/password" || die "openssl could not make a signing certificate"
# A time-stamp server that can't be reached stops the packaging (the checks
# run without a network: no time stamp in the packages themselves).
if ZEDA_SIGN_CERT=$cert/cert.pem ZEDA_SIGN_KEY=$cert/key.pem ZEDA_SIGN_TIMESTAMP_URL=http://127.0.0.1:9 \
    cmake --build "$hw/tools-lib" --target package >"$work/unstamped.log" 2>&1 ||
   ! tr -s ' \n' ' ' <"$work/unstamped.log" | grep -q "Signing .* failed"; then
  fail "packaging with an unreachable time-stamp server did not stop with the signing error: $(tail -n 3 "$work/unstamped.log" | xargs)"
fi
build_log=$work/build.log
ZEDA_SIGN_CERT=$cert/cert.pem ZEDA_SIGN_KEY=$cert/key.pem cmake --build "$hw/tools-lib" --target package \
  >"$build_log" 2>&1 || { cat "$build_log" >&2; die "packaging $hw/tools-lib failed"; }
mkdir -p "$work/next-src"
(cd "$src" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -C "$work/next-src" -xf -
sed -i "s/^project(zeda_pcie_tools VERSION $version /project(zeda_pcie_tools VERSION $next /" "$work/next-src/CMakeLists.txt"
grep -q "^project(zeda_pcie_tools VERSION $next " "$work/next-src/CMakeLists.txt" || die "could not raise the version to $next"
# The changelog's date dates this version's programs, the environment's the
# next one's.
changelog_epoch=$(date -u -d "$(sed -n 's/^ -- .*>  //p' "$src/packaging/changelog" | head -n 1)" +%s)
next_epoch=$((changelog_epoch + 86400))
{ SOURCE_DATE_EPOCH=$next_epoch cmake -S "$work/next-src" -B "$work/tools-next" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DZEDA_RIFFA=system -DRIFFA_ROOT="$hw/riffa-lib" -DCMAKE_CXX_FLAGS=-Werror &&
  ZEDA_SIGN_CERT=$cert/cert.p12 ZEDA_SIGN_PASSWORD_FILE=$cert/password \
    cmake --build "$work/tools-next" -j "${JOBS:-2}" --target package; } >>"$build_log" 2>&1 ||
  { cat "$build_log" >&2; die "building version $next failed"; }
# The virtual-board packages once more, from a copy of the source elsewhere.
mkdir -p "$work/again-src"
(cd "$src" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -C "$work/again-src" -xf -
(cd "$work/again-src" && cmake --preset windows -DCMAKE_CROSSCOMPILING_EMULATOR= &&
  cmake --build --preset windows -j "${JOBS:-2}") >>"$build_log" 2>&1 ||
  { cat "$build_log" >&2; die "building the virtual-board packages again failed"; }

# package <flavour folder> <name> <version>: sets pkg to the path without .msi/.zip
package() { pkg=$1/$2-$3-win64; }

# table <msi> <table>: its rows, without the three header lines and CRs.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
# has_rows <msi> <table> <rows>: each row is a whole row of the table.
has_rows() {
  local rows row
  rows=$(table "$1" "$2")
  while IFS= read -r row; do
    grep -qxF -- "$row" <<<"$rows" || fail "$1: table $2 has no row '$row'"
  done <<<"$3"
}
# signed <file> yes|no: whether osslsigncode verifies its signature with the
# throw-away certificate as the trusted root.
signed() {
  local verified=no
  osslsigncode verify -CAfile "$cert/cert.pem" -in "$1" >"$work/verify.log" 2>&1 && verified=yes
  [ "$verified" = "$2" ] || fail "$1: signature verified: $verified, expected $2: $(tail -n 3 "$work/verify.log" | xargs)"
}

# pe_time <file>: the time stamp of its PE header, in seconds since 1970.
pe_time() {
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tu4 -j$((header + 8)) -N4 "$1" | tr -d ' '
}

# check_package <build folder> <name> <version> <product> <own code> <other code> <refusal> <signed yes|no>
# <date>: the MSI and ZIP hold what bin/ of the build holds, a manual per
# program, README.txt and copyright.txt, the same bytes in each, texts in
# CRLF alone, manuals in cmd's words, programs and DLLs dated <date>;
# SHA256SUMS of them and nothing else beside them; their signatures; the MSI
# tables, and the codes the README names.
check_package() {
  local build=$1 name=$2 ver=$3 product=$4 code=$5 other=$6 refusal=$7 sign=$8 date=$9 msi zip expected entry
  local unzipped=$work/unzipped-check/$name-$ver-win64 product_code
  package "$build" "$name" "$ver"
  msi=$pkg.msi zip=$pkg.zip
  [ -f "$msi" ] && [ -f "$zip" ] || { fail "$pkg.msi or .zip is missing"; return; }
  expected=$( (cd "$build/bin" && ls; ls | sed -n 's/\.exe$/.txt/p'; echo README.txt; echo copyright.txt) | sort)
  [ "$(unzip -Z1 "$zip" | grep -v '/$' | sed "s|^$name-$ver-win64/||" | sort)" = "$expected" ] ||
    fail "$zip holds $(unzip -Z1 "$zip" | xargs), not $(echo $expected)"
  [ "$(table "$msi" File | cut -f3 | sort)" = "$expected" ] ||
    fail "$msi installs $(table "$msi" File | cut -f3 | xargs), not $(echo $expected)"
  [ "$(cd "$build" && ls -d "$name-$ver"-* SHA256SUMS | xargs)" = "SHA256SUMS $(basename "$msi") $(basename "$zip")" ] ||
    fail "beside $(basename "$msi") and its ZIP: $(cd "$build" && ls -d "$name-$ver"-* SHA256SUMS | xargs)"
  [ "$(cut -d' ' -f3 "$build/SHA256SUMS" | xargs)" = "$(basename "$msi") $(basename "$zip")" ] &&
    (cd "$build" && sha256sum --quiet -c SHA256SUMS) || fail "$build/SHA256SUMS: $(cat "$build/SHA256SUMS")"
  rm -rf "$work/unzipped-check" "$work/msi-check" && unzip -q "$zip" -d "$work/unzipped-check"
  msiextract -C "$work/msi-check" "$msi" >/dev/null
  for entry in "$unzipped"/*; do
    cmp -s "$entry" "$(find "$work/msi-check" -type f -name "$(basename "$entry")")" ||
      fail "$(basename "$msi") and $(basename "$zip") hold different $(basename "$entry")"
    case $entry in
      *.txt) ! grep -q $'\(^\|[^\r]\)$' "$entry" || fail "$zip: $(basename "$entry") has lines without CRLF"
        # A shell's words, which cmd would run as nothing or as something else.
        ! grep -nE '/dev/null|\$\?|\| *head|~/|^ +\$ |export |echo y \||man zeda' "$entry" >"$work/unix.txt" ||
          fail "$zip: $(basename "$entry") speaks a Unix shell: $(tr -d '\r' <"$work/unix.txt" | xargs)" ;;
      *) signed "$entry" "$sign"
        [ "$(pe_time "$entry")" = "$date" ] || fail "$zip: $(basename "$entry") is dated $(pe_time "$entry"), not $date" ;;
    esac
  done
  product_code=$(table "$msi" Property | sed -n 's/^ProductCode\t//p')
  grep -qF "ProductCode  $product_code  ($product $ver)" "$unzipped/README.txt" &&
    grep -qF "UpgradeCode  {$code}  ($product, every version)" "$unzipped/README.txt" &&
    grep -qF "The other flavour's UpgradeCode: {$other}" "$unzipped/README.txt" ||
    fail "$zip: README.txt does not name the ProductCode $product_code and the UpgradeCodes {$code} and {$other}"
  signed "$msi" "$sign"
  # A version in the File table for each program and DLL, none for the texts.
  table "$msi" File | awk -F'\t' -v v="$ver.0" '{ want = $3 ~ /\.(exe|dll)$/ ? v : ""
    if ($5 != want) print $3 " has the version " ($5 == "" ? "none" : $5) }' >"$work/versions.txt"
  [ ! -s "$work/versions.txt" ] || fail "$msi: $(xargs <"$work/versions.txt")"
  local -A want=(
    [Property]=$(printf 'ProductName\t%s\nProductVersion\t%s\nUpgradeCode\t{%s}\nALLUSERS\t1\nARPCOMMENTS\t%s\nSecureCustomProperties\t%s' \
      "$product" "$ver" "$code" "$(msiinfo suminfo "$msi" | sed -n 's/^Subject: //p')" \
      'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ZEDA_OTHER_FLAVOUR;INSTALLDIR;ADD_ZEDA_TO_PATH;REPLACE_ZEDA_FLAVOUR')
    [Directory]=$(printf 'INSTALLDIR\tProgramFiles64Folder\tZEDA PCIe tools')
    [Environment]=$(printf 'PATH\t=-*PATH\t[~];[INSTALLDIR]\tc_path')
    [Upgrade]=$(printf '{%s}\t\t%s\t\t513\t\tWIX_UPGRADE_DETECTED\n{%s}\t%s\t\t\t2\t\tWIX_DOWNGRADE_DETECTED\n{%s}\t0.0.0\t\t\t256\t\tZEDA_OTHER_FLAVOUR' \
      "$code" "$ver" "$code" "$ver" "$other")
    [InstallExecuteSequence]=$(printf 'FindRelatedProducts\t\t25\nInstallValidate\t\t1400\nRemoveExistingProducts\t\t1401\nInstallInitialize\t\t1500\nRemoveEnvironmentStrings\t\t3300\nRemoveFiles\t\t3500\nInstallFiles\t\t4000\nWriteEnvironmentStrings\t\t5200')
    # What msiexec /qn, as below, never runs: a remembered folder with the UI.
    [InstallUISequence]=$(printf 'AppSearch\t\t50\nZedaRememberedInstallDir\tZEDA_REMEMBERED_INSTALLDIR AND NOT INSTALLDIR\t51\nZedaRememberedAddToPath\tZEDA_REMEMBERED_ADD_TO_PATH AND NOT ADD_ZEDA_TO_PATH\t52\nZedaAddToPathByDefault\tNOT ADD_ZEDA_TO_PATH\t53\nLaunchConditions\t\t100')
    [LaunchCondition]=$(printf 'NOT WIX_DOWNGRADE_DETECTED\tA newer version of the ZEDA PCIe tools is already installed.\nInstalled OR NOT ZEDA_OTHER_FLAVOUR OR ZEDA_OTHER_PRODUCT_NAME = ProductName OR %s\t%s\nInstalled OR NOT ZEDA_OTHER_FLAVOUR OR ZEDA_OTHER_PRODUCT_NAME <> ProductName OR %s\t%s' \
      "$replace" "$refusal" "$replace" "An earlier build of the $product is installed on this PC, from the time when both flavours shared one UpgradeCode, so this package replaces it only when asked. Uninstall it first, or install this package with REPLACE_ZEDA_FLAVOUR=1 to replace it.")
    [RegLocator]=$(printf 'OtherProductName\t2\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\[ZEDA_OTHER_FLAVOUR]\tDisplayName\t18')
  )
  local t
  for t in "${!want[@]}"; do has_rows "$msi" "$t" "${want[$t]}"; done
  msiinfo suminfo "$msi" | grep -qx 'Template: x64;1033' || fail "$msi is not a 64-bit package"
}
# Only a value other than 0 lets a flavour replace the other.
replace='(REPLACE_ZEDA_FLAVOUR AND REPLACE_ZEDA_FLAVOUR <> "0")'
hw_product="ZEDA PCIe tools"
sim_product="ZEDA PCIe tools (virtual board)"
refuse_sim="The ZEDA PCIe tools (virtual board) are installed on this PC. This package, the tools that drive real boards, would replace them. Uninstall them first, or install this package with REPLACE_ZEDA_FLAVOUR=1 to replace them."
refuse_hw="The ZEDA PCIe tools that drive real boards are installed on this PC. This package, the virtual-board flavour for training, would replace them, and the tools would then drive NO hardware. Uninstall them first, or install this package with REPLACE_ZEDA_FLAVOUR=1 to replace them."
check_package "$sim" zeda-pcie-tools-sim "$version" "$sim_product" "$sim_code" "$hw_code" "$refuse_hw" no "$changelog_epoch"
check_package "$hw/tools-lib" zeda-pcie-tools "$version" "$hw_product" "$hw_code" "$sim_code" "$refuse_sim" yes \
  "$changelog_epoch"
check_package "$work/tools-next" zeda-pcie-tools "$next" "$hw_product" "$hw_code" "$sim_code" "$refuse_sim" yes \
  "$next_epoch"
# The same source gives the same ZIP, wherever it is built.
[ "$(grep 'zip$' "$sim/SHA256SUMS")" = "$(grep 'zip$' "$work/again-src/build-windows/SHA256SUMS")" ] ||
  fail "two builds of the virtual-board ZIP differ: $(grep -h 'zip$' "$sim/SHA256SUMS" "$work/again-src/build-windows/SHA256SUMS" | xargs)"
package "$sim" zeda-pcie-tools-sim "$version"; sim_pkg=$pkg
package "$hw/tools-lib" zeda-pcie-tools "$version"; hw_pkg=$pkg
package "$work/tools-next" zeda-pcie-tools "$next"; next_pkg=$pkg
codes=$(for p in "$sim_pkg" "$hw_pkg" "$next_pkg"; do msiinfo export "$p.msi" Property | grep '^ProductCode'; done | sort -u | wc -l)
[ "$codes" = 3 ] || fail "the three MSIs share a ProductCode"
# A component keeps its GUID from one build to the next, or Windows Installer
# loses count of who installed a file.
[ "$(table "$hw_pkg.msi" Component | cut -f1,2)" = "$(table "$next_pkg.msi" Component | cut -f1,2)" ] ||
  fail "the component GUIDs of $version and $next differ: $(diff <(table "$hw_pkg.msi" Component | cut -f1,2) \
    <(table "$next_pkg.msi" Component | cut -f1,2) | xargs)"
[ $status -eq 0 ] || exit 1

# --- under Wine ---
. "$src/tests/wine_env.sh"
wine_start "$sim/wineprefix"
default_folder='C:\Program Files\ZEDA PCIe tools\'
custom_folder='C:\Tools\ZEDA\'
# A folder whose name code page 1252 lacks.
unicode_folder='C:\Narzędzia\ZEDA\'
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall'
unix_folder() { winepath -u "$1"; }
system_path() { wine reg query "$env_key" /v PATH | tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]*SZ *//p'; }
path_entries() { system_path | tr ';' '\n' | grep -cixF "$1" || true; }
products() { wine reg query "$uninstall_key" /s | tr -d '\r' | sed -n 's/^ *DisplayName *REG_SZ *\(.*ZEDA.*\)/\1/p' | xargs -r -d '\n'; }
# arp <value>: that value of the installed product's Add/Remove Programs
# entry, as regedit exports it (reg query prints it in the console's code
# page, losing what that lacks).
arp() {
  local file=$work/uninstall.reg
  wine regedit /E "$(winepath -w "$file")" "$uninstall_key" >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | awk -v v="\"$1\"=\"" '/^\[/ { key = $0 }
    /^"DisplayName"=".*ZEDA/ { zeda = key } index($0, v) == 1 { value[key] = substr($0, length(v) + 1) }
    END { s = value[zeda]; sub(/"$/, "", s); gsub(/\\\\/, "\\", s); print s }'
}
# msiexec <expected status> <msiexec arguments>: 0, or an error such as 1603
# (install failed) as Wine reports it, in 8 bits.
msiexec() {
  local want=$1 rc=0
  shift
  wine msiexec "$@" /qn >"$work/msiexec.log" 2>&1 || rc=$?
  [ "$rc" = "$((want % 256))" ] || { cat "$work/msiexec.log" >&2; fail "msiexec $*: status $rc, expected $want"; }
}
printf '\n' >"$work/run/enter.txt"
printf 'y\n' >"$work/run/yes.txt"
head -c 300000 /dev/urandom >"$work/run/image.bin"
stub_dir=$(winepath -w "$hw/stub")

# incmd <stdin file> <status> <stdout glob> <stderr> <command line>: in a
# fresh cmd, from a folder that holds no program.
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
# not_found: a fresh cmd runs, and finds no tool by name.
not_found() {
  (cd "$work/run" && wine cmd /c "zeda_pcie_get_mode --version & echo cmd ran" </dev/null >"$work/out.txt" 2>/dev/null) || true
  [ "$(tr -d '\r' <"$work/out.txt")" = "cmd ran" ] || fail "$1, cmd said: $(tr -d '\r' <"$work/out.txt")"
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
  # In the profile of the user who ran them, whatever the code page lacks.
  local boards
  boards=$(cd "$WINEPREFIX/drive_c/users" && ls -d */AppData/Local/riffa_sim/board0 | xargs)
  [ "$boards" = "$USER/AppData/Local/riffa_sim/board0" ] || fail "the virtual boards went to users/$boards, not $USER's"
}
# no_board: the hardware tools with the stub DLL, which finds no board, on PATH.
no_board() {
  incmd "$work/run/enter.txt" 255 "Could not get FPGA 0" "" zeda_pcie_get_mode
  incmd "$work/run/enter.txt" 255 "Could not get FPGA 0" "" zeda_pcie_mode_change
  incmd "$work/run/enter.txt" 255 "Preparing to program 300000 bytes" "Could not get FPGA 0" "zeda_pcie_flash_image image.bin"
  incmd "$work/run/enter.txt" 255 "Could not list FPGAs" "" zeda_pcie_list_boards
}
# version_of <file>: its fixed file version and the strings that describe
# it, as windres reads its version resource, one NAME=value a line.
version_of() {
  x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null | sed -n \
    -e 's/^ FILEVERSION \([0-9]*\), \([0-9]*\), \([0-9]*\), \([0-9]*\)$/FILEVERSION=\1.\2.\3.\4/p' \
    -e 's/^ *VALUE "\(CompanyName\|FileDescription\|FileVersion\|OriginalFilename\|ProductName\|ProductVersion\)", "\(.*\)"$/\1=\2/p'
}
# installed <package> <folder> <PATH entries>: the folder holds exactly the
# package's files, each program and DLL with the version resource the File
# table names, and is on the system PATH that often; the product's
# Add/Remove Programs entry points at it.
installed() {
  local msi=$1.msi folder=$2 entries=$3 files product ver file file_version
  files=$(cd "$(unix_folder "$folder")" 2>/dev/null && ls | sort | xargs)
  [ "$files" = "$(table "$msi" File | cut -f3 | sort | xargs)" ] ||
    fail "after installing $(basename "$msi") $folder holds: ${files:-nothing}"
  [ "$(path_entries "$folder")" = "$entries" ] || fail "after installing $(basename "$msi") the system PATH is $(system_path)"
  product=$(table "$msi" Property | sed -n 's/^ProductName\t//p')
  ver=$(table "$msi" Property | sed -n 's/^ProductVersion\t//p')
  [ "$(arp InstallLocation)|$(arp HelpLink)|$(arp URLInfoAbout)|$(arp Comments)" = \
    "$folder|${folder}README.txt|${folder}README.txt|$(table "$msi" Property | sed -n 's/^ARPCOMMENTS\t//p')" ] ||
    fail "Add/Remove Programs after installing $(basename "$msi"): $(arp InstallLocation)|$(arp HelpLink)|$(arp URLInfoAbout)|$(arp Comments)"
  # The version resource that Properties > Details and inventory tools read.
  while IFS=$'\t' read -r file file_version; do
    [[ $(version_of "$(unix_folder "$folder")/$file" | xargs -d '\n') == "FILEVERSION=$file_version CompanyName=ZEDA \
FileDescription="[A-Z]*" FileVersion=$file_version OriginalFilename=$file ProductName=$product ProductVersion=$ver" ]] ||
      fail "$file's version resource: $(version_of "$(unix_folder "$folder")/$file" | xargs -d '\n')"
  done < <(table "$msi" File | awk -F'\t' '$3 ~ /\.(exe|dll)$/ { print $3 "\t" $5 }')
}

# Wine's msiexec leaves the separator of a PATH entry it removes behind
# (Windows removes both), and Wine's cmd stops searching PATH at the empty
# entry that follows; without that bug the entry is simply gone. After
# <what>, the system PATH must be the one before with the entries given,
# either way; it is then set to that for the runs that follow.
path_is() {
  local what=$1 want=$path_before entry now
  shift
  for entry in "$@"; do want="$want;$entry"; done
  now=$(system_path)
  [ "$now" = "$want" ] || [ "$(sed 's/;;*/;/g; s/;$//' <<<"$now")" = "$want" ] ||
    { fail "after $what the system PATH is $now, expected $want"; return; }
  wine reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$want" /f >/dev/null
}
missing_dll='riffa.dll, the RIFFA library, was not found beside this program, in C:\\windows\\system32 or on PATH: install the RIFFA driver, which brings it.'

path_before=$(system_path)
[ ! -e "$(unix_folder "$default_folder")" ] && [ "$(path_entries "$default_folder")" = 0 ] && [ -z "$(products)" ] ||
  die "the Wine prefix $WINEPREFIX already has the tools: it must be a fresh one"
not_found "before any install"

# readme_line <package> <text>: the first line of the package's README.txt
# that holds the text, without its indent.
readme_line() {
  unzip -p "$1.zip" "$(basename "$1")/README.txt" | tr -d '\r' | grep -F -m 1 -- "$2" | sed 's/^ *//'
}
# The README's silent install, as written, from the folder that holds the
# MSI. (Wine's msiexec writes no log to a quoted path, which %TEMP% needs.)
cp "$sim_pkg.msi" "$work/run/"
incmd "$work/run/enter.txt" 0 "" "" "$(readme_line "$sim_pkg" "/qn /l*v")"
rm "$work/run/$(basename "$sim_pkg").msi"
installed "$sim_pkg" "$default_folder" 1
[ "$(products)" = "$sim_product" ] || fail "installed products: $(products)"
# The README's detection rule holds while the product is installed.
detect=$(readme_line "$sim_pkg" "reg query HKLM")
incmd "$work/run/enter.txt" 0 "*DisplayVersion    REG_SZ    $version" "" "$detect"
rehearse
# Unattended, as the README shows it, in a batch file.
printf '@echo off\r\n%s\r\nzeda_pcie_wait_board\r\necho %%ERRORLEVEL%%\r\n' \
  "$(readme_line "$sim_pkg" "zeda_pcie_get_mode < NUL")" >"$work/run/unattended.bat"
incmd /dev/null 0 $'Board in normal operation mode. \nPress any key to exit...\nBoard in normal operation mode. \n0' "" \
  unattended.bat

# Neither flavour replaces the other unasked, nor when told 0; told 1, the
# hardware one does, into a folder of the admin's.
msiexec 1603 /i "$(winepath -w "$hw_pkg.msi")"
msiexec 1603 /i "$(winepath -w "$hw_pkg.msi")" REPLACE_ZEDA_FLAVOUR=0
[ "$(products)" = "$sim_product" ] || fail "after the refused hardware MSI, installed products: $(products)"
installed "$sim_pkg" "$default_folder" 1
msiexec 0 /i "$(winepath -w "$hw_pkg.msi")" REPLACE_ZEDA_FLAVOUR=1 "INSTALLDIR=$custom_folder"
installed "$hw_pkg" "$custom_folder" 1
[ ! -e "$(unix_folder "$default_folder")" ] || fail "the replaced virtual-board tools left $default_folder"
[ "$(products)" = "$hw_product" ] || fail "after the hardware MSI, installed products: $(products)"
path_is "the hardware MSI replaced the virtual-board one" "$custom_folder"
# Without riffa.dll: one line and 255, where the board would have been opened.
incmd "$work/run/enter.txt" 255 "$missing_dll" "" zeda_pcie_get_mode
incmd "$work/run/enter.txt" 255 "Preparing to program 300000 bytes" "${missing_dll//\\\\/\\}" "zeda_pcie_flash_image image.bin"
incmd "$work/run/enter.txt" 0 "Usage: zeda_pcie_wait_board *More in the manual page: zeda_pcie_wait_board.txt beside the program" "" \
  "zeda_pcie_wait_board --help"
# Its refusal names the hardware tools: they are what the MSI found.
msiexec 1603 /i "$(winepath -w "$sim_pkg.msi")" REPLACE_ZEDA_FLAVOUR=0 /l*v "$(winepath -w "$work/refused.log")"
[ "$(products)" = "$hw_product" ] || fail "after the refused virtual-board MSI, installed products: $(products)"
grep -aqxF "Property(S): ZEDA_OTHER_PRODUCT_NAME = $hw_product" <(tr -d '\r' <"$work/refused.log") ||
  fail "the refused virtual-board MSI did not find the $hw_product by name"
export WINEPATH=$stub_dir
versions "$version" "RIFFA host library" $tools
no_board

# The next version stays in that folder, and so does a repair.
msiexec 0 /i "$(winepath -w "$next_pkg.msi")"
installed "$next_pkg" "$custom_folder" 1
[ "$(products)" = "$hw_product" ] || fail "after the upgrade, installed products: $(products)"
path_is "the upgrade" "$custom_folder"
versions "$next" "RIFFA host library" $tools
no_board
rm "$(unix_folder "$custom_folder")/zeda_pcie_get_mode.txt"
# A repair as msiexec /fa makes it; Wine's msiexec takes it only in this form.
msiexec 0 /i "$(winepath -w "$next_pkg.msi")" REINSTALL=ALL REINSTALLMODE=amus
installed "$next_pkg" "$custom_folder" 1
[ ! -e "$(unix_folder "$default_folder")" ] || fail "the repair installed into $default_folder"

# The older version is refused and changes nothing.
msiexec 1603 /i "$(winepath -w "$hw_pkg.msi")"
installed "$next_pkg" "$custom_folder" 1
versions "$next" "RIFFA host library" zeda_pcie_get_mode

# The README's uninstall by ProductCode, as written; once more, 1605.
incmd "$work/run/enter.txt" 0 "" "" "$(readme_line "$next_pkg" "msiexec /x {")"
incmd "$work/run/enter.txt" $((1605 % 256)) "" "" "$(readme_line "$next_pkg" "msiexec /x {")"
[ ! -e "$(unix_folder "$custom_folder")" ] || fail "after the uninstall $custom_folder holds: $(ls "$(unix_folder "$custom_folder")" | xargs)"
path_is "the uninstall"
[ -z "$(products)" ] || fail "after the uninstall, installed products: $(products)"
[ -z "$(wine reg query 'HKLM\Software\ZEDA' /s 2>/dev/null | tr -d '\r' | grep REG_)" ] ||
  fail "after the uninstall the registry holds: $(wine reg query 'HKLM\Software\ZEDA' /s | tr -d '\r' | grep REG_)"
unset WINEPATH
not_found "after the uninstall"
incmd "$work/run/enter.txt" 1 "*" "" "$detect"

# Kept off PATH, also by the next version, in a folder whose name code page
# 1252 lacks; the riffa.dll put beside the tools there is found.
msiexec 0 /i "$(winepath -w "$hw_pkg.msi")" ADD_ZEDA_TO_PATH=0 "INSTALLDIR=$unicode_folder"
installed "$hw_pkg" "$unicode_folder" 0
not_found "after an install with ADD_ZEDA_TO_PATH=0"
msiexec 0 /i "$(winepath -w "$next_pkg.msi")"
installed "$next_pkg" "$unicode_folder" 0
cp "$hw/stub/riffa.dll" "$(unix_folder "$unicode_folder")/"
incmd "$work/run/enter.txt" 255 "Could not get FPGA 0" "" "${unicode_folder}zeda_pcie_get_mode.exe"
rm "$(unix_folder "$unicode_folder")/riffa.dll"
msiexec 0 /x "$(winepath -w "$next_pkg.msi")"
[ -z "$(products)" ] && [ ! -e "$(unix_folder "$unicode_folder")" ] || fail "the last uninstall left $(products)"
path_is "the last uninstall"

# An earlier build of the virtual-board flavour, under the UpgradeCode both
# flavours once shared (a stand-in made from this one): the new one refuses
# it as such, not as the hardware tools.
old_sim=$work/old-sim.msi
cp "$sim_pkg.msi" "$old_sim"
msibuild "$old_sim" -q "UPDATE Property SET Value = '{$hw_code}' WHERE Property = 'UpgradeCode'" \
  -q "UPDATE Property SET Value = '{0D1E5A11-0000-4000-8000-000000000100}' WHERE Property = 'ProductCode'" &&
  msibuild "$old_sim" -s "Installation Database" ZEDA "x64;1033" "{0D1E5A11-0000-4000-8000-000000000101}" ||
  die "could not make an earlier virtual-board MSI"
msiexec 0 /i "$(winepath -w "$old_sim")"
msiexec 1603 /i "$(winepath -w "$sim_pkg.msi")" /l*v "$(winepath -w "$work/refused.log")"
grep -aqxF "Property(S): ZEDA_OTHER_PRODUCT_NAME = $sim_product" <(tr -d '\r' <"$work/refused.log") ||
  fail "the virtual-board MSI did not find the earlier build of the $sim_product by name"
msiexec 0 /x "$(winepath -w "$old_sim")"
path_is "the earlier virtual-board build was removed"

# The ZIPs, unpacked and put on PATH.
for p in "$hw_pkg" "$sim_pkg"; do
  unzip -q "$p.zip" -d "$work/unzipped"
done
export WINEPATH="$(winepath -w "$work/unzipped/$(basename "$hw_pkg")");$stub_dir"
versions "$version" "RIFFA host library" $tools
no_board
WINEPATH=$(winepath -w "$work/unzipped/$(basename "$sim_pkg")")
rehearse
unset WINEPATH

[ $status -eq 0 ] && echo "windows-package-check: $(basename "$sim_pkg") and $(basename "$hw_pkg") (.msi and .zip," \
  "the hardware one against a stub riffa.dll, signed) hold the same files, versioned and in CRLF, with their" \
  "SHA256SUMS, the same bytes in both and from a second build, and name their codes; under Wine each flavour" \
  "was refused over the other (also with REPLACE_ZEDA_FLAVOUR=0, and an earlier virtual-board build told" \
  "apart) and replaced it when asked, the tools ran by name from PATH, kept the virtual boards in the" \
  "profile of a user named outside code page 1252, said when riffa.dll was missing, were upgraded to $next" \
  "and repaired in such a folder of the admin's, refused a downgrade, stayed off PATH when asked, ran" \
  "unattended and were installed, detected and removed by the README's lines, without a trace"
exit $status
