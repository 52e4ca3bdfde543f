#!/usr/bin/env bash
# Proves the fleet update on four local "PCs" with virtual boards
# (fleet/local_fleet.sh): a first run updates every board, a rerun changes
# nothing, a programmer error on the second PC stops a run of batches of one
# there, and of batches of two, and a rerun after the fault is cleared
# finishes the rest. Then two runs at once with different images leave every
# record naming what its board holds; a dry run changes nothing; Ctrl-C
# during a flash leaves a complete report, and a rerun of its retry list
# finishes the fleet. A board that stays off the bus after its reboot fails
# its PC with the rescan advice, and zeda_field_update_rescan_command brings
# it back. Every board is off the bus for 1.5 s after each mode switch. Every
# run uses the collection zeda.fleet as built and installed by local_fleet.sh,
# with its ansible.cfg; ansible-lint's production profile checks its source,
# and settings it must refuse stop it at pre-flight.
# Usage: fleet/check.sh <build folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
sim=$(cd "$build/bin" && pwd)/riffa_sim
work=$(cd "$build" && pwd)/fleet-check
log="$work/run.log"
# Output in the format the checks read, whatever the user's Ansible settings.
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1
# The installed collection alone, with its settings; the log is kept with the
# check's files.
export ANSIBLE_COLLECTIONS_PATH="$work/collections"
export ANSIBLE_CONFIG="$work/collections/ansible_collections/zeda/fleet/ansible.cfg" ANSIBLE_LOG_PATH="$work/ansible.log"

fail() { echo "fleet-check: FAILED: $*" >&2; echo "--- last run ($log):" >&2; tail -n 40 "$log" >&2; exit 1; }
board_of() { [ "$1" = pc4 ] && echo 1 || echo 0; }
sim_on() { local host=$1; shift; RIFFA_SIM_DIR="$work/$host/boards" "$sim" -b "$(board_of "$host")" "$@"; }
# Runs the playbook; the status must be $1.
play() {
  local want=$1 rc=0
  shift
  echo "fleet-check: ansible-playbook zeda.fleet.field_update $*"
  ansible-playbook -i "$work/inventory.yml" zeda.fleet.field_update -e zeda_field_update_image="$work/gateware.bin" \
    -e zeda_field_update_report="$work/report.json" "$@" \
    > "$log" 2>&1 || rc=$?
  [ "$rc" = "$want" ] || fail "ansible-playbook ended with status $rc, expected $want"
}
# The image a host's board holds, by its record: $1 host; prints the SHA-256.
record_of() { cat "$work/$1/state/board$(board_of "$1").sha256"; }
runs_of() { sim_on "$1" history | grep -vc "no programming runs" || true; }
# Waits up to three minutes for the command $1 to succeed; $2 says for what.
await() {
  local n=0
  until eval "$1"; do
    n=$((n + 1)); [ $n -lt 900 ] || fail "waited in vain for $2"; sleep 0.2
  done
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
ansible-playbook --syntax-check -i "$work/inventory.yml" zeda.fleet.field_update > "$log" 2>&1 \
  || fail "syntax check"
# The collection's source, its role found installed.
(cd "$here" && ansible-lint --offline --nocolor --profile production) > "$log" 2>&1 \
  || fail "ansible-lint"
python3 -B "$here/plugins_test.py" > "$log" 2>&1 || fail "the filter plugin's cases"

# 0. Stopped at pre-flight with the reason, before anything is copied: a
# setting of the wrong type (the role's argument checks), duplicate board ids (by
# hand), a setting under its old name, and a run without the summary plugin.
refused() {
  local want=$1
  shift
  play 2 --tags preflight --limit pc1 "$@"
  grep -qF "$want" "$log" || fail "no refusal saying: $want"
  [ ! -e "$work/pc1/state/image-$(sha256sum < "$work/gateware.bin" | cut -d' ' -f1).bin" ] || fail "the image was copied"
}
refused "argument 'zeda_field_update_step_timeout' is of type <class 'str'> and we were unable to convert to int" \
  -e zeda_field_update_step_timeout=soon
refused "pc1: zeda_field_update_boards must be a list of distinct board ids such as [0, 1]; it is [0, '0']." \
  -e '{"zeda_field_update_boards": [0, "0"]}'
refused "pc1: fleet_boards are the settings' old names, which this run would ignore. Name them zeda_field_update_boards" \
  -e 'fleet_boards=[1]'
ANSIBLE_CALLBACKS_ENABLED="" refused "the summary plugin zeda.fleet.zeda_fleet_summary is not enabled"

# 1. Every board is updated, also pc4's, found in bootloader mode.
play 0 -e zeda_field_update_batch_size=4
updated_and_normal pc1 pc2 pc3 pc4
for host in pc1 pc2 pc3; do summary_row $host "normal +updated +Board in normal operation mode[.]"; done
summary_row pc4 "bootloader +updated"

# 2. A rerun touches no board and says so.
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done > "$work/history.before"
play 0 -e zeda_field_update_batch_size=4
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done | cmp -s - "$work/history.before" \
  || fail "the rerun programmed a board"
[ "$(grep -Ec '^pc[1-4] +: ok=[0-9]+ +changed=0 ' "$log")" = 4 ] || fail "the rerun changed something"
grep -q "^Every board already runs the image: nothing was changed[.]$" "$log" || fail "the rerun did not say so"

# 3. Batches of one, programmer error on pc2: the run stops there.
"$here/local_fleet.sh" "$build" "$work"
sim_on pc2 fault programmer-error 5 > /dev/null
play 2 -e zeda_field_update_batch_size=1
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
play 2 -e zeda_field_update_batch_size=2
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +FAILED: flash"
for host in pc3 pc4; do
  sim_on $host history | grep -q "no programming runs" || fail "$host was programmed"
done

# 4. With the fault cleared, a rerun finishes pc2, pc3 and pc4.
sim_on pc2 clear-faults > /dev/null
play 0 -e zeda_field_update_batch_size=1
updated_and_normal pc1 pc2 pc3 pc4
[ "$(sim_on pc1 history | wc -l)" = 1 ] || fail "pc1 was programmed again"
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +updated"
summary_row pc3 "normal +updated"

# 5. Two runs started together with different images, over two copies of the
# inventory so that only the PCs' own locks keep them apart: every record
# names the image its board holds.
head -c 200001 /dev/urandom > "$work/b.bin"
head -c 200002 /dev/urandom > "$work/c.bin"
cp "$work/inventory.yml" "$work/inventory-2.yml"
echo "fleet-check: two runs at once, images b.bin and c.bin"
ansible-playbook -i "$work/inventory.yml" zeda.fleet.field_update -e zeda_field_update_image="$work/b.bin" \
  -e zeda_field_update_batch_size=4 -e zeda_field_update_report="$work/report-b.json" > "$work/run-b.log" 2>&1 &
pid_b=$!
ansible-playbook -i "$work/inventory-2.yml" zeda.fleet.field_update -e zeda_field_update_image="$work/c.bin" \
  -e zeda_field_update_batch_size=4 -e zeda_field_update_report="$work/report-c.json" > "$work/run-c.log" 2>&1 || true
wait $pid_b || true
for host in pc1 pc2 pc3 pc4; do
  case $(record_of $host) in
    "$(sha256sum < "$work/b.bin" | cut -d' ' -f1)") image=b.bin ;;
    "$(sha256sum < "$work/c.bin" | cut -d' ' -f1)") image=c.bin ;;
    *) log=$work/run-c.log fail "$host: the record names neither image" ;;
  esac
  sim_on $host verify "$work/$image" > /dev/null || log=$work/run-c.log fail "$host holds another image than its record, $image"
  sim_on $host list | grep -q ": normal operation mode" || fail "$host: not in normal operation mode"
  echo "$host $image $(runs_of $host)"
done > "$work/after-two-runs"
# The PCs' locks kept them apart: one run refused a PC that the other held.
grep -q "another fleet update ([^)]*) holds this PC" "$work/run-b.log" "$work/run-c.log" \
  || log=$work/run-c.log fail "neither run refused a PC that the other held"

# A third run with b.bin updates exactly the boards that do not hold it; a dry
# run started while it runs waits for it, then finds every board up to date.
echo "fleet-check: ansible-playbook zeda.fleet.field_update (b.bin) and --check at once"
ansible-playbook -i "$work/inventory.yml" zeda.fleet.field_update -e zeda_field_update_image="$work/b.bin" \
  -e zeda_field_update_batch_size=4 -e zeda_field_update_report="$work/report-b.json" > "$work/run-b2.log" 2>&1 &
pid_b=$!
await 'grep -q "^PLAY \[Pre-flight\]" "$work/run-b2.log"' "the third run to start"
play 0 --check -e zeda_field_update_image="$work/b.bin" -e zeda_field_update_batch_size=4
wait $pid_b || log=$work/run-b2.log fail "the third run failed"
grep -q "^Another fleet update over $work/inventory.yml is running (process $pid_b): this run waits until it ends[.]$" "$log" \
  || fail "the dry run did not wait for the run before it"
while read -r host image runs; do
  want=$runs
  [ $image = b.bin ] || want=$((runs + 1))
  [ "$(runs_of $host)" = $want ] || log=$work/run-b2.log fail "$host (held $image) was programmed $(( $(runs_of $host) - runs )) times"
done < "$work/after-two-runs"
for host in pc1 pc2 pc3 pc4; do
  summary_row $host "normal +up to date"
  grep -q "\"result\": \"up to date\"" "$work/report.json" || fail "no report of the dry run"
done
[ "$(grep -Ec '^pc[1-4] +: ok=[0-9]+ +changed=0 ' "$log")" = 4 ] || fail "the dry run changed something"

# 6. Ctrl-C during pc1's flash (made slow): ansible-playbook ends with 99, the
# summary and a complete report name pc1 interrupted at the flash, and the
# retry list's rerun finishes it once the flasher it left has ended.
sim_on pc1 fault busy-polls 20000 > /dev/null
runs_before=$(runs_of pc1)
echo "fleet-check: ansible-playbook zeda.fleet.field_update, Ctrl-C during pc1's flash"
# In a process group of its own, as in a terminal; set -m also keeps SIGINT,
# which a script's background commands otherwise ignore.
set -m
ansible-playbook -i "$work/inventory.yml" zeda.fleet.field_update -e zeda_field_update_image="$work/gateware.bin" \
  -e zeda_field_update_batch_size=4 -e zeda_field_update_report="$work/report.json" > "$log" 2>&1 &
pid=$!
set +m
await 'sim_on pc1 show 2>/dev/null | grep -q "^programmer: programming"' "pc1's flash"
kill -INT -- -$pid
rc=0
wait $pid || rc=$?
[ $rc = 99 ] || fail "Ctrl-C: ansible-playbook ended with status $rc, expected 99"
summary_row pc1 "normal +interrupted"
grep -q '^pc1 board 0 was interrupted at "Flash": in bootloader mode' "$log" || fail "no word on pc1's state"
python3 - "$work/report.json" <<'PY' || fail "the report after Ctrl-C is not complete"
import json, sys
report = json.load(open(sys.argv[1]))
rows = {r['host']: r for r in report['boards']}
assert report['interrupted'] and sorted(rows) == ['pc1', 'pc2', 'pc3', 'pc4'], report
assert rows['pc1']['result'] == 'interrupted' and rows['pc1']['step'] == 'Flash', rows['pc1']
PY
grep -qx pc1 "$work/report.json.retry" || fail "pc1 is not in the retry list"
await '[ "$(runs_of pc1 2>/dev/null)" -gt "$runs_before" ]' "the flasher that Ctrl-C left"
sim_on pc1 clear-faults > /dev/null
play 0 --limit @"$work/report.json.retry"
updated_and_normal pc1 pc2 pc3 pc4

# 7. pc3's board stays off the bus after its reboot until the PCI bus is
# rescanned: reflashed (zeda_field_update_force), its PC fails with the
# rescan advice, and the report says so; with zeda_field_update_rescan_command
# the run brings it back.
sim_on pc3 fault stays-off-bus > /dev/null
play 2 --limit pc3 -e zeda_field_update_force=true -e zeda_field_update_reboot_timeout=3
grep -q "pc3 board 0: confirm bootloader mode failed[.] zeda_pcie_wait_board said 'Board 0 did not come back within 3 s[.] Rescan the PCI bus" "$log" \
  || fail "no rescan advice for pc3"
summary_row pc3 "normal +FAILED: confirm bootloader mode +Board 0 did not come back"
grep -q '"message": "Board 0 did not come back within 3 s. Rescan the PCI bus' "$work/report.json" || fail "the report does not say pc3's board did not come back"
sim_on pc3 rescan > /dev/null
play 0 --limit pc3 -e zeda_field_update_reboot_timeout=3 \
  -e "zeda_field_update_rescan_command='$sim -b 0 rescan'"
grep -q "^TASK \[zeda.fleet.zeda_field_update : Rescan for the board in normal operation mode\]" "$log" || fail "pc3 was not rescanned"
updated_and_normal pc3
echo "fleet-check: passed"
