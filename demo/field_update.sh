#!/usr/bin/env bash
# Rehearses the tools on a fresh virtual board, showing what a person at the
# console would see. Usage: demo/field_update.sh <build folder>
set -euo pipefail
build=${1:-build}
bin="$build/bin"
export RIFFA_SIM_DIR="$build/demo-state"
rm -rf "$RIFFA_SIM_DIR"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '$ %s\n' "$*"; }

step "Which mode is board 0 in?"
show "zeda_pcie_get_mode"
echo | "$bin/zeda_pcie_get_mode"

step "What the virtual board holds"
show "riffa_sim show"
"$bin/riffa_sim" show
