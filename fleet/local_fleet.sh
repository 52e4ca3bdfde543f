#!/usr/bin/env bash
# Sets up a fleet of four "PCs" on this machine for rehearsing the fleet
# update: hosts pc1 to pc4 with ansible_connection=local, each with its own
# virtual-board folder and state folder under <dir>, and the virtual-board
# tools of <build folder>. pc1 to pc3 have board 0 in normal operation mode;
# pc4 has board 1, found in bootloader mode as after a run that stopped.
# Each board is off the bus for $FLEET_REBOOT_MS (default 1500) ms after a
# mode switch, as hardware is while its FPGA reloads. <dir> is made an
# operator's folder (fleet/operator_folder.sh) with <dir>/inventory.yml.
# fleet/lab.sh makes PCs that are hosts of their own, reached over SSH.
# Usage: fleet/local_fleet.sh <build folder> <dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
dir=$2
rm -rf "$dir"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
"$here/operator_folder.sh" "$dir"

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
