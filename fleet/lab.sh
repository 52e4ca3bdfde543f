#!/usr/bin/env bash
# A lab of rehearsal PCs for the fleet update, each a host of its own as far
# as Ansible can tell: its own network namespace on a bridge with an address
# from the benchmarking range 198.18.0.0/15, no default route and nothing
# forwarded off the bridge; its own sshd (key-only, the lab's key); its own
# mount view of /run/lock, /etc/machine-id, /root, the state folder
# (/var/lib/zeda-fleet) and the virtual-board folder (/var/lib/zeda-lab-boards,
# RIFFA_SIM_DIR), and its own host name; and every process it runs in a PID
# namespace of its own, so that stopping a PC stops every session its sshd
# started. Board 0 of every PC is in normal operation mode, except pc4's
# board 1, found in bootloader mode as after a run that stopped; every fifth
# PC (pc5, pc10, ...) has boards 0 and 1. Each board is off the bus for
# $FLEET_REBOOT_MS (default 1500) ms after a mode switch.
#
# <dir> becomes an operator's folder (fleet/operator_folder.sh) with the
# lab's inventory.yml; runs start there with ANSIBLE_COLLECTIONS_PATH and
# ANSIBLE_SSH_CONTROL_PATH_DIR as lab_env prints them. The lab tears itself
# down on exit, Ctrl-C, SIGTERM and SIGHUP, leaving nothing running.
#
# Usage: fleet/lab.sh <build folder> <dir> [<PCs>] [-- <command>...]
#   With a command, runs it in <dir> against the lab, then tears the lab down
#   and ends with its status; without, keeps the lab up until interrupted.
# Sourced, it defines lab_up, lab_down, lab_env, lab_link, lab_exec,
# lab_reset, lab_forget, lab_pid and lab_addr for scripts that drive a lab
# of their own.
lab_bin='' lab_dir='' lab_id='' lab_net='' lab_count=0 lab_sleeper=''

lab_refuse() { echo "fleet-lab: $*" >&2; return 1; }

# The PCs' mount points on this machine's file system: empty folders, left
# in place, as another lab may be using them.
LAB_STATE=/var/lib/zeda-fleet
LAB_BOARDS=/var/lib/zeda-lab-boards

lab_addr() { echo "$lab_net.$(( ${1#pc} + 1 ))"; }
lab_pid() { cat "$lab_dir/$1/pid1" 2>/dev/null; }
lab_boards_of() {
  local n=${1#pc}
  if [ "$n" = 4 ]; then echo 1; elif [ $((n % 5)) = 0 ]; then echo "0 1"; else echo 0; fi
}

# Runs a command inside a PC: its network, mount, host-name and PID view.
lab_exec() {
  local pc=$1
  shift
  nsenter --target "$(lab_pid "$pc")" --net --mount --uts --pid -- "$@"
}

# Takes a PC off the network (down) or puts it back (up): its cable, as
# the controller sees it.
lab_link() { ip link set "zl${lab_id}p${1#pc}" "$2"; }

lab_env() {
  echo "export ANSIBLE_COLLECTIONS_PATH=$lab_dir/collections ANSIBLE_SSH_CONTROL_PATH_DIR=$lab_dir/cp"
}

# Whether this machine lets the lab make namespaces, bridges and mounts.
lab_can() {
  local probe=zl-probe-$$
  [ "$(id -u)" = 0 ] || { lab_refuse "the lab needs root to make network, mount and PID namespaces (this is $(id -un)): run it as root, e.g. sudo make fleet-lab"; return 1; }
  local tool
  for tool in ip unshare nsenter /usr/sbin/sshd ssh ssh-keygen; do
    command -v "$tool" > /dev/null || { lab_refuse "$tool is missing (scripts/install-deps fleet installs it)"; return 1; }
  done
  ip netns add "$probe" 2> "/tmp/$probe.err" || { lab_refuse "no network namespace can be made here: $(cat "/tmp/$probe.err")"; rm -f "/tmp/$probe.err"; return 1; }
  ip netns del "$probe"
  rm -f "/tmp/$probe.err"
  unshare --pid --fork --mount --uts --mount-proc true 2> /dev/null \
    || { lab_refuse "no PID, mount or UTS namespace can be made here (unshare --pid --fork --mount --uts failed)"; return 1; }
}

# lab_up <build folder> <dir> <PCs>
lab_up() {
  lab_can || return 1
  lab_bin=$(cd "$1/bin" && pwd) || return 1
  lab_dir=$2 lab_count=${3:-24}
  if ! [[ "$lab_count" =~ ^[0-9]+$ ]] || [ "$lab_count" -lt 1 ] || [ "$lab_count" -gt 250 ]; then
    lab_refuse "a lab has 1 to 250 PCs, not $lab_count"
    return 1
  fi
  rm -rf "$lab_dir"
  mkdir -p "$lab_dir"
  lab_dir=$(cd "$lab_dir" && pwd)
  lab_id=$(printf '%04x' $(( $$ % 65536 )))
  # A /24 of 198.18.0.0/15 no address of this machine is in.
  local k=0
  while ip -4 -o addr show | grep -q " 198\.18\.$k\."; do
    k=$((k + 1))
    [ $k -lt 256 ] || { lab_refuse "every 198.18.<n>.0/24 is in use here"; return 1; }
  done
  lab_net=198.18.$k
  echo "$lab_id" > "$lab_dir/lab.id"
  "$(dirname "${BASH_SOURCE[0]}")/operator_folder.sh" "$lab_dir" || return 1
  mkdir -p "$lab_dir/cp"
  ssh-keygen -q -t ed25519 -N '' -C zeda-lab -f "$lab_dir/lab.key"
  cp "$lab_dir/lab.key.pub" "$lab_dir/authorized_keys"
  mkdir -p "$LAB_STATE" "$LAB_BOARDS" || return 1
  [ -d /run/sshd ] || mkdir -p /run/sshd

  local br=zl$lab_id
  ip link add "$br" type bridge || return 1
  ip addr add "$lab_net.1/24" dev "$br"
  # Nothing that reaches the bridge is routed on from here.
  sysctl -qw "net.ipv4.conf.$br.forwarding=0"
  ip link set "$br" up
  local i
  : > "$lab_dir/known_hosts"
  for i in $(seq 1 "$lab_count"); do
    lab_pc_up "pc$i" || return 1
  done
  lab_inventory > "$lab_dir/inventory.yml"
  for i in $(seq 1 "$lab_count"); do
    lab_await_ssh "pc$i" || return 1
  done
  echo "fleet-lab: $lab_count PCs up on $br, $lab_net.2 to $(lab_addr "pc$lab_count"); inventory $lab_dir/inventory.yml"
}

# Fresh boards and an empty state folder for a PC, as when the lab came up.
lab_boards_new() {
  # Callers' errexit does not cut these short.
  local -
  set +e
  local pc=$1 dir=$lab_dir/$1 board mode=normal
  [ "$pc" = pc4 ] && mode=bootloader
  find "$dir/state" "$dir/boards" -mindepth 1 -delete
  for board in $(lab_boards_of "$pc"); do
    RIFFA_SIM_DIR=$dir/boards "$lab_bin/riffa_sim" -b "$board" add "$mode" > /dev/null
    RIFFA_SIM_DIR=$dir/boards "$lab_bin/riffa_sim" -b "$board" reboot-time "${FLEET_REBOOT_MS:-1500}" > /dev/null
  done
}

# Every PC as when the lab came up, its sessions and connections ended.
lab_reset() {
  # Callers' errexit does not cut these short.
  local -
  set +e
  local i holder
  lab_forget
  for i in $(seq 1 "$lab_count"); do
    # A run's lock holder, by the process id it wrote, as the PC sees it.
    holder=$(cut -d' ' -f6 "$lab_dir/pc$i/state/fleet.owner" 2> /dev/null || true)
    if [ -n "$holder" ]; then
      lab_exec "pc$i" kill "$holder" 2> /dev/null || true
    fi
    lab_boards_new "pc$i"
  done
}

# Ends the controller's kept connections (ControlPersist) to the PCs.
lab_forget() {
  # Callers' errexit does not cut these short.
  local -
  set +e
  local sock
  for sock in "$lab_dir"/cp/*; do
    [ -S "$sock" ] && ssh -o ControlPath="$sock" -O exit lab > /dev/null 2>&1
  done
  return 0
}

lab_pc_up() {
  local pc=$1 n=${1#pc} dir=$lab_dir/$1 ns=zl$lab_id-$1 addr
  addr=$(lab_addr "$pc")
  mkdir -p "$dir/state" "$dir/boards" "$dir/home"
  lab_boards_new "$pc"
  od -An -tx1 -N16 /dev/urandom | tr -d ' \n' > "$dir/machine-id"
  echo >> "$dir/machine-id"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/ssh_host_ed25519_key"
  echo "$addr $(cut -d' ' -f1,2 "$dir/ssh_host_ed25519_key.pub")" >> "$lab_dir/known_hosts"
  cat > "$dir/sshd_config" <<EOF
ListenAddress $addr
HostKey $dir/ssh_host_ed25519_key
PidFile none
AuthorizedKeysFile $lab_dir/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
MaxStartups 200:30:400
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
  # The PC's own mount view and host name, then sshd as its first process,
  # which reaps what its sessions leave behind.
  cat > "$dir/init.sh" <<EOF
set -e
hostname $pc
mount -t tmpfs -o mode=1777,size=4m zeda-lab-lock /run/lock
mount --bind $dir/machine-id /etc/machine-id
mount --bind $dir/home /root
mount --bind $dir/state $LAB_STATE
mount --bind $dir/boards $LAB_BOARDS
exec /usr/sbin/sshd -D -e -f $dir/sshd_config
EOF
  ip netns add "$ns" || return 1
  ip link add "zl${lab_id}p$n" type veth peer name "zl${lab_id}q$n" || return 1
  ip link set "zl${lab_id}q$n" netns "$ns"
  ip link set "zl${lab_id}p$n" master "zl$lab_id" up
  ip -n "$ns" link set "zl${lab_id}q$n" name eth0
  ip -n "$ns" addr add "$addr/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" link set lo up
  ip netns exec "$ns" unshare --pid --fork --kill-child --mount-proc --mount --uts --propagation private \
    bash "$dir/init.sh" < /dev/null > "$dir/sshd.log" 2>&1 &
  echo $! > "$dir/unshare.pid"
  disown $!
}

lab_await_ssh() {
  local pc=$1 dir=$lab_dir/$1 n=0 child
  until child=$(pgrep -P "$(cat "$dir/unshare.pid")") && [ -n "$child" ] \
      && timeout 1 bash -c "echo > /dev/tcp/$(lab_addr "$pc")/22" 2> /dev/null; do
    n=$((n + 1))
    if [ $n -gt 100 ] || ! kill -0 "$(cat "$dir/unshare.pid")" 2> /dev/null; then
      lab_refuse "$pc did not start its sshd: $(tail -n 3 "$dir/sshd.log")"
      return 1
    fi
    sleep 0.1
  done
  echo "$child" > "$dir/pid1"
}

lab_inventory() {
  local i
  echo "# The lab's PCs ($lab_dir), reached over SSH with the lab's key."
  echo "zeda_pcs:"
  echo "  vars:"
  echo "    ansible_user: root"
  echo "    ansible_python_interpreter: /usr/bin/python3"
  echo "    ansible_ssh_private_key_file: $lab_dir/lab.key"
  echo "    ansible_ssh_common_args: -o UserKnownHostsFile=$lab_dir/known_hosts -o StrictHostKeyChecking=yes"
  echo "    zeda_field_update_tools_dir: $lab_bin"
  echo "    zeda_field_update_environment: {RIFFA_SIM_DIR: $LAB_BOARDS}"
  echo "  hosts:"
  for i in $(seq 1 "$lab_count"); do
    echo "    pc$i:"
    echo "      ansible_host: $(lab_addr "pc$i")"
    [ "$(lab_boards_of "pc$i")" = 0 ] || echo "      zeda_field_update_boards: [$(lab_boards_of "pc$i" | sed 's/ /, /')]"
  done
}

lab_down() {
  # Callers' errexit does not cut these short.
  local -
  set +e
  [ -z "$lab_sleeper" ] || kill "$lab_sleeper" 2> /dev/null
  [ -n "$lab_id" ] || return 0
  local dir pid ns
  lab_forget
  # unshare ignores SIGTERM while it waits for the PC's first process; that
  # process ends with it (--kill-child), and every process of the PC with that.
  for dir in "$lab_dir"/pc*; do
    pid=$(cat "$dir/unshare.pid" 2> /dev/null) && kill -9 "$pid" 2> /dev/null
  done
  for dir in "$lab_dir"/pc*; do
    pid=$(cat "$dir/pid1" 2> /dev/null) || continue
    local n=0
    while kill -0 "$pid" 2> /dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
  done
  for ns in $(ip netns list | awk -v p="zl$lab_id-" 'index($1, p) == 1 { print $1 }'); do
    ip netns del "$ns"
  done
  ip link del "zl$lab_id" 2> /dev/null
  lab_id=''
}

lab_main() {
  local build=$1 dir=$2 count=24
  shift 2
  if [ $# -gt 0 ] && [ "$1" != -- ]; then count=$1; shift; fi
  [ "${1:-}" = -- ] && shift
  trap 'lab_down' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  lab_up "$build" "$dir" "$count" || exit 1
  if [ $# -gt 0 ]; then
    (cd "$lab_dir" && eval "$(lab_env)" && "$@")
    exit
  fi
  echo "fleet-lab: in $lab_dir, with"
  echo "  $(lab_env)"
  echo "  ansible-playbook -i inventory.yml field_update.yml -e zeda_field_update_image=gateware.bin -e zeda_field_update_allowed_signers=allowed_signers"
  echo "fleet-lab: Ctrl-C tears the lab down."
  sleep infinity &
  lab_sleeper=$!
  wait "$lab_sleeper"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  [ $# -ge 2 ] || { echo "usage: fleet/lab.sh <build folder> <dir> [<PCs>] [-- <command>...]" >&2; exit 2; }
  lab_main "$@"
fi
