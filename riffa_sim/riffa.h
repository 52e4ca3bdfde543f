// Virtual board: the RIFFA host library interface, as the tools use it.
// Same five declarations as the real library's riffa.h, so the tools build
// unchanged against either.
#ifndef RIFFA_H
#define RIFFA_H

#ifdef __cplusplus
extern "C" {
#endif

struct fpga_t;
typedef struct fpga_t fpga_t;

// Returns NULL when the board can't be opened.
fpga_t *fpga_open(int id);
void fpga_close(fpga_t *fpga);
// Lengths in 32-bit words; destoff carries the request code on channel 0;
// timeout in milliseconds, 0 = no limit. Returns the words moved.
int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout);
int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout);
void fpga_reset(fpga_t *fpga);

#ifdef __cplusplus
}
#endif

#endif
