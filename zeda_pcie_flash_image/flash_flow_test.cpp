// The flash run against the recording fake RIFFA: every call that reaches
// the board, in order, on the paths that end normally and on those that end
// by exit (seen from a death test through what the process reports as it
// ends).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "board_link.h"
#include "fake_riffa.h"

#include "tool_main.h"

namespace {

std::string describe(const FakeCall &c) {
    if (c.fn == FakeFn::send && c.chnl == IMAGE_CHANNEL) return "image " + std::to_string(c.len);
    if (c.fn == FakeFn::send) return "send " + std::to_string(c.destoff) + " " + std::to_string(c.words.at(0));
    if (c.fn == FakeFn::open || c.fn == FakeFn::close)
        return std::string(fake_fn_name(c.fn)) + " " + std::to_string(c.id);
    return fake_fn_name(c.fn);
}

std::string calls() {
    std::string out;
    for (const FakeCall &c : fake_riffa().calls) out += (out.empty() ? "" : ", ") + describe(c);
    return out;
}

std::string image_file(size_t size) {
    char path[] = "/tmp/flash_flow_test_XXXXXX";
    const int fd = mkstemp(path);
    const std::string bytes(size, '\x5A');
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    return path;
}

int run_flash(std::string image) {
    std::string name = "zeda_pcie_flash_image";
    char *argv[] = {name.data(), image.data(), nullptr};
    return tool_main(2, argv);
}

const std::string QUERY = "send " + std::to_string(REQ_MODE_QUERY) + " " + std::to_string(QUERY_FILL);
const std::string STATUS = "send " + std::to_string(REQ_PROGRAMMER_STATUS) + " " + std::to_string(QUERY_FILL);

class FlashFlow : public testing::Test {
protected:
    void SetUp() override { fake_riffa_reset(); }
};

TEST_F(FlashFlow, ResetBeforeTheProgrammerAndCloseAtTheEnd) {
    const std::string image = image_file(1030);
    fake_riffa().recv_results = {{1, MODE_BOOTLOADER}, {1, 0}, {1, STATUS_DONE}};
    testing::internal::CaptureStdout();
    const int status = run_flash(image);
    testing::internal::GetCapturedStdout();
    std::remove(image.c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(calls(), "open 0, " + QUERY + ", recv, reset, send 2 1030, send 3 2, send 3 1, image 256, image 2, " +
                           STATUS + ", recv, " + STATUS + ", recv, close 0");
    // From the first programmer request on, a vanished reader or terminal
    // can't end the run half way; before it, nothing has changed yet.
    const std::vector<FakeCall> sends = fake_riffa_calls(FakeFn::send);
    EXPECT_FALSE(sends.at(0).hangup_ignored) << "mode query";
    for (size_t i = 1; i < sends.size(); ++i) EXPECT_TRUE(sends[i].hangup_ignored) << describe(sends[i]);
}

TEST_F(FlashFlow, RunsThatEndByExitTouchOnlyWhatTheyMust) {
    // What reached the board, told as the process ends.
    const auto report_calls = [] { std::atexit([] { std::fprintf(stderr, "[%s]", calls().c_str()); }); };
    const std::string image = image_file(1030);
    fake_riffa().recv_results = {{1, MODE_NORMAL}};
    EXPECT_EXIT((report_calls(), run_flash(image)), testing::ExitedWithCode(1),
                "Please change the mode and try again\\.\n\\[open 0, " + QUERY + ", recv, close 0\\]$");

    const std::string empty = image_file(0);
    EXPECT_EXIT((report_calls(), run_flash(empty)), testing::ExitedWithCode(1),
                "^Image is empty\\. Nothing to program\n\\[\\]$");
    std::remove(image.c_str());
    std::remove(empty.c_str());
}

}  // namespace
