/* A RIFFA-compatible host library for build checks. By default it finds no
 * board, as on a PC without the RIFFA driver: fpga_open fails. With
 * RIFFA_STUB_MODE=<n> in the environment it has one board, 0, that takes
 * every send and answers every control receive with n, enough for one mode
 * query. Built with RIFFA_STUB_WITHOUT_LIST it lacks fpga_list, as a DLL
 * that is not RIFFA's would. */
#include <stdlib.h>
#include <string.h>

#include "riffa.h"

struct fpga_t {
    int id;
};

static struct fpga_t stub_board;

/* The reply word, or -1 when the stub has no board. */
static long stub_mode(void) {
    const char *mode = getenv("RIFFA_STUB_MODE");
    return mode != NULL && *mode != '\0' ? strtol(mode, NULL, 0) : -1;
}

#ifndef RIFFA_STUB_WITHOUT_LIST
int fpga_list(fpga_info_list *list) {
    memset(list, 0, sizeof *list);
    if (stub_mode() < 0) return -1;
    list->num_fpgas = 1;
    list->num_chnls[0] = 2;
    memcpy(list->name[0], "riffa_stub", sizeof "riffa_stub");
    return 0;
}
#endif

fpga_t *fpga_open(int id) {
    if (id != 0 || stub_mode() < 0) return NULL;
    stub_board.id = id;
    return &stub_board;
}

void fpga_close(fpga_t *fpga) { (void)fpga; }

int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout) {
    (void)fpga; (void)chnl; (void)data; (void)destoff; (void)last; (void)timeout;
    return len;
}

int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout) {
    (void)fpga; (void)timeout;
    if (chnl != 0 || len < 1) return 0;
    const unsigned int reply = (unsigned int)stub_mode();
    memcpy(data, &reply, sizeof reply);
    return 1;
}

void fpga_reset(fpga_t *fpga) { (void)fpga; }
