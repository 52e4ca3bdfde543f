// Virtual board: reading and writing a board's files, every write checked.
// Errors read "<file>: <reason>".
#ifndef RIFFA_SIM_FILE_H
#define RIFFA_SIM_FILE_H

#include <cstddef>
#include <string>

// Sets error to "<path>: <reason>"; returns false.
bool sim_fail(std::string *error, const std::string &path, const std::string &reason);
// The same with the reason errno gives.
bool sim_fail_errno(std::string *error, const std::string &path);

// Reads a whole regular file of at most limit bytes; sets missing when there
// is no such file.
bool sim_read_text(const std::string &path, size_t limit, std::string *text, bool *missing, std::string *error);
// Writes bytes at offset of path, opened in mode ("wb" creates or truncates
// it, "r+b" keeps the rest), and closes it.
bool sim_write_file(const std::string &path, const char *mode, long offset, const void *bytes, size_t size,
                    std::string *error);
// Writes text to a temporary file of this process and renames it over path:
// path holds the old text or the new, never part of either.
bool sim_replace_whole(const std::string &path, const std::string &text, std::string *error);

#endif
