// A tool's flow, from its command line to its exit status; each tool's flow
// file defines it once, and its main (tool_entry.cpp) only calls it.
#ifndef TOOL_MAIN_H
#define TOOL_MAIN_H

int tool_main(int argc, char **argv);

#endif
