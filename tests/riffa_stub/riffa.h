/* A RIFFA-compatible host library's header, for tests: the declarations of
 * the real library's, as a Windows DLL (imported) or a Linux shared library. */
#ifndef RIFFA_H
#define RIFFA_H

#ifndef _WIN32
/* The Linux header pulls in a second header of the library's own. */
#include "riffa_driver.h"
#endif

#if defined(_WIN32) && defined(RIFFA_STUB_BUILD)
#define RIFFA_API __declspec(dllexport)
#elif defined(_WIN32)
#define RIFFA_API __declspec(dllimport)
#else
#define RIFFA_API
#endif

#define RIFFA_STUB_MAX_FPGAS 5

#ifdef __cplusplus
extern "C" {
#endif

struct fpga_t;
typedef struct fpga_t fpga_t;

typedef struct {
    int num_fpgas;
    int id[RIFFA_STUB_MAX_FPGAS];
    int num_chnls[RIFFA_STUB_MAX_FPGAS];
    char name[RIFFA_STUB_MAX_FPGAS][16];
    int vendor_id[RIFFA_STUB_MAX_FPGAS];
    int device_id[RIFFA_STUB_MAX_FPGAS];
} fpga_info_list;

RIFFA_API int fpga_list(fpga_info_list *list);
RIFFA_API fpga_t *fpga_open(int id);
RIFFA_API void fpga_close(fpga_t *fpga);
RIFFA_API int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout);
RIFFA_API int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout);
RIFFA_API void fpga_reset(fpga_t *fpga);

#ifdef __cplusplus
}
#endif

#endif
