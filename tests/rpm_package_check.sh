#!/usr/bin/env bash
# Reads an RPM as a PC of the Red Hat family would, beside the .deb of the
# same build: its metadata, requirements, files (the .deb's, byte for byte),
# changelog and rpmlint's verdict. Then installs it into a scratch root with
# rpm --root, runs an installed program there and removes the package, which
# must leave nothing behind.
# Usage: rpm_package_check.sh <rpm> <deb> <build dir>
# The build dir may hold rpmlint/<name>.rpmlintrc, written by CMake.
set -euo pipefail
[ $# -eq 3 ] && [ -f "$1" ] && [ -f "$2" ] ||
  { echo "usage: $0 <rpm> <deb> <build dir> (exactly one of each)" >&2; exit 2; }
rpm_file=$1 deb=$2 build=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'echo "FAIL: ${rpm_file##*/}: stopped by a failed command at line $LINENO" >&2' ERR
status=0
fail() { echo "FAIL: ${rpm_file##*/}: $*" >&2; status=1; }
q() { rpm -qp "$@" "$rpm_file"; }
info() { q -i | sed -n "s/^$1 *: //p"; }
deb_field() { dpkg-deb -f "$deb" "$1"; }
name=$(info Name) version=$(info Version) release=$(info Release)

# --- metadata: the .deb's, in the RPM's fields ---
while IFS='|' read -r field want; do
  got=$(info "$field")
  [[ $got == $want ]] || fail "rpm -qpi $field is '$got', not '$want'"
done <<EOF
Name|$(deb_field Package)
Version|$(deb_field Version)
Summary|$(deb_field Description | sed -n 1p)
License|Proprietary
URL|https://?*
Group|Unspecified
Packager|$(deb_field Maintainer)
EOF
[ "$(q --qf '%{DESCRIPTION}')" = "$(deb_field Description | sed '1d; s/^ //; s/^\.$//')" ] ||
  fail "the description differs from the .deb's: $(q --qf '%{DESCRIPTION}')"
[ "$(q --conflicts)" = "$(deb_field Conflicts)" ] || fail "conflicts with '$(q --conflicts)', the .deb with '$(deb_field Conflicts)'"

# --- requirements ---
q -R >"$work/requires"
case $name in
  *-sim) ! grep riffa "$work/requires" <(q --provides) || fail "the virtual-board package requires or offers a RIFFA library" ;;
  *) grep -q '^libriffa\.so' "$work/requires" || fail "no Requires names the RIFFA host library" ;;
esac
# RHEL 9 and its rebuilds have glibc 2.34 and the libstdc++ of GCC 11.
for allowed in GLIBC_2.34 GLIBCXX_3.4.29 CXXABI_1.3.13; do
  newest=$( (grep -o "(${allowed%_*}_[0-9.]*)" "$work/requires" || true) | tr -d '()' | sort -V | tail -n 1)
  [ "$(printf '%s\n' "$newest" "$allowed" | sort -V | tail -n 1)" = "$allowed" ] ||
    fail "needs $newest, newer than RHEL 9's $allowed: it would not install there"
done

# --- files: the .deb's, byte for byte; each program with its page ---
dpkg-deb -x "$deb" "$work/deb"
(cd "$work/deb" && find usr -type f ! -path 'usr/share/lintian/*' -exec sha256sum {} + | sed 's|  | /|' | sort -k 2) \
  >"$work/deb.sums"
q --qf '[%{FILEDIGESTS} %{FILENAMES}\n]' | grep -v '^ ' | sort -k 2 >"$work/rpm.sums"
diff "$work/deb.sums" "$work/rpm.sums" >&2 || fail "the files differ from the .deb's (< .deb, > .rpm)"
cut -d ' ' -f 2 "$work/rpm.sums" >"$work/files"
doc=/usr/share/doc/$name
for f in /usr/bin/zeda_pcie_get_mode "$doc/copyright" "$doc/changelog.gz" \
         $(sed -n 's|^/usr/bin/\(.*\)|/usr/share/man/man1/\1.1.gz|p' "$work/files"); do
  grep -qx "$f" "$work/files" || fail "no $f"
done
owned=$(q --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' | sed -n 's/^d[^ ]* //p' | grep -v zeda-pcie-tools || true)
[ -z "$owned" ] || fail "owns folders of the system: $owned"
[ "$(q -L)" = "$doc/copyright" ] || fail "the copyright is not marked as the licence: $(q -L)"

# --- changelog: the .deb's latest entry, with the RPM's release ---
zcat "$work/deb$doc/changelog.gz" >"$work/changelog"
date=$(dpkg-parsechangelog -l "$work/changelog" -S Date | tr -d , | awk '{print $1, $3, $2, $4}')
want="* $date $(dpkg-parsechangelog -l "$work/changelog" -S Maintainer) - $version-$release"
words() { sed 's/^ *[-*] //' | tr -s ' \n' '  ' | sed 's/ $//'; }
q --changelog >"$work/rpm.changelog"
[ "$(head -n 1 "$work/rpm.changelog")" = "$want" ] &&
  [ "$(sed -n '2,/^$/p' "$work/rpm.changelog" | words)" = "$(sed -n '/^ -- /q; /^  /p' "$work/changelog" | words)" ] ||
  fail "the changelog's latest entry is not the .deb's, headed '$want': $(cat "$work/rpm.changelog")"

# --- rpmlint: no error, no warning left unexplained ---
lint=(-c "$(dirname "$0")/../packaging/rpm/rpmlint.toml")
[ ! -f "$build/rpmlint/$name.rpmlintrc" ] || lint+=(-r "$build/rpmlint/$name.rpmlintrc")
rpmlint "${lint[@]}" "$rpm_file" >"$work/rpmlint.out" 2>&1 && grep -q ' 0 errors, 0 warnings,' "$work/rpmlint.out" ||
  { cat "$work/rpmlint.out" >&2; fail "rpmlint finds errors or warnings"; }

# --- install, run, remove ---
root=$work/root
db=(--root "$root" --dbpath /var/lib/rpm)
# Debian's rpm warns on every install and erase that alien should be used.
alien='use Alien instead\|assuming you know what you are doing'
mkdir "$root"
rpm "${db[@]}" --nodeps -i "$rpm_file" 2> >(grep -v "$alien" >&2) || fail "rpm -i failed"
case $name in
  *-sim) backend="virtual board riffa_sim, drives no hardware" ;;
  *) backend="RIFFA host library" ;;
esac
got=$(env -u LD_LIBRARY_PATH "$root/usr/bin/zeda_pcie_get_mode" --version 2>&1) &&
  [ "$got" = "zeda_pcie_get_mode $version ($backend)" ] || fail "the installed zeda_pcie_get_mode --version: $got"
rpm "${db[@]}" -e "$name" 2> >(grep -v "$alien" >&2) || fail "rpm -e failed"
# Only the empty system folders that rpm made for the files may stay.
left=$(cd "$root" && find . -mindepth 1 ! -path './var*' |
  grep -vx '\./usr\(/bin\|/lib\|/share\(/doc\|/man\(/man1\)\?\)\?\)\?' || true)
[ -z "$left" ] || fail "rpm -e left behind: $left"

[ $status -eq 0 ] && echo "rpm check: ${rpm_file##*/}: metadata, requirements, files, changelog," \
  "rpmlint (0 errors, 0 warnings), install, run and removal as they should be"
exit $status
