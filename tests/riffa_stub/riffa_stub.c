/* A RIFFA-compatible host library for build checks. By default it finds no
 * board, as on a PC without the RIFFA driver: fpga_open fails. With
 * RIFFA_STUB_MODE=<n> in the environment it has one board, 0, that takes
 * every send and answers every control receive with n, enough for one mode
 * query. Built with RIFFA_STUB_WITHOUT_LIST it lacks fpga_list, as a DLL
 * that is not RIFFA's would. Windows builds for the loader's checks:
 * RIFFA_STUB_DEPENDENCY takes the reply word from riffadep.dll (riffadep.c),
 * as a vendor's build may need a DLL of its own; RIFFA_STUB_CHATTY prints
 * what RIFFA's Windows library prints when an open finds no board. */
#include <stdlib.h>
#include <string.h>

#include "riffa.h"

struct fpga_t {
    int id;
};

static struct fpga_t stub_board;

#ifdef RIFFA_STUB_DEPENDENCY
__declspec(dllimport) long riffadep_mode(void);
#endif

/* The reply word, or -1 when the stub has no board. */
static long stub_mode(void) {
#ifdef RIFFA_STUB_DEPENDENCY
    return riffadep_mode();
#else
    const char *mode = getenv("RIFFA_STUB_MODE");
    return mode != NULL && *mode != '\0' ? strtol(mode, NULL, 0) : -1;
#endif
}

#ifdef RIFFA_STUB_CHATTY
#include <stdio.h>
#include <windows.h>

/* Its line goes out twice: through the C runtime it shares with the
 * program, and to the standard output it found when it was loaded, as a
 * library with a runtime of its own prints. */
static HANDLE stub_stdout_at_load;

BOOL WINAPI DllMain(HINSTANCE dll, DWORD reason, LPVOID reserved) {
    (void)dll;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) stub_stdout_at_load = GetStdHandle(STD_OUTPUT_HANDLE);
    return TRUE;
}

static void stub_no_board(void) {
    static const char own[] = "SetupDiEnumDeviceInterfaces failed, Error: 259 (own runtime)\n";
    DWORD written;
    WriteFile(stub_stdout_at_load, own, sizeof own - 1, &written, NULL);
    printf("SetupDiEnumDeviceInterfaces failed, Error: 259\n");
}
#else
static void stub_no_board(void) {}
#endif

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
    if (id != 0 || stub_mode() < 0) {
        stub_no_board();
        return NULL;
    }
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
