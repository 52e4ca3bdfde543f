// Virtual board: fpga_list, the RIFFA library's list of the boards there
// are, over the boards of the state folder.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "riffa.h"
#include "sim_bus.h"
#include "riffa_sim_export.h"
#include "sim_boards.h"
#include "sim_paths.h"
#include "sim_transaction.h"

// What every virtual board reports: a name that says what it is, ids that
// no PCI device has (vendor 0xffff means "no device" on PCI), and the two
// channels the tools use.
static const char SIM_LIST_NAME[] = "riffa_sim";
constexpr int SIM_LIST_VENDOR = 0xffff;
constexpr int SIM_LIST_DEVICE = 0x0000;
constexpr int SIM_LIST_CHANNELS = 2;

// A board off the bus after its reboot is not found; one whose state can't
// be read is listed all the same, and opening it says why.
static bool rebooting(const std::string &root, int id) {
    sim_board board;
    std::string error;
    return sim_read_board(root, id, &board, &error) && sim_off_bus(board, sim_now_ms());
}

// Fails, with the library's one line on standard error, when the state
// folder can't be used; a fresh one holds board 0, as fpga_open finds it.
extern "C" RIFFA_SIM_EXPORT int fpga_list(fpga_info_list *list) {
    if (!list) return -1;
    std::memset(list, 0, sizeof *list);
    std::string error;
    const std::string root = sim_root(&error);
    std::vector<int> ids;
    if (!root.empty() && sim_find_board(root, 0, true, &error) != sim_found::unknown)
        ids = sim_list_boards(root, &error);
    if (!error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "riffa_sim: %s\n", error.c_str());
        return -1;
    }
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](int id) { return rebooting(root, id); }), ids.end());
    const size_t capacity = sizeof list->id / sizeof list->id[0];
    for (size_t i = 0; i < ids.size() && i < capacity; ++i) {
        list->id[i] = ids[i];
        list->num_chnls[i] = SIM_LIST_CHANNELS;
        std::memcpy(list->name[i], SIM_LIST_NAME, sizeof SIM_LIST_NAME);
        list->vendor_id[i] = SIM_LIST_VENDOR;
        list->device_id[i] = SIM_LIST_DEVICE;
        ++list->num_fpgas;
    }
    return 0;
}
