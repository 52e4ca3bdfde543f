#!/usr/bin/env bash
# Flash benchmark: zeda_pcie_flash_image writing an image onto a fresh virtual
# board (stdout to /dev/null), beside `dd bs=1024` copying the same file onto
# one that doesn't exist yet, the least work any flasher does here (the same
# 1 KiB reads and writes). hyperfine times the runs: median wall time, and
# CPU time (user + system) as the mean, the only figure it gives; GNU time
# measures peak resident memory (median of the runs).
# Usage: bench/flash_bench.sh <zeda_pcie_flash_image> <riffa_sim> <work folder> [runs]
set -euo pipefail
[ $# -ge 3 ] || { echo "Usage: $0 <zeda_pcie_flash_image> <riffa_sim> <work folder> [runs]" >&2; exit 2; }
flasher=$(realpath "$1")
riffa_sim=$(realpath "$2")
mkdir -p "$3"
work=$(cd "$3" && pwd)
runs=${4:-7}
[ "$runs" -ge 1 ] 2>/dev/null || runs=1
export RIFFA_SIM_DIR=$work/sim
copy=$work/dd.out
fresh_board="sh -c 'rm -rf \"\$RIFFA_SIM_DIR\" && exec \"\$0\" add bootloader >/dev/null' $(printf %q "$riffa_sim")"
no_copy="rm -f $(printf %q "$copy")"

for mib in 1 2 4 8; do
  image=$work/image_${mib}MiB.bin
  head -c $((mib << 20)) /dev/urandom >"$image"
  hyperfine -N --style none --runs "$runs" --export-json "$work/$mib.json" \
    --prepare "$fresh_board" "$(printf '%q %q' "$flasher" "$image")" \
    --prepare "$no_copy" "$(printf 'dd if=%q of=%q bs=1024' "$image" "$copy")"
  # The board of the flasher's last run holds the image, or nothing counts.
  "$riffa_sim" verify "$image" >/dev/null || { echo "the flash does not hold $image" >&2; exit 1; }
done

# Peak memory, 8 MiB image: each run on a fresh board, dd onto no file.
rm -f "$work"/*.kib
for ((i = 0; i < runs; i++)); do
  eval "$fresh_board"
  /usr/bin/time -f %M -a -o "$work/flasher.kib" "$flasher" "$image" >/dev/null
  rm -f "$copy"
  /usr/bin/time -f %M -a -o "$work/dd.kib" dd if="$image" of="$copy" bs=1024 2>/dev/null
done

python3 - "$work" "$runs" <<'EOF'
import json, statistics, sys
work, runs = sys.argv[1], int(sys.argv[2])
def timing(mib, which):
    r = json.load(open(f"{work}/{mib}.json"))["results"][which]
    return r["median"] * 1e3, (r["user"] + r["system"]) * 1e3
def peak(name):
    return int(statistics.median_low(int(l) for l in open(f"{work}/{name}.kib")))
(fw, fc), (dw, dc) = timing(8, 0), timing(8, 1)
fp, dp = peak("flasher"), peak("dd")
print(f"Flashing an 8 MiB image onto a fresh virtual board, stdout to /dev/null;\n"
      f"median wall time, mean CPU time and median peak memory of {runs} runs,\n"
      f"beside dd if=<image> of=<file> bs=1024:\n")
print(f"{'':24} {'wall ms':>10} {'CPU ms':>10} {'peak KiB':>12}")
print(f"{'zeda_pcie_flash_image':24} {fw:10.1f} {fc:10.1f} {fp:12d}")
print(f"{'dd bs=1024':24} {dw:10.1f} {dc:10.1f} {dp:12d}")
print(f"{'ratio flasher/dd':24} {fw / dw:10.2f} {fc / dc:10.2f} {fp / dp:12.2f}")
print(f"\nflasher CPU time per 1 KiB chunk: {fc * 1e3 / 8192:.2f} us (virtual board included)")
print(f"\nBy image size (median wall ms):\n{'image':8} {'flasher':>10} {'dd':>10} {'ratio':>8}")
for mib in (1, 2, 4, 8):
    (f, _), (d, _) = timing(mib, 0), timing(mib, 1)
    print(f"{mib:2d} MiB   {f:10.1f} {d:10.1f} {f / d:8.2f}")
EOF
rm -rf "$RIFFA_SIM_DIR" "$copy" "$work"/image_*MiB.bin "$work"/*.kib
