#!/usr/bin/env bash
# Measures a signed rollout over a lab of <PCs> rehearsal PCs (fleet/lab.sh,
# default 24), run as an operator runs it with the README's recommended
# settings: batches [1, 10, 100], a tolerance of 10 %. The controller's CPU
# time is that of ansible-playbook's whole process tree, SSH connections
# included (a cgroup of its own), split where the update play starts; the
# PCs' CPU time is their own cgroup's. Every board is then verified with
# riffa_sim verify. From the figures, the time of 200 PCs with 2 boards each
# is modelled, the controller's work spread over its cores except that of
# ansible-playbook's own process, which runs on one:
#   pre-flight: 200 x max(its own CPU-s per PC, CPU-s per PC / cores)
#   each batch: boards per PC x (hardware time per board)
#               + PCs of the batch x boards per PC x max(its own CPU-s per board, CPU-s per board / cores)
# with FLEET_BENCH_BOARD_S (180) seconds of hardware a board, as on real
# boards (a flash and two reboots), and FLEET_BENCH_CORES (4) controller
# cores. Prints one line last and writes <build folder>/fleet-bench.json.
# Usage: fleet/bench.sh <build folder> [<PCs>]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
pcs=${2:-24}
board_s=${FLEET_BENCH_BOARD_S:-180}
cores=${FLEET_BENCH_CORES:-4}
batches='[1, 10, 100]'
work=$build/fleet-bench
# shellcheck source=fleet/lab.sh
. "$here/lab.sh"

say() { echo "fleet-bench: $*"; }
# A cgroup of the lab's own in the v2 hierarchy, or v1's cpuacct one.
cg_root=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/mounts)
if [ -n "$cg_root" ] && [ -w "$cg_root" ]; then
  usage_of() { awk '$1 == "usage_usec" { printf "%.3f\n", $2 / 1e6 }' "$1/cpu.stat"; }
else
  cg_root=$(awk '$3 == "cgroup" && $4 ~ /(^|,)cpuacct(,|$)/ { print $2; exit }' /proc/mounts)
  [ -n "$cg_root" ] && [ -w "$cg_root" ] || { say "no cgroup to measure CPU time in (cgroup2, or cgroup v1's cpuacct, writable)" >&2; exit 1; }
  usage_of() { awk '{ printf "%.3f\n", $1 / 1e9 }' "$1/cpuacct.usage"; }
fi
cg=$cg_root/zeda-fleet-bench-$$
mkdir "$cg" "$cg/controller" "$cg/pcs"
cleanup() {
  lab_down
  echo $$ > "$cg_root/cgroup.procs" 2> /dev/null || true
  rmdir "$cg/controller" "$cg/pcs" "$cg" 2> /dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The PCs' processes are born in their cgroup.
echo $$ > "$cg/pcs/cgroup.procs"
lab_up "$build" "$work" "$pcs" > "$build/fleet-bench.lab.log" 2>&1 || { cat "$build/fleet-bench.lab.log" >&2; exit 1; }
echo $$ > "$cg_root/cgroup.procs"
eval "$(lab_env)"
boards=0
for i in $(seq 1 "$pcs"); do boards=$((boards + $(lab_boards_of "pc$i" | wc -w))); done
say "$pcs PCs, $boards boards: ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin" \
  "-e zeda_field_update_allowed_signers=allowed_signers -e '{\"zeda_field_update_batch_size\": $batches}'" \
  "-e zeda_field_update_max_fail_percent=10"

log=$work/bench.log
pcs_before=$(usage_of "$cg/pcs")
start=$(date +%s.%N)
(cd "$work" && echo "$BASHPID" > "$cg/controller/cgroup.procs" && exec ansible-playbook -i inventory.yml field_update.yml \
  -e zeda_field_update_image=gateware.bin -e zeda_field_update_allowed_signers=allowed_signers \
  -e "{\"zeda_field_update_batch_size\": $batches}" -e zeda_field_update_max_fail_percent=10) > "$log" 2>&1 &
run=$!
# The controller's CPU time when the update play starts: the pre-flight's;
# and ansible-playbook's own (its utime and stime, not its workers').
tick=$(getconf CLK_TCK)
own_cpu() { awk -v t="$tick" '{ printf "%.2f\n", ($14 + $15) / t }' "/proc/$run/stat" 2> /dev/null; }
preflight_cpu='' preflight_own='' own=0
while kill -0 $run 2> /dev/null; do
  own=$(own_cpu || echo "$own")
  if [ -z "$preflight_cpu" ] && grep -q '^PLAY \[Update the boards\]' "$log"; then
    preflight_cpu=$(usage_of "$cg/controller")
    preflight_own=$own
  fi
  sleep 0.05
done
rc=0
wait $run || rc=$?
end=$(date +%s.%N)
total_cpu=$(usage_of "$cg/controller")
pcs_cpu=$(awk -v a="$pcs_before" -v b="$(usage_of "$cg/pcs")" 'BEGIN { printf "%.1f", b - a }')
[ $rc = 0 ] || { tail -n 40 "$log" >&2; say "the rollout ended with status $rc" >&2; exit 1; }
[ -n "$preflight_cpu" ] || { say "the update play never started" >&2; exit 1; }

verified=0
for i in $(seq 1 "$pcs"); do
  for board in $(lab_boards_of "pc$i"); do
    RIFFA_SIM_DIR=$work/pc$i/boards "$build/bin/riffa_sim" -b "$board" verify "$work/gateware.bin" > /dev/null \
      && verified=$((verified + 1))
  done
done
# Every PC served the run through its own sshd: its records are in its own
# state folder, which only its mount view shows at /var/lib/zeda-fleet.
transport=ssh
for i in $(seq 1 "$pcs"); do
  [ -s "$work/pc$i/state/board$(lab_boards_of "pc$i" | cut -d' ' -f1).sha256" ] || transport=unknown
done

python3 - "$build/fleet-bench.json" "$pcs" "$boards" "$verified" "$transport" "$start" "$end" "$preflight_cpu" \
  "$total_cpu" "$pcs_cpu" "$board_s" "$cores" "$preflight_own" "$own" "$batches" <<'PY'
import json, sys
out, pcs, boards, verified, transport = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
start, end, pre, total, pc_side, board_s, cores, pre_own, own = map(float, sys.argv[6:15])
batches = json.loads(sys.argv[15])
per_pc, per_board = pre / pcs, (total - pre) / boards
own_pc, own_board = pre_own / pcs, (own - pre_own) / boards
# 200 PCs with 2 boards each, in the batches given, the last one repeated.
left, sizes = 200, []
while left > 0:
    sizes.append(min(left, batches[min(len(sizes), len(batches) - 1)]))
    left -= sizes[-1]
model = (200 * max(own_pc, per_pc / cores)
         + sum(2 * board_s + n * 2 * max(own_board, per_board / cores) for n in sizes)) / 60
figures = {'pcs': pcs, 'boards': boards, 'boards_verified': verified, 'transport': transport,
           'wall_s': round(end - start, 1), 'preflight_cpu_s_per_pc': round(per_pc, 2),
           'update_cpu_s_per_board': round(per_board, 2), 'pc_side_cpu_s': round(pc_side, 1),
           'preflight_own_cpu_s_per_pc': round(own_pc, 2), 'update_own_cpu_s_per_board': round(own_board, 2),
           'model_minutes_200x2': round(model, 1), 'model_board_s': board_s, 'model_cores': cores,
           'model_batches': sizes}
with open(out, 'w') as f:
    json.dump(figures, f, indent=2)
    f.write('\n')
print('fleet-bench: %(pcs)d PCs, %(boards)d boards (%(boards_verified)d verified), %(transport)s, %(wall_s).1f s wall; '
      'controller %(preflight_cpu_s_per_pc).2f CPU-s per PC for the pre-flight, %(update_cpu_s_per_board).2f CPU-s '
      'per board for the update; PCs %(pc_side_cpu_s).1f CPU-s; model 200 PCs x 2 boards: %(model_minutes_200x2).1f min'
      % figures + ' (%g s a board, %g cores, batches %s)' % (board_s, cores, sizes))
PY
[ "$verified" = "$boards" ] || { say "only $verified of $boards boards hold the image" >&2; exit 1; }
