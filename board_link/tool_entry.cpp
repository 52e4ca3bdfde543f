// The main of every tool: its flow is tool_main, which tests call in-process.
#include "console.h"
#include "tool_main.h"

int main(int argc, char **argv) {
    // Before anything is opened, so that neither the image, nor the
    // library's device, nor any file later becomes standard input or output.
    console_keep_std_descriptors();
    return tool_main(argc, argv);
}
