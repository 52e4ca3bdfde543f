#!/bin/bash
# Runs one zeda-pcie tool on a PC for the fleet update.
# Usage: bash -c "$(cat zeda_fleet_tool.sh)" zeda-fleet-tool <input> <seconds> <tool> [<argument>...]
# <input> is the tool's whole standard input (the answer to its prompt, or
# nothing): a pipe, never a terminal, so a tool that ends without reading it
# ends only printf. timeout stops a tool that runs longer than <seconds>
# (status 124). The flasher's progress bar, redrawn with carriage returns, is
# cut to its last state so that the log stays readable, and its cells (the
# byte 0xDB, code page 437) become '#', which every log shows. The status is
# the tool's own, or timeout's.
input=$1
shift
printf %s "$input" | timeout "$@" | LC_ALL=C tr '\r\333' '\n#' | LC_ALL=C awk '
  /^Progress:/ { bar = $0; next }
  bar != "" { print bar; bar = "" }
  { print }
  END { if (bar != "") print bar }'
exit "${PIPESTATUS[1]}"
