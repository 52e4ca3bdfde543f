#!/usr/bin/env bash
# Builds the tools with -DZEDA_RIFFA=system against a RIFFA-compatible stub
# library installed at a scratch prefix, and checks that they link and run
# that library and no other (in particular not the virtual board).
# Usage: system_backend_test.sh <source dir> <scratch dir>
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work/prefix/include" "$work/prefix/lib"

# The real Linux header pulls in a second header of the library's own.
cat > "$work/prefix/include/riffa_driver.h" <<'H'
#define RIFFA_STUB_DRIVER_HEADER 1
#define NUM_FPGAS 5
H
cat > "$work/prefix/include/riffa.h" <<'H'
#ifndef RIFFA_H
#define RIFFA_H
#include "riffa_driver.h"
#ifdef __cplusplus
extern "C" {
#endif
struct fpga_t; typedef struct fpga_t fpga_t;
typedef struct fpga_info_list {
  int num_fpgas; int id[NUM_FPGAS]; int num_chnls[NUM_FPGAS]; char name[NUM_FPGAS][16];
  int vendor_id[NUM_FPGAS]; int device_id[NUM_FPGAS];
} fpga_info_list;
int fpga_list(fpga_info_list *list);
fpga_t *fpga_open(int id);
void fpga_close(fpga_t *fpga);
int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout);
int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout);
void fpga_reset(fpga_t *fpga);
#ifdef __cplusplus
}
#endif
#endif
H
# A stub that finds no board: what a machine without the driver loaded sees.
cat > "$work/stub.c" <<'C'
#include <stddef.h>
#include "riffa.h"
fpga_t *fpga_open(int id) { (void)id; return NULL; }
void fpga_close(fpga_t *f) { (void)f; }
int fpga_send(fpga_t *f, int c, void *d, int l, int o, int last, long long t) { (void)f; (void)c; (void)d; (void)l; (void)o; (void)last; (void)t; return -1; }
int fpga_recv(fpga_t *f, int c, void *d, int l, long long t) { (void)f; (void)c; (void)d; (void)l; (void)t; return -1; }
void fpga_reset(fpga_t *f) { (void)f; }
int fpga_list(fpga_info_list *l) { (void)l; return -1; }
C
cc -shared -fPIC -I"$work/prefix/include" -o "$work/prefix/lib/libriffa.so" "$work/stub.c"

cmake -S "$src" -B "$work/build" -DZEDA_RIFFA=system -DRIFFA_ROOT="$work/prefix" \
      -DZEDA_BUILD_TESTS=OFF > "$work/configure.log"
grep -q "RIFFA backend: installed host library $work/prefix/lib/libriffa.so" "$work/configure.log"
cmake --build "$work/build" -j 2 > "$work/build.log"

status=0
for tool in zeda_pcie_get_mode zeda_pcie_mode_change zeda_pcie_flash_image zeda_pcie_list_boards; do
  exe="$work/build/bin/$tool"
  libs=$(ldd "$exe")
  if ! grep -q "$work/prefix/lib/libriffa.so" <<<"$libs" || grep -q riffa_sim <<<"$libs"; then
    echo "FAIL: $tool does not link the stub library alone:"; echo "$libs"; status=1
  fi
done

out=$(echo | "$work/build/bin/zeda_pcie_get_mode" 3) && rc=0 || rc=$?
if [ "$out" != "Could not get FPGA 3" ] || [ "$rc" != 255 ]; then
  echo "FAIL: zeda_pcie_get_mode on the stub printed '$out' with status $rc"; status=1
fi
out=$("$work/build/bin/zeda_pcie_list_boards") && rc=0 || rc=$?
if [ "$out" != "Could not list FPGAs" ] || [ "$rc" != 255 ]; then
  echo "FAIL: zeda_pcie_list_boards on the stub printed '$out' with status $rc"; status=1
fi
out=$("$work/build/bin/zeda_pcie_get_mode" --version)
if [ "$out" != "zeda_pcie_get_mode 1.0.0 (RIFFA host library)" ]; then
  echo "FAIL: the version line of a hardware build is '$out'"; status=1
fi
[ $status = 0 ] && echo "system backend: tools link $work/prefix/lib/libriffa.so"
rm -rf "$work"
exit $status
