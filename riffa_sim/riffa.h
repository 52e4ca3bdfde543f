// Virtual board: the RIFFA host library interface, as the tools use it.
// Same declarations as the real library's riffa.h (the five functions the
// tools drive a board with, and fpga_list), so the tools build unchanged
// against either.
#ifndef RIFFA_H
#define RIFFA_H

#ifdef __cplusplus
extern "C" {
#endif

struct fpga_t;
typedef struct fpga_t fpga_t;

// Boards fpga_list reports at most.
#define NUM_FPGAS 5

// What fpga_list reports of each board, by index; name is not necessarily
// zero-terminated.
typedef struct fpga_info_list {
    int num_fpgas;
    int id[NUM_FPGAS];
    int num_chnls[NUM_FPGAS];
    char name[NUM_FPGAS][16];
    int vendor_id[NUM_FPGAS];
    int device_id[NUM_FPGAS];
} fpga_info_list;

// Fills list with the boards there are; 0 on success, negative on error.
int fpga_list(fpga_info_list *list);

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
