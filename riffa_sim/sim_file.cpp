#include "sim_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_platform.h"

bool sim_fail(std::string *error, const std::string &path, const std::string &reason) {
    *error = path + ": " + reason;
    return false;
}

bool sim_fail_errno(std::string *error, const std::string &path) { return sim_fail(error, path, std::strerror(errno)); }

bool sim_read_text(const std::string &path, size_t limit, std::string *text, bool *missing, std::string *error) {
    std::FILE *f = sim_open_regular(path, missing, error);
    if (!f) return false;
    text->clear();
    char block[4096];
    size_t n;
    while (text->size() <= limit && (n = std::fread(block, 1, sizeof block, f)) > 0) text->append(block, n);
    const int saved = errno;
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) return sim_fail(error, path, std::string("cannot be read: ") + std::strerror(saved));
    if (text->size() > limit) return sim_fail(error, path, "too large");
    return true;
}

bool sim_write_file(const std::string &path, const char *mode, long offset, const void *bytes, size_t size,
                    std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), mode);
    if (!f) return sim_fail_errno(error, path);
    const bool written =
        std::fseek(f, offset, SEEK_SET) == 0 && std::fwrite(bytes, 1, size, f) == size && std::fflush(f) == 0;
    const int saved = errno;
    if (std::fclose(f) != 0 || !written) return sim_fail(error, path, std::strerror(written ? errno : saved));
    return true;
}

bool sim_replace_whole(const std::string &path, const std::string &text, std::string *error) {
    const std::string tmp = path + "." + std::to_string(sim_process_id()) + ".tmp";
    if (!sim_write_file(tmp, "wb", 0, text.data(), text.size(), error)) {
        std::remove(tmp.c_str());
        return false;
    }
    if (!sim_replace_file(tmp, path)) {
        const int saved = errno;
        std::remove(tmp.c_str());
        return sim_fail(error, path, std::strerror(saved));
    }
    return true;
}
