#!/usr/bin/env bash
# Reads an RPM as a PC of the Red Hat family would, beside the .deb of the
# same build: its metadata, requirements, changelog and files (the .deb's,
# byte for byte), and rpmlint's verdict. Then installs it into a scratch root
# with rpm --root, runs an installed program there and removes the package,
# which must leave nothing behind.
# Usage: rpm_package_check.sh <rpm> <deb> <build dir>
# The build dir may hold rpmlint/<name>.rpmlintrc, written by CMake.
set -euo pipefail
[ $# -eq 3 ] && [ -f "$1" ] && [ -f "$2" ] ||
  { echo "usage: $0 <rpm> <deb> <build dir> (exactly one of each)" >&2; exit 2; }
rpm_file=$1 deb=$2 build=$3
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: ${rpm_file##*/}: $*" >&2; status=1; }

# Debian's rpm warns on every install and erase that alien should be used.
rpm_quiet() {
  local rc=0
  rpm "$@" 2>"$work/rpm.err" || rc=$?
  grep -v -e 'use Alien instead' -e 'assuming you know what you are doing' "$work/rpm.err" >&2 || true
  return $rc
}
info() { rpm -qpi "$rpm_file" | sed -n "s/^$1 *: //p"; }
deb_field() { dpkg-deb -f "$deb" "$1"; }

name=$(info Name) version=$(info Version) release=$(info Release)
if [[ $name == *-sim ]]; then flavour=sim; else flavour=hardware; fi
echo "rpm: ${rpm_file##*/} ($flavour)"

# --- metadata: the .deb's, in the RPM's fields ---
summary=$(deb_field Description | sed -n 1p)
while IFS='|' read -r field want; do
  got=$(info "$field")
  [[ $got == $want ]] || fail "rpm -qpi $field is '$got', not '$want'"
done <<EOF
Name|$(deb_field Package)
Version|$(deb_field Version)
Release|[1-9]*
Summary|$summary
URL|https://?*
Group|Unspecified
Packager|$(deb_field Maintainer)
EOF
license=$(info License)
[ -n "$license" ] && [ "$license" != unknown ] || fail "no License: '$license'"
description=$(deb_field Description | tail -n +2 | sed 's/^ //; s/^\.$//')
[ "$(rpm -qp --qf '%{DESCRIPTION}' "$rpm_file")" = "$description" ] ||
  fail "the description differs from the .deb's: $(rpm -qp --qf '%{DESCRIPTION}' "$rpm_file")"

# --- requirements ---
rpm -qpR "$rpm_file" > "$work/requires"
[ "$(rpm -qp --conflicts "$rpm_file")" = "$(deb_field Conflicts)" ] ||
  fail "conflicts with '$(rpm -qp --conflicts "$rpm_file")', the .deb with '$(deb_field Conflicts)'"
if [ $flavour = sim ]; then
  ! grep -i riffa "$work/requires" || fail "the virtual-board package requires RIFFA"
  ! rpm -qp --provides "$rpm_file" | grep riffa || fail "the private libriffa_sim is offered to other packages"
else
  grep -q '^libriffa\.so' "$work/requires" || fail "no Requires names the RIFFA host library"
fi
# What Rocky, Alma and RHEL 9 have: glibc 2.34, the libstdc++ of GCC 11.
while read -r lib symbol newest_allowed; do
  newest=$(sed -n "s/^$lib[.]so[.][0-9]*(${symbol}_\([0-9.]*\))(64bit)\$/\1/p" "$work/requires" | sort -V | tail -n 1)
  [ "$(printf '%s\n' "$newest" "$newest_allowed" | sort -V | tail -n 1)" = "$newest_allowed" ] ||
    fail "needs $symbol $newest, newer than RHEL 9's $newest_allowed: it would not install there"
done <<EOF
libc GLIBC 2.34
libstdc++ GLIBCXX 3.4.29
libstdc++ CXXABI 1.3.13
EOF
echo "requires: $(grep -v -e '^rpmlib(' -e '_[0-9.]*)(64bit)$' "$work/requires" | xargs)"

# --- files: the .deb's, byte for byte; each program with its page ---
dpkg-deb -x "$deb" "$work/deb"
(cd "$work/deb" && find . -type f ! -path './usr/share/lintian/*' | sed 's|^\.||' | sort |
  while read -r f; do echo "$(sha256sum <".$f" | cut -d' ' -f1) $f"; done) >"$work/deb.sums"
rpm -qp --qf '[%{FILEDIGESTS} %{FILENAMES}\n]' "$rpm_file" | grep -v '^ ' | sort -k 2 >"$work/rpm.sums"
diff "$work/deb.sums" "$work/rpm.sums" >&2 || fail "the files differ from the .deb's (< .deb, > .rpm)"
sed 's/^[^ ]* //' "$work/rpm.sums" >"$work/files"
echo "files:"; sed 's/^/  /' "$work/files"
doc=/usr/share/doc/$name
expected=(/usr/bin/zeda_pcie_get_mode "$doc/copyright" "$doc/changelog.gz")
for program in $(sed -n 's|^/usr/bin/||p' "$work/files"); do expected+=("/usr/share/man/man1/$program.1.gz"); done
for f in "${expected[@]}"; do grep -qx "$f" "$work/files" || fail "no $f"; done
owned=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm_file" | sed -n 's/^d[^ ]* //p' | grep -v zeda-pcie-tools || true)
[ -z "$owned" ] || fail "owns folders of the system: $owned"
[ "$(rpm -qpL "$rpm_file")" = "$doc/copyright" ] || fail "the copyright is not marked as the licence: $(rpm -qpL "$rpm_file")"

# --- changelog: the .deb's latest entry, with the RPM's release ---
zcat "$work/deb$doc/changelog.gz" >"$work/changelog"
deb_date=$(dpkg-parsechangelog -l "$work/changelog" -S Date | tr -d , | awk '{print $1, $3, $2, $4}')
want="* $deb_date $(dpkg-parsechangelog -l "$work/changelog" -S Maintainer) - $version-$release"
rpm -qp --changelog "$rpm_file" >"$work/rpm.changelog"
[ "$(head -n 1 "$work/rpm.changelog")" = "$want" ] ||
  fail "the changelog begins '$(head -n 1 "$work/rpm.changelog")', not '$want'"
words() { sed 's/^ *[-*] //' | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }
[ "$(sed -n '2,/^$/p' "$work/rpm.changelog" | words)" = "$(sed -n '/^ -- /q; /^  /p' "$work/changelog" | words)" ] ||
  fail "the changelog's latest entry says other than the .deb's: $(cat "$work/rpm.changelog")"

# --- rpmlint: no error, every warning settled in packaging/rpm/rpmlint.toml ---
lint=(-c "$src/packaging/rpm/rpmlint.toml")
[ ! -f "$build/rpmlint/$name.rpmlintrc" ] || lint+=(-r "$build/rpmlint/$name.rpmlintrc")
if ! rpmlint "${lint[@]}" "$rpm_file" >"$work/rpmlint.out" 2>&1 ||
   ! grep -q ' 0 errors, 0 warnings,' "$work/rpmlint.out"; then
  cat "$work/rpmlint.out" >&2; fail "rpmlint finds errors or warnings"
fi
echo "rpmlint: $(grep -o '[0-9]* errors, [0-9]* warnings' "$work/rpmlint.out")"

# --- install, run, remove ---
root=$work/root
db=(--root "$root" --dbpath /var/lib/rpm)
mkdir "$root"
rpm_quiet "${db[@]}" --nodeps -i "$rpm_file" || fail "rpm -i failed"
[ "$(rpm "${db[@]}" -qa)" = "$name-$version-$release.$(info Architecture)" ] ||
  fail "installed packages: $(rpm "${db[@]}" -qa | xargs)"
while read -r f; do [ -f "$root$f" ] || fail "$f was not installed"; done <"$work/files"
if [ $flavour = sim ]; then
  backend="virtual board riffa_sim, drives no hardware"
else
  backend="RIFFA host library"
fi
if ! got=$(env -u LD_LIBRARY_PATH "$root/usr/bin/zeda_pcie_get_mode" --version 2>&1); then
  fail "the installed zeda_pcie_get_mode --version failed: $got"
elif [ "$got" != "zeda_pcie_get_mode $version ($backend)" ]; then
  fail "the installed zeda_pcie_get_mode --version says '$got'"
fi
rpm_quiet "${db[@]}" -e "$name" || fail "rpm -e failed"
[ -z "$(rpm "${db[@]}" -qa)" ] || fail "still installed after rpm -e: $(rpm "${db[@]}" -qa | xargs)"
# Only the empty system folders that rpm made for the files may stay.
left=$(cd "$root" && find . -mindepth 1 ! -path './var*' | sed 's|^\.||' |
  grep -vx -e /usr -e /usr/bin -e /usr/lib -e /usr/share -e /usr/share/doc -e /usr/share/man -e /usr/share/man/man1 || true)
[ -z "$left" ] || fail "rpm -e left behind: $left"

[ $status -eq 0 ] && echo "rpm check: $name-$version-$release installed, ran and was removed cleanly"
exit $status
