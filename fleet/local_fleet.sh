#!/usr/bin/env bash
# Sets up a fleet of four "PCs" on this machine for rehearsing the fleet
# update: hosts pc1 to pc4 with ansible_connection=local, each with its own
# virtual-board folder and state folder under <dir>, and the virtual-board
# tools of <build folder>. pc1 to pc3 have board 0 in normal operation mode;
# pc4 has board 1, found in bootloader mode as after a run that stopped.
# Each board is off the bus for $FLEET_REBOOT_MS (default 1500) ms after a
# mode switch, as hardware is while its FPGA reloads.
# Writes <dir>/inventory.yml and a sample image, <dir>/gateware.bin, signed
# with a key made for it (gateware.bin.sig; release.key, allowed_signers),
# installs the collection zeda.fleet built from this folder into
# <dir>/collections, offline, and sets <dir> up with zeda.fleet.setup, as an
# operator does: runs start in <dir>, with ANSIBLE_COLLECTIONS_PATH set to
# <dir>/collections, and use its ansible.cfg.
# Usage: fleet/local_fleet.sh <build folder> <dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
dir=$2
rm -rf "$dir"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

version=$(sed -n 's/^version: *//p' "$here/galaxy.yml")
{ ansible-galaxy collection build --force --output-path "$dir" "$here" \
    && ansible-galaxy collection install --offline -p "$dir/collections" "$dir/zeda-fleet-$version.tar.gz"; } \
  > "$dir/collection.log" 2>&1 || { cat "$dir/collection.log" >&2; echo "local_fleet.sh: the collection could not be built or installed" >&2; exit 1; }
(cd "$dir" && ANSIBLE_COLLECTIONS_PATH="$dir/collections" ansible-playbook -i localhost, zeda.fleet.setup) \
  >> "$dir/collection.log" 2>&1 || { cat "$dir/collection.log" >&2; echo "local_fleet.sh: zeda.fleet.setup failed" >&2; exit 1; }

# 300003 bytes: not a whole number of words, as real images often are.
head -c 300003 /dev/urandom > "$dir/gateware.bin"
# Signed as a release engineer signs, with a key allowed for gateware images.
ssh-keygen -q -t ed25519 -N '' -C release@zeda.example -f "$dir/release.key"
echo "release@zeda.example namespaces=\"zeda-gateware\" $(cat "$dir/release.key.pub")" > "$dir/allowed_signers"
ssh-keygen -q -Y sign -n zeda-gateware -f "$dir/release.key" "$dir/gateware.bin" 2> /dev/null

{
  echo "zeda_pcs:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
  echo "    zeda_field_update_tools_dir: $bin"
  echo "  hosts:"
  for host in pc1 pc2 pc3 pc4; do
    mkdir -p "$dir/$host/boards"
    echo "    $host:"
    echo "      zeda_field_update_environment: {RIFFA_SIM_DIR: $dir/$host/boards}"
    echo "      zeda_field_update_state_dir: $dir/$host/state"
    [ "$host" = pc4 ] && echo "      zeda_field_update_boards: [1]"
  done
} > "$dir/inventory.yml"

for host in pc1 pc2 pc3; do
  RIFFA_SIM_DIR="$dir/$host/boards" "$bin/riffa_sim" add normal > /dev/null
done
RIFFA_SIM_DIR="$dir/pc4/boards" "$bin/riffa_sim" -b 1 add bootloader > /dev/null
for host in pc1 pc2 pc3 pc4; do
  board=0
  [ "$host" = pc4 ] && board=1
  RIFFA_SIM_DIR="$dir/$host/boards" "$bin/riffa_sim" -b $board reboot-time "${FLEET_REBOOT_MS:-1500}" > /dev/null
done
