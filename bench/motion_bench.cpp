// Times motion detection on a card-like folder of a few thousand clips, with and without a
// folder-listing cache, and the Gyroflow CSV reader on a large log.
//
// Usage: motion_bench [CLIPS] [LOG_MB] [WORK_DIR]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "json_writer/json_writer.hpp"
#include "motion/motion.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void write_log(const fs::path& path, std::uint64_t rows) {
    std::ofstream out(path, std::ios::binary);
    out << "GYROFLOW IMU LOG\nversion,1.3\nvendor,benchcam\ntscale,0.001\n"
           "gscale,0.00122173047\nascale,0.00048828125\nt,gx,gy,gz,ax,ay,az\n";
    for (std::uint64_t i = 0; i < rows; ++i)
        out << i << ",39,86,183,-1137,-15689,-2986\n";
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time of this process (user and system) in milliseconds: steadier than wall time
// on a shared machine.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    int clips = argc > 1 ? std::atoi(argv[1]) : 3000;
    int log_mb = argc > 2 ? std::atoi(argv[2]) : 300;
    fs::path work =
        argc > 3 ? fs::path(argv[3])
                 : fs::temp_directory_path() / ("motion-bench-" + std::to_string(::getpid()));
    fs::path card = work / "DCIM";
    fs::create_directories(card);

    // A card folder: every clip, a log beside every tenth, a project beside every twentieth.
    std::vector<fs::path> paths;
    for (int i = 0; i < clips; ++i) {
        char stem[16];
        std::snprintf(stem, sizeof stem, "C%05d", i);
        fs::path clip = card / (std::string(stem) + ".MP4");
        std::ofstream(clip).put('\0');
        std::ofstream(card / (std::string(stem) + ".XML")) << "<xml/>";
        if (i % 10 == 0) write_log(card / (std::string(stem) + ".gcsv"), 25);
        if (i % 20 == 0)
            std::ofstream(card / (std::string(stem) + ".gyroflow")) << R"({"videofile":"x"})";
        paths.push_back(clip);
    }
    std::size_t entries = 0;
    for (auto it = fs::directory_iterator(card); it != fs::directory_iterator(); ++it)
        ++entries;

    std::vector<std::string> fresh_out, cached_out;
    auto start = Clock::now();
    double cpu_start = cpu_ms();
    for (const auto& clip : paths)
        fresh_out.push_back(json_writer::compact(model::to_json(motion::detect(clip, {}))));
    double fresh_ms = ms_since(start);
    double fresh_cpu = cpu_ms() - cpu_start;

    motion::DirCache cache;
    start = Clock::now();
    cpu_start = cpu_ms();
    for (const auto& clip : paths)
        cached_out.push_back(json_writer::compact(model::to_json(motion::detect(clip, {}, cache))));
    double cached_ms = ms_since(start);
    double cached_cpu = cpu_ms() - cpu_start;

    std::printf("folder: %d clips, %zu entries\n", clips, entries);
    std::printf("detect without cache: %.1f ms total, %.1f us per clip (cpu %.1f us)\n", fresh_ms,
                1000.0 * fresh_ms / clips, 1000.0 * fresh_cpu / clips);
    std::printf("detect with DirCache: %.1f ms total, %.1f us per clip (cpu %.1f us)\n", cached_ms,
                1000.0 * cached_ms / clips, 1000.0 * cached_cpu / clips);
    std::printf("outputs identical: %s\n", fresh_out == cached_out ? "yes" : "NO");

    if (log_mb > 0) {
        fs::path big = work / "big.gcsv";
        // About 33 bytes per row.
        write_log(big, static_cast<std::uint64_t>(log_mb) * 1024 * 1024 / 33);
        double mb = static_cast<double>(fs::file_size(big)) / (1024.0 * 1024.0);
        long rss_before = peak_rss_kib();
        start = Clock::now();
        cpu_start = cpu_ms();
        auto log = motion::parse_gcsv(big);
        double parse_ms = ms_since(start);
        double parse_cpu = cpu_ms() - cpu_start;
        std::printf("parse_gcsv: %.0f MB, %llu samples, %.0f ms (cpu %.0f ms, %.0f MB/s of cpu), "
                    "peak RSS %ld -> %ld KiB\n",
                    mb, log ? static_cast<unsigned long long>(log->samples) : 0ull, parse_ms,
                    parse_cpu, mb * 1000.0 / parse_cpu, rss_before, peak_rss_kib());
    }

    std::error_code ec;
    if (argc <= 3) fs::remove_all(work, ec);
    return fresh_out == cached_out ? 0 : 1;
}
