// A tool's flow, from its command line to its exit status; each tool's
// main.cpp defines it once.
#ifndef TOOL_MAIN_H
#define TOOL_MAIN_H

int tool_main(int argc, char **argv);

#endif
