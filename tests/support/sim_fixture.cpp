#include "sim_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace fs = std::filesystem;

void SimBoardTest::SetUp() {
    std::string tmpl = (fs::temp_directory_path() / "zeda_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    root_ = dir_ + "/sim";
    fs::create_directories(root_);
    setenv("RIFFA_SIM_DIR", root_.c_str(), 1);
}

void SimBoardTest::TearDown() {
    unsetenv("RIFFA_SIM_DIR");
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
    else std::fprintf(stderr, "virtual board state kept in %s\n", dir_.c_str());
}

void SimBoardTest::add_board(int id, uint32_t mode) {
    std::string error;
    ASSERT_TRUE(sim_create_board(root_, id, mode, &error)) << error;
    // A board reboots as the driver of the platform the tools are built for
    // shows it; under a runner (Wine) they are Windows programs.
    if (std::getenv("ZEDA_TEST_RUNNER")) {
        ASSERT_TRUE(sim_update_board(root_, id, [](sim_board &b) { b.bus = sim_bus_model::windows_driver; }, &error))
            << error;
    }
}

sim_board SimBoardTest::board(int id) {
    sim_board b;
    std::string error;
    EXPECT_TRUE(sim_read_board(root_, id, &b, &error)) << "board " << id << ": " << error;
    return b;
}

void SimBoardTest::edit_board(int id, const std::function<void(sim_board &)> &edit) {
    if (!sim_board_exists(root_, id)) add_board(id, SIM_MODE_NORMAL);
    std::string error;
    ASSERT_TRUE(sim_update_board(root_, id, edit, &error)) << error;
}

void SimBoardTest::set_faults(int id, const std::function<void(sim_faults &)> &edit) {
    edit_board(id, [&](sim_board &b) { edit(b.faults); });
}

std::vector<unsigned char> SimBoardTest::flash(int id) {
    std::ifstream in(sim_flash_path(root_, id), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<sim_run> SimBoardTest::history(int id) {
    sim_board b;
    std::vector<sim_run> runs;
    std::string error;
    EXPECT_TRUE(sim_read_board(root_, id, &b, &error, &runs)) << "board " << id << ": " << error;
    return runs;
}

static std::vector<unsigned char> padded_to_word(std::vector<unsigned char> bytes) {
    bytes.resize((bytes.size() + 3) / 4 * 4, 0);
    return bytes;
}

void SimBoardTest::expect_flash_holds(const std::vector<unsigned char> &image, int id) {
    std::vector<unsigned char> want = padded_to_word(image);
    want.resize(SIM_FLASH_BYTES, 0xFF);
    EXPECT_TRUE(flash(id) == want) << "flash of board " << id << " differs from the image";
}

void SimBoardTest::expect_one_good_run(uint32_t announced_size, const std::vector<unsigned char> &image, int id) {
    const std::vector<unsigned char> written = padded_to_word(image);
    const std::vector<sim_run> runs = history(id);
    ASSERT_EQ(runs.size(), 1u) << "board " << id;
    EXPECT_EQ(runs[0].announced_size, announced_size);
    EXPECT_EQ(runs[0].received_bytes, written.size());
    EXPECT_EQ(runs[0].error, 0u);
    EXPECT_EQ(runs[0].checksum, sim_checksum(SIM_CHECKSUM_START, written.data(), written.size()));
}

std::string SimBoardTest::write_file(const std::string &name, const std::vector<unsigned char> &bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

std::string SimBoardTest::state_text(int id) { return read_file(sim_state_path(root_, id)); }

void SimBoardTest::write_state(const std::string &text, int id) {
    std::ofstream(sim_state_path(root_, id), std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ToolResult SimBoardTest::run(const std::string &tool, std::vector<std::string> args, const std::string &input,
                             bool merge_stderr) {
    ToolRun r;
    r.args = std::move(args);
    r.input = input;
    r.merge_stderr = merge_stderr;
    return run(tool, r);
}

namespace {

// Copies of the built programs that every user can run: each program with
// the shared libraries of its own folder and of ../lib, where its run path
// ($ORIGIN) finds them. Made once a process, in a folder of mode 0755 under
// the temporary folder, and removed at exit.
struct StagedTools {
    std::string root;
    ~StagedTools() {
        std::error_code ec;
        if (!root.empty()) fs::remove_all(root, ec);
    }
};

void copy_libraries(const fs::path &from, const fs::path &to) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(from, ec)) {
        if (entry.path().filename().string().find(".so") == std::string::npos) continue;
        fs::create_directories(to);
        fs::copy_file(entry.path(), to / entry.path().filename(), fs::copy_options::overwrite_existing);
    }
}

std::string staged_tool_path(const std::string &built_path) {
    static StagedTools staged;
    if (staged.root.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "zeda_staged_XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return built_path;
        staged.root = tmpl;
        fs::permissions(staged.root, fs::perms(0755));
    }
    const fs::path built(built_path);
    const fs::path bin = fs::path(staged.root) / built.parent_path().filename();
    const fs::path program = bin / built.filename();
    if (!fs::exists(program)) {
        fs::create_directories(bin);
        fs::copy_file(built, program);
        copy_libraries(built.parent_path(), bin);
        copy_libraries(built.parent_path().parent_path() / "lib", fs::path(staged.root) / "lib");
        for (const auto &entry : fs::recursive_directory_iterator(staged.root))
            fs::permissions(entry.path(), fs::perms(0755));
    }
    return program.string();
}

}  // namespace

std::string tool_path_for(const std::string &tool, int uid) {
    // The checkout may be a folder that only its owner can enter.
    return uid >= 0 ? staged_tool_path(built_tool_path(tool)) : built_tool_path(tool);
}

bool SimBoardTest::can_run_as(int uid, std::string *why) {
    ToolRun probe;
    probe.args = {"--version"};
    probe.uid = uid;
    probe.timeout_seconds = 10;
    const ToolResult r = run("zeda_pcie_get_mode", probe);
    if (r.status == 0) return true;
    *why = "user " + std::to_string(uid) + " can't run the tools staged under " +
           fs::temp_directory_path().string() + " (status " + std::to_string(r.status) + ")";
    return false;
}

ToolResult SimBoardTest::run(const std::string &tool, const ToolRun &how) {
    ToolResult result = run_command(tool_command(tool, tool_path_for(tool, how.uid)), how);
    EXPECT_FALSE(result.timed_out) << tool << " hung";
    return result;
}

std::string built_tool_path(const std::string &tool) {
    static const std::map<std::string, std::string> paths = {
        {"zeda_pcie_get_mode", ZEDA_GET_MODE_PATH},
        {"zeda_pcie_mode_change", ZEDA_MODE_CHANGE_PATH},
        {"zeda_pcie_flash_image", ZEDA_FLASH_IMAGE_PATH},
        {"zeda_pcie_list_boards", ZEDA_LIST_BOARDS_PATH},
        {"zeda_pcie_wait_board", ZEDA_WAIT_BOARD_PATH},
        {"riffa_sim", ZEDA_RIFFA_SIM_PATH},
    };
    const auto it = paths.find(tool);
    return it == paths.end() ? tool : it->second;
}

std::vector<unsigned char> sample_bytes(size_t n, uint32_t seed) {
    std::vector<unsigned char> bytes(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return bytes;
}
