#include "sim_history.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "sim_file.h"
#include "sim_paths.h"
#include "sim_text.h"

static bool parse_run(const std::string &line, sim_run *run) {
    char time[64];
    unsigned long size, received, error;
    unsigned long long sum;
    int end = -1;
    if (std::sscanf(line.c_str(), "%63s size=%lu received=%lu error=%lu checksum=%16llx%n", time, &size, &received,
                    &error, &sum, &end) != 5 ||
        size_t(end) != line.size() || size > UINT32_MAX || received > UINT32_MAX || error > 15)
        return false;
    *run = {time, uint32_t(size), uint32_t(received), uint32_t(error), sum};
    return true;
}

bool sim_read_history(const std::string &root, int id, uint32_t count, std::vector<sim_run> *runs,
                      std::string *error) {
    runs->clear();
    const std::string path = sim_history_path(root, id);
    std::string text;
    bool missing;
    if (!sim_read_text(path, SIZE_MAX / 2, &text, &missing, error) && !missing) return false;
    std::istringstream in(text);
    std::string line;
    for (uint32_t number = 1; std::getline(in, line); ++number) {
        // Past the count, a line cut short by a writer that died never happened.
        const bool whole = !in.eof();
        if (!whole && number > count) break;
        sim_run run;
        if (!whole || !parse_run(line, &run))
            return sim_fail(error, path, "line " + std::to_string(number) + ": not a programming run");
        if (number <= count) runs->push_back(run);
    }
    if (runs->size() < count)
        return sim_fail(error, path,
                        std::to_string(runs->size()) + " runs where the state counts " + std::to_string(count));
    return true;
}

size_t sim_history_lines(const std::string &root, int id) {
    std::string text, ignored;
    bool missing;
    if (!sim_read_text(sim_history_path(root, id), SIZE_MAX / 2, &text, &missing, &ignored)) return 0;
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

bool sim_write_history(const std::string &root, int id, const std::vector<sim_run> &runs, std::string *error) {
    std::string text;
    for (const sim_run &r : runs)
        text += sim_format("%s size=%lu received=%lu error=%lu checksum=%016llx\n", r.time.c_str(),
                           (unsigned long)r.announced_size, (unsigned long)r.received_bytes, (unsigned long)r.error,
                           (unsigned long long)r.checksum);
    return sim_replace_whole(sim_history_path(root, id), text, error);
}
