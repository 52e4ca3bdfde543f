#!/usr/bin/env bash
# Rehearses the fleet update on four local "PCs" with virtual boards
# (fleet/local_fleet.sh), two at a time, and shows what each board holds.
# Usage: fleet/demo.sh <build folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
work=$(cd "$build" && pwd)/fleet-demo
# The collection as installed by local_fleet.sh, with its settings; the log,
# the report and its retry list stay with the demo's files.
export ANSIBLE_COLLECTIONS_PATH="$work/collections"
export ANSIBLE_CONFIG="$work/collections/ansible_collections/zeda/fleet/ansible.cfg" ANSIBLE_LOG_PATH="$work/ansible.log"
"$here/local_fleet.sh" "$build" "$work"

echo "== The inventory: four PCs on this machine ($work/inventory.yml)"
cat "$work/inventory.yml"
echo
echo "== ansible-playbook -i $work/inventory.yml zeda.fleet.field_update -e zeda_field_update_image=$work/gateware.bin -e zeda_field_update_batch_size=2"
ansible-playbook -i "$work/inventory.yml" zeda.fleet.field_update \
  -e zeda_field_update_image="$work/gateware.bin" -e zeda_field_update_batch_size=2 -e zeda_field_update_report="$work/report.json"

echo "== What the boards hold now (riffa_sim verify)"
for host in pc1 pc2 pc3 pc4; do
  board=0
  [ "$host" = pc4 ] && board=1
  printf '%s: ' "$host"
  RIFFA_SIM_DIR="$work/$host/boards" "$build/bin/riffa_sim" -b $board verify "$work/gateware.bin"
done
