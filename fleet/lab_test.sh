#!/usr/bin/env bash
# Proves the lab (fleet/lab.sh) as Ansible and an operator see it: a user who
# cannot make namespaces is refused in one line; two PCs are hosts of their
# own (host name, machine id, /run/lock, state folder, no default route, a
# PID namespace whose first process is its sshd) reached over SSH with the
# lab's key only; a PC taken off the network cannot be reached and comes back;
# stopping the lab stops every session its sshd started, and leaves no
# process, namespace or bridge of its own behind, also on Ctrl-C.
# Usage: fleet/lab_test.sh <build folder>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$build/fleet-lab-test
fail() { echo "lab-test: FAILED: $*" >&2; exit 1; }

# Refused, in one line, without namespaces. The user runs a copy of the lab
# where it can reach it: the checkout may be a folder only its owner enters.
staged=$(mktemp -d)
trap 'rm -rf "$staged"' EXIT
cp "$here/lab.sh" "$staged/"
chmod -R a+rX "$staged"
said=$(setpriv --reuid=nobody --regid=nogroup --clear-groups "$staged/lab.sh" "$staged" "$staged/lab" 1 -- true 2>&1)
[ $? = 1 ] && [ "$(echo "$said" | wc -l)" = 1 ] && [[ $said == "fleet-lab: the lab needs root"* ]] \
  || fail "a user without namespaces was not refused in one line: $said"

# shellcheck source=fleet/lab.sh
. "$here/lab.sh"
trap 'lab_down; rm -rf "$staged"' EXIT
lab_up "$build" "$work" 2 > "$work.log" 2>&1 || { cat "$work.log" >&2; fail "the lab did not come up"; }
id=$lab_id
on() { local pc=$1; shift; ssh -o BatchMode=yes -o ConnectTimeout=3 -i "$work/lab.key" -o UserKnownHostsFile="$work/known_hosts" \
  -o StrictHostKeyChecking=yes "root@$(lab_addr "$pc")" "$@"; }
seen=$(on pc1 'hostname; cat /etc/machine-id; touch /run/lock/mine /var/lib/zeda-fleet/mine; ip route; ps -o comm= -p 1; \
  sleep 300 < /dev/null > /dev/null 2>&1 & echo $!' 2>&1) || fail "pc1 cannot be reached over SSH: $seen"
mapfile -t seen <<< "$seen"
[ "${seen[0]}" = pc1 ] || fail "pc1's host name is ${seen[0]}"
[ "${seen[1]}" = "$(cat "$work/pc1/machine-id")" ] && [ "${seen[1]}" != "$(cat /etc/machine-id)" ] || fail "pc1 shares a machine id"
[ -e "$work/pc1/state/mine" ] && [ ! -e /run/lock/mine ] && [ ! -e "$work/pc2/state/mine" ] || fail "pc1's folders are not its own"
[[ "${seen[*]}" != *default* ]] || fail "pc1 has a default route"
[ "${seen[3]}" = sshd ] || fail "pc1's first process is ${seen[3]}, not its sshd"
[ "$(on pc2 hostname)" = pc2 ] || fail "pc2 cannot be reached"
ssh -o BatchMode=yes -o ConnectTimeout=3 -o UserKnownHostsFile="$work/known_hosts" -o IdentitiesOnly=yes -o PubkeyAuthentication=no \
  "root@$(lab_addr pc1)" true 2> /dev/null && fail "pc1 let someone in without the lab's key"
lab_link pc1 down
on pc1 true 2> /dev/null && fail "pc1 answered off the network"
lab_link pc1 up
on pc1 true || fail "pc1 did not come back on the network"
sleeper=$(pgrep -f "^sleep 300$" | while read -r pid; do [ "$(readlink "/proc/$pid/ns/pid")" = "$(readlink "/proc/$(lab_pid pc1)/ns/pid")" ] && echo "$pid"; done)
[ -n "$sleeper" ] || fail "pc1's session left nothing to stop"
lab_down
kill -0 "$sleeper" 2> /dev/null && fail "the session pc1's sshd started outlived the lab"
ip netns list | grep -q "zl$id-" && fail "the lab left namespaces"
ip link show "zl$id" > /dev/null 2>&1 && fail "the lab left its bridge"

# Ctrl-C tears a lab down that runs a command.
setsid env --default-signal "$here/lab.sh" "$build" "$work" 1 -- sleep 300 > "$work.log" 2>&1 &
lab=$!
n=0
until grep -q "PCs up" "$work.log"; do n=$((n + 1)); [ $n -lt 600 ] || fail "the lab for Ctrl-C did not come up"; sleep 0.1; done
id=$(cat "$work/lab.id")
kill -INT -- -$lab
wait $lab
[ $? = 130 ] || fail "Ctrl-C did not end the lab with status 130"
ip netns list | grep -q "zl$id-" && fail "Ctrl-C left namespaces"
pgrep -f "$work/pc1/sshd_config" > /dev/null && fail "Ctrl-C left an sshd running"
echo "lab-test: passed"
