// Flash benchmark: zeda_pcie_flash_image writing an image onto a fresh
// virtual board, beside `dd bs=1024` copying the same file, the least work
// any flasher does here (the same 1 KiB reads and writes). Median wall time,
// CPU time (user + system) and peak resident memory of each process.
//
// Usage: flash_bench <zeda_pcie_flash_image> <riffa_sim> <work folder> [runs]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Sample {
    double wall_ms = 0;
    double cpu_ms = 0;
    long peak_kib = 0;
    int status = -1;
};

// Runs argv with stdout (and stderr, when quiet) sent to /dev/null and
// RIFFA_SIM_DIR set, and measures it.
Sample measure(std::vector<std::string> argv, const std::string &sim_dir, bool quiet_stderr) {
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (quiet_stderr) dup2(null, 2);
        setenv("RIFFA_SIM_DIR", sim_dir.c_str(), 1);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    Sample s;
    s.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
    s.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    s.peak_kib = usage.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return s;
}

Sample median(std::vector<Sample> runs) {
    auto mid = [&](auto field) {
        std::vector<double> v;
        for (const Sample &s : runs) v.push_back(double(s.*field));
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Sample m;
    m.wall_ms = mid(&Sample::wall_ms);
    m.cpu_ms = mid(&Sample::cpu_ms);
    m.peak_kib = long(mid(&Sample::peak_kib));
    m.status = 0;
    return m;
}

bool write_image(const std::string &path, size_t bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    uint32_t x = 2463534242u;
    std::vector<unsigned char> block(64 * 1024);
    for (size_t done = 0; done < bytes; done += block.size()) {
        for (unsigned char &b : block) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = (unsigned char)x;
        std::fwrite(block.data(), 1, std::min(block.size(), bytes - done), f);
    }
    return std::fclose(f) == 0;
}

struct Pair {
    Sample flasher, dd;
};

// Median of runs of each: the flasher onto a board created in bootloader
// mode just before it, and dd onto a file that doesn't exist yet.
bool bench_size(const std::string &flasher, const std::string &riffa_sim, const fs::path &work, size_t mib,
                int runs, Pair *out) {
    const std::string image = (work / ("image_" + std::to_string(mib) + "MiB.bin")).string();
    if (!write_image(image, mib << 20)) return std::fprintf(stderr, "cannot write %s\n", image.c_str()), false;
    const std::string sim = (work / "sim").string();
    const std::string copy = (work / "dd.out").string();
    std::vector<Sample> flashes, copies;
    for (int i = 0; i < runs; ++i) {
        fs::remove_all(sim);
        if (measure({riffa_sim, "add", "bootloader"}, sim, true).status != 0)
            return std::fprintf(stderr, "riffa_sim add failed\n"), false;
        Sample s = measure({flasher, image}, sim, false);
        if (s.status != 0) return std::fprintf(stderr, "flashing %s failed: %d\n", image.c_str(), s.status), false;
        if (i == 0 && measure({riffa_sim, "verify", image}, sim, false).status != 0)
            return std::fprintf(stderr, "the flash does not hold %s\n", image.c_str()), false;
        flashes.push_back(s);

        fs::remove(copy);
        s = measure({"dd", "if=" + image, "of=" + copy, "bs=1024"}, sim, true);
        if (s.status != 0) return std::fprintf(stderr, "dd failed\n"), false;
        copies.push_back(s);
    }
    fs::remove_all(sim);
    fs::remove(copy);
    fs::remove(image);
    *out = {median(flashes), median(copies)};
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "Usage: %s <zeda_pcie_flash_image> <riffa_sim> <work folder> [runs]\n", argv[0]);
        return 2;
    }
    const std::string flasher = fs::absolute(argv[1]).string();
    const std::string riffa_sim = fs::absolute(argv[2]).string();
    const fs::path work = fs::absolute(argv[3]);
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
    fs::create_directories(work);

    std::vector<Pair> results;
    for (size_t mib : {1, 2, 4, 8}) {
        Pair p;
        if (!bench_size(flasher, riffa_sim, work, mib, runs, &p)) return 1;
        results.push_back(p);
    }
    const Pair &big = results.back();
    std::printf("Flashing an 8 MiB image onto a fresh virtual board, stdout to /dev/null;\n"
                "median of %d runs, beside dd if=<image> of=<file> bs=1024:\n\n", runs);
    std::printf("%-24s %10s %10s %12s\n", "", "wall ms", "CPU ms", "peak KiB");
    std::printf("%-24s %10.1f %10.1f %12ld\n", "zeda_pcie_flash_image", big.flasher.wall_ms, big.flasher.cpu_ms,
                big.flasher.peak_kib);
    std::printf("%-24s %10.1f %10.1f %12ld\n", "dd bs=1024", big.dd.wall_ms, big.dd.cpu_ms, big.dd.peak_kib);
    std::printf("%-24s %10.2f %10.2f %12.2f\n", "ratio flasher/dd", big.flasher.wall_ms / big.dd.wall_ms,
                big.flasher.cpu_ms / big.dd.cpu_ms, double(big.flasher.peak_kib) / double(big.dd.peak_kib));
    std::printf("\nflasher CPU time per 1 KiB chunk: %.2f us (virtual board included)\n",
                big.flasher.cpu_ms * 1e3 / 8192);
    std::printf("\nBy image size (median wall ms):\n%-8s %10s %10s %8s\n", "image", "flasher", "dd", "ratio");
    for (size_t i = 0; i < results.size(); ++i)
        std::printf("%2zu MiB   %10.1f %10.1f %8.2f\n", size_t(1) << i, results[i].flasher.wall_ms,
                    results[i].dd.wall_ms, results[i].flasher.wall_ms / results[i].dd.wall_ms);
    return 0;
}
