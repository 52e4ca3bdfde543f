// The main of every tool: its flow is tool_main, which tests call in-process.
#include "tool_main.h"

int main(int argc, char **argv) { return tool_main(argc, argv); }
