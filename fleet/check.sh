#!/usr/bin/env bash
# Proves the fleet update on four local "PCs" with virtual boards
# (fleet/local_fleet.sh): a first run updates every board, a rerun changes
# nothing, a programmer error on the second PC stops a run of batches of one
# there, and of batches of two, and a rerun after the fault is cleared
# finishes the rest.
# Usage: fleet/check.sh <build folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
sim="$build/bin/riffa_sim"
work="$build/fleet-check"
log="$work/run.log"
# Output in the format the checks read, whatever the user's Ansible settings.
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0

fail() { echo "fleet-check: FAILED: $*" >&2; echo "--- last run ($log):" >&2; tail -n 40 "$log" >&2; exit 1; }
board_of() { [ "$1" = pc4 ] && echo 1 || echo 0; }
sim_on() { local host=$1; shift; RIFFA_SIM_DIR="$work/$host/boards" "$sim" -b "$(board_of "$host")" "$@"; }
# Runs the playbook; the status must be $1.
play() {
  local want=$1 rc=0
  shift
  echo "fleet-check: ansible-playbook field_update.yml $*"
  ansible-playbook -i "$work/inventory.yml" "$here/field_update.yml" -e fleet_image="$work/gateware.bin" "$@" \
    > "$log" 2>&1 || rc=$?
  [ "$rc" = "$want" ] || fail "ansible-playbook ended with status $rc, expected $want"
}
summary_row() { grep -Eq "^$1 +$(board_of "$1") +$2" "$log" || fail "no summary row '$1 ... $2'"; }
updated_and_normal() {
  local host
  for host in "$@"; do
    sim_on "$host" verify "$work/gateware.bin" > /dev/null || fail "$host: the flash does not hold the image"
    sim_on "$host" list | grep -q ": normal operation mode" || fail "$host: not in normal operation mode"
  done
}

"$here/local_fleet.sh" "$build" "$work"
ansible-playbook --syntax-check -i "$work/inventory.yml" "$here/field_update.yml" > "$log" 2>&1 \
  || fail "syntax check"

# 1. Every board is updated, also pc4's, found in bootloader mode.
play 0 -e fleet_batch_size=4
updated_and_normal pc1 pc2 pc3 pc4
for host in pc1 pc2 pc3; do summary_row $host "normal +updated +Board in normal operation mode[.]"; done
summary_row pc4 "bootloader +updated"

# 2. A rerun touches no board and says so.
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done > "$work/history.before"
play 0 -e fleet_batch_size=4
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done | cmp -s - "$work/history.before" \
  || fail "the rerun programmed a board"
[ "$(grep -Ec '^pc[1-4] +: ok=[0-9]+ +changed=0 ' "$log")" = 4 ] || fail "the rerun changed something"
grep -q "^Every board already runs the image: nothing was changed[.]$" "$log" || fail "the rerun did not say so"

# 3. Batches of one, programmer error on pc2: the run stops there.
"$here/local_fleet.sh" "$build" "$work"
sim_on pc2 fault programmer-error 5 > /dev/null
play 2 -e fleet_batch_size=1
updated_and_normal pc1
sim_on pc2 list | grep -q ": bootloader mode" || fail "pc2 was not left in bootloader mode"
for host in pc3 pc4; do
  sim_on $host history | grep -q "no programming runs" || fail "$host was programmed"
done
sim_on pc3 list | grep -q ": normal operation mode" || fail "pc3 was switched"
sim_on pc4 list | grep -q ": bootloader mode" || fail "pc4 was switched"
grep -qF "pc2 board 0: flash failed. zeda_pcie_flash_image said 'Programming hardware error. Code:    0x5' (exit status 1)." "$log" \
  || fail "no failure message for pc2"
summary_row pc2 "normal +FAILED: flash +Programming hardware error[.] Code:    0x5"
summary_row pc3 "normal +untouched"

# 3b. Still faulty, in batches of two: a failure in a batch that also
# succeeds stops the run all the same; pc3 and pc4 are still untouched.
play 2 -e fleet_batch_size=2
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +FAILED: flash"
for host in pc3 pc4; do
  sim_on $host history | grep -q "no programming runs" || fail "$host was programmed"
done

# 4. With the fault cleared, a rerun finishes pc2, pc3 and pc4.
sim_on pc2 clear-faults > /dev/null
play 0 -e fleet_batch_size=1
updated_and_normal pc1 pc2 pc3 pc4
[ "$(sim_on pc1 history | wc -l)" = 1 ] || fail "pc1 was programmed again"
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +updated"
summary_row pc3 "normal +updated"
echo "fleet-check: passed"
