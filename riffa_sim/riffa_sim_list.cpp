// Virtual board: fpga_list, the RIFFA library's list of the boards there
// are, over the boards of the state folder.
#include <cstring>
#include <vector>

#include "riffa.h"
#include "sim_store.h"

// What every virtual board reports: a name that says what it is, ids that
// no PCI device has (vendor 0xffff means "no device" on PCI), and the two
// channels the tools use.
static const char SIM_LIST_NAME[] = "riffa_sim";
constexpr int SIM_LIST_VENDOR = 0xffff;
constexpr int SIM_LIST_DEVICE = 0x0000;
constexpr int SIM_LIST_CHANNELS = 2;

extern "C" RIFFA_SIM_EXPORT int fpga_list(fpga_info_list *list) {
    if (!list) return -1;
    std::memset(list, 0, sizeof *list);
    const std::string root = sim_root();
    // Board 0 stands in every fresh machine, as fpga_open finds it.
    if (!sim_board_exists(root, 0)) sim_create_board(root, 0, SIM_MODE_NORMAL);
    const std::vector<int> ids = sim_list_boards(root);
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
