#!/usr/bin/env bash
# Makes <dir> the folder an operator runs fleet updates from: builds the
# collection zeda.fleet from this folder, installs it offline into
# <dir>/collections and runs zeda.fleet.setup there, as an operator does
# (runs then start in <dir> with ANSIBLE_COLLECTIONS_PATH=<dir>/collections
# and use its ansible.cfg). Adds a sample image, <dir>/gateware.bin, signed
# with a key made for it (gateware.bin.sig; release.key, allowed_signers).
# Usage: fleet/operator_folder.sh <dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
version=$(sed -n 's/^version: *//p' "$here/galaxy.yml")
{ ansible-galaxy collection build --force --output-path "$dir" "$here" \
    && ansible-galaxy collection install --force --offline -p "$dir/collections" "$dir/zeda-fleet-$version.tar.gz"; } \
  > "$dir/collection.log" 2>&1 || { cat "$dir/collection.log" >&2; echo "operator_folder.sh: the collection could not be built or installed" >&2; exit 1; }
(cd "$dir" && ANSIBLE_COLLECTIONS_PATH="$dir/collections" ansible-playbook -i localhost, zeda.fleet.setup) \
  >> "$dir/collection.log" 2>&1 || { cat "$dir/collection.log" >&2; echo "operator_folder.sh: zeda.fleet.setup failed" >&2; exit 1; }

# 300003 bytes: not a whole number of words, as real images often are.
head -c 300003 /dev/urandom > "$dir/gateware.bin"
# Signed as a release engineer signs, with a key allowed for gateware images.
rm -f "$dir/release.key" "$dir/release.key.pub"
ssh-keygen -q -t ed25519 -N '' -C release@zeda.example -f "$dir/release.key"
echo "release@zeda.example namespaces=\"zeda-gateware\" $(cat "$dir/release.key.pub")" > "$dir/allowed_signers"
ssh-keygen -q -Y sign -n zeda-gateware -f "$dir/release.key" "$dir/gateware.bin" 2> /dev/null
