#!/usr/bin/env bash
# Proves the fleet update on a lab of four PCs with virtual boards, each a
# host of its own reached over SSH (fleet/lab.sh), run as an operator runs
# it: from the folder zeda.fleet.setup made, with its ansible.cfg and the
# collection as built and installed. Settings it must refuse, and images without a good signature,
# stop it at pre-flight with nothing copied and a report saying so. A signed
# image updates every board; a rerun changes nothing; a programmer error on
# the second PC stops a run of batches of one there, with one failure in
# words and a page a person reads; a dry run or a pre-flight run after it
# leaves that run's retry list alone; batches set in the inventory and a
# failure tolerance after the canary batch are honoured. Two runs at once
# with different images leave every record naming what its board holds and
# two reports; the status run waits for nothing. SIGINT and SIGTERM complete
# the report; SIGHUP during a flash leaves a complete report, and a rerun of
# its retry list finishes the fleet. A lock held by another controller of the
# same host name is refused, and the run that left its PC out fails naming
# it. A board that stays off the bus after its reboot fails its PC with the
# rescan advice, and zeda_field_update_rescan_command brings it back. No
# record lies: a state folder that fills before the record fails the board at
# the record; an image replaced on the controller after the pre-flight
# changes nothing the boards get, and a run whose own copy of the image is
# gone says so before it switches a board. A PC whose link drops mid-run is
# reported unreachable and finished by the retry list's rerun. Every board is
# off the bus for 1.5 s after each mode switch.
# Usage: fleet/check.sh <build folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sim=$build/bin/riffa_sim
work=$build/fleet-check
reports=$work/zeda-fleet-reports
# The last run over inventory.yml that reached a board.
latest=$reports/latest-inventory.yml
log="$work/run.log"
# Output in the format the checks read, whatever the user's Ansible settings.
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1
# shellcheck source=fleet/lab.sh
. "$here/lab.sh"

fail() { echo "fleet-check: FAILED: $*" >&2; echo "--- last run ($log):" >&2; tail -n 40 "$log" >&2; exit 1; }
board_of() { [ "$1" = pc4 ] && echo 1 || echo 0; }
sim_on() { local host=$1; shift; RIFFA_SIM_DIR="$work/$host/boards" "$sim" -b "$(board_of "$host")" "$@"; }
sha_of() { sha256sum < "$1" | cut -d' ' -f1; }
# Runs the playbook $2 (field_update, status) in the operator's folder, its
# log in $log; the status must be $1.
run() {
  local want=$1 playbook=$2 rc=0
  shift 2
  echo "fleet-check: ansible-playbook $playbook.yml $*"
  (cd "$work" && exec ansible-playbook -i inventory.yml "$playbook.yml" "$@") > "$log" 2>&1 || rc=$?
  [ "$rc" = "$want" ] || fail "ansible-playbook ended with status $rc, expected $want"
}
play() { local want=$1; shift; run "$want" field_update -e zeda_field_update_image="$work/gateware.bin" "$@"; }
# The report of the run whose log is $log, or of the log $1.
report_of() { sed -n 's/^Report: //p' "${1:-$log}" | tail -n 1; }
# Holds when the Python expression $1 is true of the last run's report:
# r is the report, rows its boards by host.
report_says() {
  local path
  path=$(report_of) && [ -f "$path" ] || fail "no report of the run"
  python3 -c 'import json, sys
r = json.load(open(sys.argv[1])); rows = {b["host"]: b for b in r["boards"]}
sys.exit(0 if eval(" ".join(sys.argv[2].split())) else 1)' "$path" "$1" || fail "the report $path does not hold: $1"
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
# The page of the report $1 as a person sees it in Chromium: a screenshot,
# $2, and its text, whose headline counts must be the report's, with the
# failures before the batches.
page_seen() {
  local page=${1%.json}.html profile
  chrome() {
    profile=$(mktemp -d)
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
      --disable-component-update --disable-sync --user-data-dir="$profile" "$@" "file://$page" >> "$work/chromium.log" 2>&1
    rm -rf "$profile"
  }
  chrome --window-size=1280,1400 --screenshot="$2" || fail "chromium could not show $page"
  chrome --no-pdf-header-footer --print-to-pdf="$work/page.pdf" || fail "chromium could not print $page"
  pdftotext -layout "$work/page.pdf" "$work/page.txt"
  python3 - "$1" "$work/page.txt" "$here/plugins/plugin_utils" <<'PY' || fail "the page $page does not show what its report says"
import json, re, sys
sys.path.insert(0, sys.argv[3])
from zeda_fleet_page import counts
report, text = json.load(open(sys.argv[1])), open(sys.argv[2]).read()
headline = text[:min(text.find(h) for h in ('Failures', 'Batch 1', 'Boards', 'Run') if h in text)]
seen = {g: int(n) for n, g in re.findall(r'(\d+) +(failed|interrupted|skipped|updated|up to date|untouched|would update|ready|not reached)',
                                        headline)}
assert seen == dict(counts(report['boards'])), (seen, counts(report['boards']))
failed = [b for b in report['boards'] if b['result'].startswith('FAILED')]
for b in failed:
    at = text.index('%s board %s: %s' % (b['host'], b['board'], b['result']))
    assert at < text.index('Batch 1') and b['step'] in text and b['advice'][:40] in ' '.join(text.split()), b
PY
}

# The static checks first: they need no lab (make fleet-check runs the unit cases before).
shellcheck -x -S warning "$here"/roles/zeda_field_update/files/*.sh "$here"/*.sh > "$work.static.log" 2>&1 || { log=$work.static.log fail "shellcheck"; }
trap lab_down EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
lab_up "$build" "$work" 4 > "$work.lab.log" 2>&1 || { log=$work.lab.log fail "the lab did not come up"; }
# The installed collection alone, and the lab's own connections.
eval "$(lab_env)"
ansible-playbook --syntax-check -i "$work/inventory.yml" zeda.fleet.field_update > "$log" 2>&1 \
  || fail "syntax check"
# The collection's source, its role found installed.
(cd "$here" && ansible-lint --offline --nocolor --profile production) > "$log" 2>&1 \
  || fail "ansible-lint"
ansible-doc -t filter zeda.fleet.zeda_last_message zeda.fleet.zeda_run_ended > "$log" 2>&1 || fail "the filters' documentation"
ansible-doc -t module zeda.fleet.zeda_pc zeda.fleet.zeda_board zeda.fleet.zeda_snapshot > "$log" 2>&1 || fail "the modules' documentation"

# 0. Stopped at pre-flight with the reason, before anything is copied, and a
# report saying so: a setting of the wrong type (the role's argument checks),
# duplicate board ids, batches Ansible would ignore, a setting under its old
# name, a mistyped image, and images without a good signature; and a run
# without the summary plugin, which writes no report.
refused() {
  local want=$1
  shift
  play 2 --tags preflight --limit pc1 "$@"
  grep -qF "$want" "$log" || fail "no refusal saying: $want"
  [ ! -e "$work/pc1/state/image-$(sha_of "$work/gateware.bin").bin" ] || fail "the image was copied"
  [ "$(grep -c '^fatal:' "$log")" = 1 ] || fail "the refusal is not said once"
}
refused_in_report() {
  refused "$@"
  report_says "r['finished'] and r['stopped'] == 'The run stopped at pre-flight, before any board was touched.'
               and 'FAILED: pre-flight' in {b['result'] for b in r['boards']} <= {'FAILED: pre-flight', 'not reached'}"
}
refused_in_report "argument 'zeda_field_update_step_timeout' is of type <class 'str'> and we were unable to convert to int" \
  -e zeda_field_update_step_timeout=soon
refused_in_report "pc1: zeda_field_update_boards must be a list of distinct board ids such as [0, 1]; it is [0, '0']." \
  -e '{"zeda_field_update_boards": [0, "0"]}'
refused_in_report "zeda_field_update_batch_size must be a number of PCs (1 or more), a percentage of them (1% to 100%) or a list of those, canary first; 0 would be ignored." \
  -e zeda_field_update_batch_size=0
refused_in_report "pc1: fleet_boards are the settings' old names, which this run would ignore. Name them zeda_field_update_boards" \
  -e 'fleet_boards=[1]'
refused_in_report "On the controller: zeda_field_update_image must name a raw image of 1 to 8388608 bytes; '$work/gatewar.bin' is not a file." \
  -e zeda_field_update_image="$work/gatewar.bin"
ANSIBLE_CALLBACKS_ENABLED="" refused "the summary plugin zeda.fleet.zeda_fleet_summary is not enabled"
# The signature refusals: by a key not allowed, of another image, none, and
# made for another namespace; and none allowed where one is required.
ssh-keygen -q -t ed25519 -N '' -f "$work/stranger.key"
cp "$work/gateware.bin" "$work/unsigned.bin"
head -c 1000 /dev/urandom > "$work/other.bin"
for signed in stranger.key:gateware.bin:stranger zeda-gateware:other.bin:other file:gateware.bin:file; do
  IFS=: read -r what image name <<< "$signed"
  if [ "$what" = stranger.key ]; then key=$work/stranger.key; ns=zeda-gateware; else key=$work/release.key; ns=$what; fi
  cp "$work/$image" "$work/signed-$name.bin"
  ssh-keygen -q -Y sign -n "$ns" -f "$key" "$work/signed-$name.bin" 2> /dev/null
done
cp "$work/signed-other.bin.sig" "$work/signed-other.sig"
signature_refused() {
  refused_in_report "On the controller: the signature $1" -e zeda_field_update_allowed_signers="$work/allowed_signers" "${@:2}"
  grep -qF "Nothing was copied and no board was touched." "$log" || fail "no word that nothing was touched"
}
signature_refused "$work/signed-stranger.bin.sig was made by a key that $work/allowed_signers does not allow" \
  -e zeda_field_update_image="$work/signed-stranger.bin"
signature_refused "$work/signed-other.sig does not match $work/gateware.bin: it signs other bytes" \
  -e zeda_field_update_image_signature="$work/signed-other.sig"
signature_refused "$work/unsigned.bin.sig is missing" -e zeda_field_update_image="$work/unsigned.bin"
signature_refused "$work/signed-file.bin.sig was made for another use than gateware images" \
  -e zeda_field_update_image="$work/signed-file.bin"
refused_in_report "zeda_field_update_require_signature is true, but zeda_field_update_allowed_signers is not set" \
  -e zeda_field_update_require_signature=true

# A report that cannot be made (a file planted in the folder's place), and an
# inventory another run holds longer than the run may wait, stop the run
# before it touches a PC.
touch "$work/planted"
play 2 --limit pc1 -e zeda_field_update_report_dir="$work/planted"
grep -qF "On the controller: the report $work/planted/" "$log" || fail "no word that the report cannot be written"
mkdir -p "$reports"
exec {held}>> "$reports/inventory.yml.lock"
flock "$held"
play 2 --limit pc1 -e zeda_field_update_inventory_wait=1
exec {held}<&-
grep -q "was still running after 1 s (zeda_field_update_inventory_wait), so this run stopped before it touched a PC" "$log" \
  || fail "the wait for the inventory did not end"
[ -z "$(ls "$work/pc1/state")" ] || fail "a run that could not start touched pc1"
# A state folder without room for the image (a small file system in pc1's
# own mount view): refused at pre-flight, naming the room needed.
lab_exec pc1 mount -t tmpfs -o size=320k zeda-fleet-check /var/lib/zeda-fleet
play 2 --limit pc1
lab_exec pc1 umount /var/lib/zeda-fleet
grep -q "the state folder /var/lib/zeda-fleet has [0-9]* bytes free; the image needs 365539 bytes there" "$log" \
  || fail "no refusal of a state folder without room"

# 1. A signed image updates every board, also pc4's, found in bootloader
# mode; the report names the signer.
play 0 -e zeda_field_update_batch_size=4 -e zeda_field_update_allowed_signers="$work/allowed_signers"
updated_and_normal pc1 pc2 pc3 pc4
for host in pc1 pc2 pc3; do summary_row $host "normal +updated +[0-9.]+ +Board in normal operation mode[.]"; done
summary_row pc4 "bootloader +updated"
report_says "r['signer'] == 'release@zeda.example' and r['image_sha256'] == '$(sha_of "$work/gateware.bin")'
             and r['exit_status'] == 0 and {b['result'] for b in r['boards']} == {'updated'}"

# 2. A rerun touches no board and says so; the status finds every board up to date.
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done > "$work/history.before"
play 0 -e zeda_field_update_batch_size=4
for host in pc1 pc2 pc3 pc4; do sim_on $host history; done | cmp -s - "$work/history.before" \
  || fail "the rerun programmed a board"
[ "$(grep -Ec '^pc[1-4] +: ok=[0-9]+ +changed=0 ' "$log")" = 4 ] || fail "the rerun changed something"
grep -q "^Every board already runs the image: nothing was changed[.]$" "$log" || fail "the rerun did not say so"
run 0 status -e zeda_field_update_image="$work/gateware.bin"
report_says "r['kind'] == 'status' and all(b['result'] == 'up to date' and b['sha256_before'] == r['image_sha256']
             and b['record_time'] for b in r['boards']) and len(r['boards']) == 4"

# 3. Batches of one, programmer error on pc2: the run stops there, saying so
# once, in words; pc2's record is gone, and so is the report's SHA-256 of it.
lab_reset
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
[ "$(grep -c '^fatal:' "$log")" = 1 ] || fail "the failure is not said once"
summary_row pc2 "normal +FAILED: flash +[0-9.]+ +Programming hardware error[.] Code:    0x5"
summary_row pc3 "normal +untouched"
report_says "rows['pc2']['step'] == 'Flash' and rows['pc2']['sha256_after'] == 'unknown' and rows['pc2']['advice']
             and r['stopped'].startswith('The run stopped after batch 2') and r['exit_status'] == 2"
failed_run=$(report_of)
page_seen "$failed_run" "$work/page-one-failed-pc.png"
# A dry run and a pre-flight run write reports of their own, and leave the
# failed run's report, latest-inventory.yml.* and retry list as they were.
cp "$latest.retry" "$work/retry.before"
play 0 --check
report_says "r['kind'] == 'check' and rows['pc2']['result'] == 'would update'"
play 0 --tags preflight
report_says "r['kind'] == 'preflight' and {b['result'] for b in r['boards']} == {'ready'}"
[ "$(readlink "$latest.json")" = "$(basename "$failed_run")" ] || fail "latest-inventory.yml.json does not name the failed run"
cmp -s "$latest.retry" "$work/retry.before" || fail "the failed run's retry list changed"
grep -q '"result": "FAILED: flash"' "$failed_run" || fail "the failed run's report changed"

# 3b. Still faulty, in batches of two set in the inventory: a failure in a
# batch that also succeeds stops the run all the same; pc3 and pc4 are still
# untouched.
sed 's/^  vars:$/  vars:\n    zeda_field_update_batch_size: 2/' "$work/inventory.yml" > "$work/inventory-2.yml"
(cd "$work" && ansible-playbook -i inventory-2.yml field_update.yml -e zeda_field_update_image="$work/gateware.bin") > "$log" 2>&1 \
  && fail "the run in batches of two did not fail"
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +FAILED: flash"
for host in pc3 pc4; do
  sim_on $host history | grep -q "no programming runs" || fail "$host was programmed"
done
report_says "[b['hosts'] for b in r['batches']] == [['pc1', 'pc2']]"

# 3c. Still faulty, a canary batch of pc1 and then the other three, which may
# lose half: pc2 fails, pc3 and pc4 are updated, and the run fails.
play 2 -e '{"zeda_field_update_batch_size": [1, 3]}' -e zeda_field_update_max_fail_percent=50
summary_row pc2 "bootloader +FAILED: flash"
updated_and_normal pc3 pc4
report_says "not r['stopped'] and [len(b['hosts']) for b in r['batches']] == [1, 3]"

# 4. With the fault cleared, a rerun finishes pc2 and leaves the others alone.
sim_on pc2 clear-faults > /dev/null
play 0 -e zeda_field_update_batch_size=1
updated_and_normal pc1 pc2 pc3 pc4
[ "$(sim_on pc1 history | wc -l)" = 1 ] || fail "pc1 was programmed again"
summary_row pc1 "normal +up to date"
summary_row pc2 "bootloader +updated"
summary_row pc3 "normal +up to date"
[ ! -e "$latest.retry" ] || fail "a run that finished every PC left a retry list"

# 5. Two runs started together with different images, over two copies of the
# inventory so that only the PCs' own locks keep them apart: every record
# names the image its board holds, and each run has its report in the one folder.
head -c 200001 /dev/urandom > "$work/b.bin"
head -c 200002 /dev/urandom > "$work/c.bin"
cp "$work/inventory.yml" "$work/inventory-2.yml"
echo "fleet-check: two runs at once, images b.bin and c.bin"
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=b.bin \
  -e zeda_field_update_batch_size=4) > "$work/run-b.log" 2>&1 &
pid_b=$!
(cd "$work" && ansible-playbook -i inventory-2.yml field_update.yml -e zeda_field_update_image=c.bin \
  -e zeda_field_update_batch_size=4) > "$work/run-c.log" 2>&1 || true
wait $pid_b || true
for host in pc1 pc2 pc3 pc4; do
  case $(record_of $host) in
    "$(sha_of "$work/b.bin")") image=b.bin ;;
    "$(sha_of "$work/c.bin")") image=c.bin ;;
    *) log=$work/run-c.log fail "$host: the record names neither image" ;;
  esac
  sim_on $host verify "$work/$image" > /dev/null || log=$work/run-c.log fail "$host holds another image than its record, $image"
  sim_on $host list | grep -q ": normal operation mode" || fail "$host: not in normal operation mode"
  echo "$host $image $(runs_of $host)"
done > "$work/after-two-runs"
# The PCs' locks kept them apart: one run refused a PC that the other held.
grep -q "another fleet update ([^)]*) holds this PC" "$work/run-b.log" "$work/run-c.log" \
  || log=$work/run-c.log fail "neither run refused a PC that the other held"
for image in b c; do
  grep -q "\"image_name\": \"$image.bin\"" "$(report_of "$work/run-$image.log")" || fail "no report of the run with $image.bin"
done

# A third run with b.bin updates exactly the boards that do not hold it; a dry
# run started while it runs waits for it, then finds every board up to date;
# a status started while it runs waits for nothing.
echo "fleet-check: field_update.yml (b.bin) with --check and status.yml at once"
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=b.bin \
  -e zeda_field_update_batch_size=4) > "$work/run-b2.log" 2>&1 &
pid_b=$!
await 'grep -q "^PLAY \[Pre-flight\]" "$work/run-b2.log"' "the third run to start"
run 0 status
grep -q "this run waits" "$log" && fail "the status waited for the update"
report_says "r['kind'] == 'status' and len(r['boards']) == 4"
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
  # Only the image in use is kept on the PC.
  [ "$(ls "$work/$host/state/")" = "$(printf 'board%s.sha256\nfleet.lock\nimage-%s.bin' "$(board_of $host)" "$(sha_of "$work/b.bin")")" ] \
    || fail "$host keeps other files than the image in use and its record: $(cd "$work/$host/state" && echo *)"
done
[ "$(grep -Ec '^pc[1-4] +: ok=[0-9]+ +changed=0 ' "$log")" = 4 ] || fail "the dry run changed something"

# 6. A run ended by SIGINT or SIGTERM completes its report, with the status
# ansible-playbook ends with; one started under nohup goes on after SIGHUP.
# Then SIGHUP during pc1's flash (made slow), as when the controller's SSH
# session drops: the steps under way end on their own and say how, no
# further step starts, and the run ends with the status the signal gives.
for case in INT:99:ended TERM:143:ended HUP:0:nohup; do
  IFS=: read -r sig want how <<< "$case"
  echo "fleet-check: a dry run sent SIG$sig ($how)"
  # Every signal at its default, as in a terminal: not SIGINT ignored, as a
  # script's background commands have it, nor one this check was started
  # ignoring.
  ignore=()
  [ "$how" = nohup ] && ignore=(--ignore-signal=HUP)
  set -m
  (cd "$work" && exec env --default-signal "${ignore[@]}" ansible-playbook -i inventory.yml field_update.yml \
    -e zeda_field_update_image=gateware.bin --check) \
    > "$log" 2>&1 &
  pid=$!
  set +m
  await 'grep -q "^TASK \[zeda.fleet.zeda_field_update : Check the PC\]" "$log"' "the dry run's pre-flight"
  rc=0
  kill -"$sig" $pid
  wait $pid || rc=$?
  [ $rc = "$want" ] || fail "SIG$sig: ansible-playbook ended with status $rc"
  report_says "r['interrupted'] == ('$how' == 'ended') and r['finished'] and r['exit_status'] == $want"
done
sim_on pc1 fault busy-polls 20000 > /dev/null
runs_before=$(runs_of pc1)
echo "fleet-check: ansible-playbook field_update.yml, SIGHUP during pc1's flash"
# In a process group of its own, as in a terminal.
set -m
(cd "$work" && exec env --default-signal ansible-playbook -i inventory.yml field_update.yml \
  -e zeda_field_update_image=gateware.bin -e zeda_field_update_batch_size=4) > "$log" 2>&1 &
pid=$!
set +m
await 'sim_on pc1 show 2>/dev/null | grep -q "^programmer: programming"' "pc1's flash"
kill -HUP -- -$pid
rc=0
wait $pid || rc=$?
[ $rc = 129 ] || fail "SIGHUP: ansible-playbook ended with status $rc, expected 129"
summary_row pc1 "normal +updated +[0-9.]+ +Board in normal operation mode[.]"
grep -q "^The run was ended by SIGHUP[.]$" "$log" || fail "no word of the signal"
report_says "r['interrupted'] and r['signal'] == 'SIGHUP' and r['exit_status'] == 129 and sorted(rows) == ['pc1', 'pc2', 'pc3', 'pc4']
             and rows['pc1']['result'] == 'updated' and rows['pc1']['sha256_after'] == r['image_sha256']"
[ ! -e "$latest.retry" ] || fail "a run whose boards all ended their update left a retry list"
sim_on pc1 clear-faults > /dev/null
updated_and_normal pc1 pc2 pc3 pc4
[ "$(runs_of pc1)" = $((runs_before + 1)) ] || fail "pc1 was not programmed once"

# 7. pc1's lock held by a run of another controller with this one's host
# name and a process id that is not running here: refused, naming it, the
# PC left out and the run failed naming it, its holder still running.
mkdir -p "$work/stranger"
cat > "$work/stranger/hold.sh" <<'EOF'
printf '%s %s\n' "20990101T000000Z-0000aa $(hostname) 0123456789abcdef0123456789abcdef 00000000-0000-0000-0000-000000000000 4194305" $$ > "$1/fleet.owner"
exec sleep 300
EOF
setsid flock "$work/pc1/state/fleet.lock" sh "$work/stranger/hold.sh" "$work/pc1/state" < /dev/null > /dev/null 2>&1 &
stranger=$!
await '[ -s "$work/pc1/state/fleet.owner" ]' "the other controller's lock"
# pc3 is off the network (its link down) and left out as well.
lab_forget
lab_link pc3 down
rc=0
(cd "$work" && ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin --limit pc1,pc2,pc3 \
  -e zeda_field_update_skip_unreachable=true -e zeda_field_update_force=true) > "$log" 2>&1 || rc=$?
lab_link pc3 up
[ $rc = 2 ] || fail "a run that left PCs out ended with status $rc, expected 2"
grep -qF "another fleet update (20990101T000000Z-0000aa from $(hostname), process 4194305 there;" "$log" \
  || fail "the lock's owner was not named"
grep -q "^Left out of this run: pc1 (busy), pc3 (unreachable)[.]$" "$log" || fail "the summary does not name the PCs left out"
for host in pc1:busy pc3:unreachable; do
  grep -q "^fatal: \[${host%:*}\]: FAILED! => .*${host%:*} was left out of this run (${host#*:} at pre-flight)" "$log" \
    || fail "the run did not fail naming ${host%:*}"
done
kill -0 $stranger 2> /dev/null || fail "the other controller's lock holder was stopped"
summary_row pc2 "normal +updated"
kill "$(cut -d' ' -f6 "$work/pc1/state/fleet.owner")"

# 8. pc3's board stays off the bus after its reboot until the PCI bus is
# rescanned: reflashed (zeda_field_update_force), its PC fails with the
# rescan advice, and the report says so; with zeda_field_update_rescan_command
# the run brings it back.
sim_on pc3 fault stays-off-bus > /dev/null
play 2 --limit pc3 -e zeda_field_update_force=true -e zeda_field_update_reboot_timeout=3
grep -q "pc3 board 0: confirm bootloader mode failed[.] zeda_pcie_wait_board said 'Board 0 did not come back within 3 s[.] Rescan the PCI bus" "$log" \
  || fail "no rescan advice for pc3"
summary_row pc3 "normal +FAILED: confirm bootloader mode +[0-9.]+ +Board 0 did not come back"
report_says "rows['pc3']['message'].startswith('Board 0 did not come back within 3 s. Rescan the PCI bus')"
sim_on pc3 rescan > /dev/null
play 0 --limit pc3 -e zeda_field_update_reboot_timeout=3 \
  -e "zeda_field_update_rescan_command='$sim -b 0 rescan'"
report_says "rows['pc3']['step'] == 'Confirm normal operation mode after a rescan' and rows['pc3']['result'] == 'updated'"
updated_and_normal pc3
sim_on pc3 clear-faults > /dev/null


# 9. No record that lies: pc1's state folder fills during its (slowed)
# flash, before the record. The board fails at the record, in words, the run
# ends with status 2, no record names an image, and the board stays in
# bootloader mode, never switched back without its record.
lab_reset
lab_exec pc1 mount -t tmpfs -o size=400k zeda-fleet-check /var/lib/zeda-fleet
sim_on pc1 fault busy-polls 20000 > /dev/null
echo "fleet-check: pc1's state folder fills during its flash"
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin --limit pc1) > "$log" 2>&1 &
pid=$!
await 'sim_on pc1 show 2>/dev/null | grep -q "^programmer: programming"' "pc1's flash"
lab_exec pc1 sh -c 'cat /dev/zero > /var/lib/zeda-fleet/filler' 2> /dev/null || true
rc=0
wait $pid || rc=$?
[ $rc = 2 ] || fail "a board whose record could not be written ended the run with status $rc, expected 2"
summary_row pc1 "normal +FAILED: record +[0-9.]+ +the record /var/lib/zeda-fleet/board0.sha256 could not be written: "
grep -qF "pc1 board 0: record the image of the board failed: the record /var/lib/zeda-fleet/board0.sha256 could not be written" "$log" \
  || fail "no failure in words for the record"
report_says "rows['pc1']['result'] == 'FAILED: record' and rows['pc1']['sha256_after'] == 'unknown' and rows['pc1']['advice']
             and rows['pc1']['message'].endswith('No space left on device')
             and r['exit_status'] == 2"
lab_exec pc1 test ! -e /var/lib/zeda-fleet/board0.sha256 || fail "pc1 has a record"
lab_exec pc1 umount /var/lib/zeda-fleet
sim_on pc1 list | grep -q ": bootloader mode" || fail "pc1 was switched back without its record"
sim_on pc1 clear-faults > /dev/null

# 10. The image replaced on the controller after the pre-flight, and pc2's
# copy of it removed (as another run's clean-up does): pc2 gets the run's own
# copy of the verified bytes again, and every board holds them.
cp "$work/gateware.bin" "$work/verified.bin"
sim_on pc1 fault busy-polls 20000 > /dev/null
echo "fleet-check: gateware.bin replaced on the controller during the run"
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin \
  -e zeda_field_update_allowed_signers=allowed_signers -e zeda_field_update_batch_size=1 --limit pc1,pc2) > "$log" 2>&1 &
pid=$!
await 'sim_on pc1 show 2>/dev/null | grep -q "^programmer: programming"' "pc1's flash"
head -c 300003 /dev/urandom > "$work/gateware.bin.new"
mv "$work/gateware.bin.new" "$work/gateware.bin"
rm "$work/pc2/state/image-$(sha_of "$work/verified.bin").bin"
wait $pid || fail "the run with its image replaced failed"
sim_on pc1 clear-faults > /dev/null
for host in pc1 pc2; do
  sim_on $host verify "$work/verified.bin" > /dev/null || fail "$host does not hold the verified image"
  [ "$(record_of $host)" = "$(sha_of "$work/verified.bin")" ] || fail "$host's record names another image"
done
report_says "r['image_sha256'] == '$(sha_of "$work/verified.bin")' and {rows['pc1']['result'], rows['pc2']['result']} == {'updated'}"
ls "$reports"/*.image > /dev/null 2>&1 && fail "a run left its copy of the image behind"

# 11. The run's own copy of the image gone on the controller as well as
# pc2's: pc2 fails before its board is switched, naming the controller.
sim_on pc1 fault busy-polls 20000 > /dev/null
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=verified.bin \
  -e zeda_field_update_batch_size=1 -e zeda_field_update_force=true --limit pc1,pc2) > "$log" 2>&1 &
pid=$!
await 'sim_on pc1 show 2>/dev/null | grep -q "^programmer: programming"' "pc1's flash"
rm "$reports"/*.image "$work/pc2/state/image-$(sha_of "$work/verified.bin").bin"
runs_before=$(runs_of pc2)
rc=0
wait $pid || rc=$?
sim_on pc1 clear-faults > /dev/null
[ $rc = 2 ] || fail "a run without its copy of the image ended with status $rc, expected 2"
grep -qF "On the controller $(hostname): the run's snapshot of the image, $reports/" "$log" || fail "no word that the run's copy is gone"
sim_on pc2 list | grep -q ": normal operation mode" || fail "pc2 was switched"
[ "$(runs_of pc2)" = "$runs_before" ] || fail "pc2 was programmed"

# 12. pc2's link drops during its (slowed) flash: the run says pc2 became
# unreachable (status 4) and finishes the others; with the link back and the
# flasher it left ended, the retry list's rerun finishes pc2.
lab_reset
sim_on pc2 fault busy-polls 20000 > /dev/null
runs_before=$(runs_of pc2)
echo "fleet-check: pc2's link drops during its flash"
(cd "$work" && exec ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin \
  -e zeda_field_update_batch_size=4 -e "ansible_ssh_args='-o ControlMaster=auto -o ControlPersist=60s -o ServerAliveInterval=1 -o ServerAliveCountMax=3'") \
  > "$log" 2>&1 &
pid=$!
await 'sim_on pc2 show 2>/dev/null | grep -q "^programmer: programming"' "pc2's flash"
lab_link pc2 down
rc=0
wait $pid || rc=$?
lab_link pc2 up
[ $rc = 4 ] || fail "a run that lost a PC ended with status $rc, expected 4"
summary_row pc2 "normal +FAILED: unreachable"
updated_and_normal pc1 pc3 pc4
grep -qx pc2 "$latest.retry" || fail "pc2 is not in the retry list"
await '[ "$(runs_of pc2 2>/dev/null)" -gt "$runs_before" ]' "the flasher that the dropped link left"
sim_on pc2 clear-faults > /dev/null
play 0 --limit @"$latest.retry"
updated_and_normal pc1 pc2 pc3 pc4
echo "fleet-check: passed; the page of a run with one failed PC: $work/page-one-failed-pc.png"
