#!/usr/bin/env bash
# Rehearses the fleet update on four local "PCs" with virtual boards
# (fleet/local_fleet.sh), two at a time, with a signed image checked against
# the allowed signers, and shows what each board holds, as the fleet status
# reports it and as riffa_sim verifies it. pc3's board stays off the bus
# after its reboots, as on a PC whose bus must be rescanned, and the
# rescan command brings it back.
# Usage: fleet/demo.sh <build folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$build/fleet-demo
"$here/local_fleet.sh" "$build" "$work"
# Runs start in the folder zeda.fleet.setup made, with its ansible.cfg, and
# use the collection installed there.
cd "$work"
export ANSIBLE_COLLECTIONS_PATH="$work/collections"

echo "== The inventory: four PCs on this machine ($work/inventory.yml)"
cat inventory.yml
echo
RIFFA_SIM_DIR="$work/pc3/boards" "$build/bin/riffa_sim" fault stays-off-bus > /dev/null
echo "== pc3's board stays off the bus after a reboot until the PCI bus is rescanned. Until then"
echo "   the tools see it as the PC's RIFFA driver shows it: on Linux the board opens but its"
echo "   transfers never end (zeda_pcie_wait_board ends them at its time limit), on Windows"
echo "   'Could not get FPGA 0'. zeda_field_update_rescan_command rescans it here."
rescan="$build/bin/riffa_sim -b 0 rescan"
echo "== ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin -e zeda_field_update_allowed_signers=allowed_signers -e zeda_field_update_batch_size=2 -e zeda_field_update_reboot_timeout=5 -e \"zeda_field_update_rescan_command='riffa_sim -b 0 rescan'\""
ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin \
  -e zeda_field_update_allowed_signers=allowed_signers -e zeda_field_update_batch_size=2 \
  -e zeda_field_update_reboot_timeout=5 -e "zeda_field_update_rescan_command='$rescan'"

echo "== ansible-playbook -i inventory.yml status.yml -e zeda_field_update_image=gateware.bin"
ansible-playbook -i inventory.yml status.yml -e zeda_field_update_image=gateware.bin | sed -n '/^FLEET STATUS/,$p'

echo "== What the boards hold now (riffa_sim verify)"
for host in pc1 pc2 pc3 pc4; do
  board=0
  [ "$host" = pc4 ] && board=1
  printf '%s: ' "$host"
  RIFFA_SIM_DIR="$work/$host/boards" "$build/bin/riffa_sim" -b $board verify "$work/gateware.bin"
done
echo "== The reports: $work/zeda-fleet-reports (latest.html is the page of the update)"
