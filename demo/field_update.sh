#!/usr/bin/env bash
# Rehearses a whole field update on a fresh virtual board and shows what a
# person at the console sees: list, query, switch to bootloader mode, wait
# for the board to come back, flash a sample image, switch back, wait again,
# then what the board holds. The board takes a realistic time to reboot, as
# hardware does. The tools' output is shown as they write it.
# Usage: demo/field_update.sh <build folder>
set -euo pipefail
build=${1:-build}
bin="$build/bin"
export RIFFA_SIM_DIR="$build/demo-state"
rm -rf "$RIFFA_SIM_DIR"
mkdir -p "$RIFFA_SIM_DIR"
image="$RIFFA_SIM_DIR/sample_gateware.bin"
head -c 300003 /dev/urandom > "$image"
reboot_ms=${DEMO_REBOOT_MS:-1500}

bold=$(tput bold 2>/dev/null || true)
plain=$(tput sgr0 2>/dev/null || true)
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '$ %s\n' "$*"; }
# The console shows what was typed at a prompt; with the answer piped in it
# is not echoed, so echo it here.
answer() { sed -u "s/Proceed \[y\/n\]? /&$1\\n/"; }
# The time the board is off the PCI bus after each reboot.
"$bin/riffa_sim" reboot-time "$reboot_ms" > /dev/null
# Runs a command and says how long it took.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  printf '(%s ms)\n' $(( (end - start) / 1000000 ))
}
step "0. Which boards are there?"
show "zeda_pcie_list_boards"
"$bin/zeda_pcie_list_boards"

step "1. Which mode is board 0 in?"
show "zeda_pcie_get_mode"
echo | "$bin/zeda_pcie_get_mode"

step "2. Switch it to bootloader mode (answer y)"
show "zeda_pcie_mode_change"
echo y | "$bin/zeda_pcie_mode_change" | answer y

step "3. The board reboots: it is off the PCI bus for about $reboot_ms ms, so wait for it"
# What a query prints meanwhile is what the PC's RIFFA driver shows of a
# board that is away, the virtual board's bus model (riffa_sim bus).
bus=$("$bin/riffa_sim" show | sed -n 's/^bus model: //p')
case $bus in
  linux) echo "(On Linux the board opens and every transfer moves 0 words at once: a query prints" \
              "\"WARNING: Sent 0 wordsWARNING: Sent 0 wordsIncorrect mode value: -1\"," \
              "the flasher \" Board not in bootloader mode.\")" ;;
  *) echo "(On Windows the board can't be opened: the tools print \"Could not get FPGA 0\")" ;;
esac
show "zeda_pcie_get_mode"
echo | "$bin/zeda_pcie_get_mode" || true
show "zeda_pcie_wait_board"
timed "$bin/zeda_pcie_wait_board"

step "4. Flash the new image ($(wc -c < "$image") bytes)"
show "zeda_pcie_flash_image $image"
"$bin/zeda_pcie_flash_image" "$image"

step "5. Switch back to normal operation mode (answer y)"
show "zeda_pcie_mode_change"
echo y | "$bin/zeda_pcie_mode_change" | answer y

step "6. Wait for the board to come back from its reboot, in normal operation mode"
show "zeda_pcie_wait_board"
timed "$bin/zeda_pcie_wait_board"

step "What the virtual board holds now"
show "riffa_sim verify $image"
"$bin/riffa_sim" verify "$image"
show "riffa_sim history"
"$bin/riffa_sim" history
show "riffa_sim show"
"$bin/riffa_sim" show
