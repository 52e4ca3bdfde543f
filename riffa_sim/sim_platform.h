// Virtual board: what differs between POSIX and Windows, one source file
// each (sim_platform_posix.cpp, sim_platform_win32.cpp), chosen by CMake.
#ifndef RIFFA_SIM_PLATFORM_H
#define RIFFA_SIM_PLATFORM_H

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

// The system's per-user folder for riffa_sim's state (%LOCALAPPDATA% on
// Windows); empty where the system has none of its own.
std::string sim_system_state_dir();

unsigned long sim_process_id();

// Renames a folder, never over one that exists ("exists" in error then).
bool sim_rename_folder(const std::string &from, const std::string &to, std::string *error);

// Replaces dst by src in one step, also where dst exists; false with errno
// set where the system sets it.
bool sim_replace_file(const std::string &src, const std::string &dst);

// Opens path for reading when it is a regular file, without blocking on a
// FIFO; sets missing when there is no such file. Null with the reason.
std::FILE *sim_open_regular(const std::string &path, bool *missing, std::string *error);

// The path that text names, and back: text as arguments, the environment
// and the C runtime's file calls carry it (on Windows the ANSI code page,
// UTF-8 under the programs' manifest). std::filesystem's own conversion on
// Windows takes each byte for a character of its own.
std::filesystem::path sim_fs_path(const std::string &text);
std::string sim_path_text(const std::filesystem::path &path);

// Sleeps ms milliseconds; false when a signal ended the sleep early.
bool sim_sleep_ms(int ms);

// A wait that only its end or a signal stops, as the Linux driver's waits:
// while one is open, a signal that arrives between its sleeps is held until
// the next sleep, which it ends, so that none is lost. POSIX only: on
// Windows no signal ends a wait.
void sim_wait_begin();
void sim_wait_end();
struct sim_wait_scope {
    sim_wait_scope() { sim_wait_begin(); }
    ~sim_wait_scope() { sim_wait_end(); }
    sim_wait_scope(const sim_wait_scope &) = delete;
    sim_wait_scope &operator=(const sim_wait_scope &) = delete;
};

// The calendar time of t in UTC.
std::tm sim_utc(std::time_t t);

#endif
