// Times the engine's catalogue, inventory and plan code on real folders, as the updater runs it:
//   (a) parse + plan of a 300-entry catalogue against the inventory of a 300-file folder,
//   (b) the scan (BuildLocalInventory) of a 10,000-file tree, which records 300 files and walks
//       all of them.
// Each figure is the median of several runs after one unmeasured warm-up run, so the file
// system's caches are warm. Engines are allocated and catalogue bytes copied outside the timed
// part; everything the updater does inside ParseCatalogue, BuildUpdatePlan and
// BuildLocalInventory (folder creation attempts, directory listing, name conversion, local-time
// conversion) is inside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

#include "engine/update_engine.h"
#include "platform/platform.h"
#include "tools/update-catalogue/catalogue_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarn::FileTime;
using tarn::SystemPlatform;
using tarn::UpdateEngine;

constexpr uint64_t kBaseTime = 128810000000000000ULL;  // 2009-03-06, an even second

struct Figures {
    double median, min, max;
    int runs;
};

// Runs setup (untimed) and then body (timed) the given number of times, after one warm-up.
// Under callgrind (bench/run.sh) the body runs once after the warm-up, and the instructions of
// that run alone are dumped under the label, so that changes can be compared exactly.
Figures Measure(const char* label, int runs, const std::function<void()>& setup,
                const std::function<void()>& body) {
    const bool callgrind = RUNNING_ON_VALGRIND;
    if (callgrind) runs = 1;
    std::vector<double> micros;
    for (int i = 0; i <= runs; ++i) {
        setup();
        const auto start = Clock::now();
        if (callgrind && i == runs) {
            CALLGRIND_ZERO_STATS;
            body();
            CALLGRIND_DUMP_STATS_AT(label);
        } else {
            body();
        }
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (i > 0) micros.push_back(us);
    }
    std::sort(micros.begin(), micros.end());
    const size_t n = micros.size();
    const double median = n % 2 ? micros[n / 2] : (micros[n / 2 - 1] + micros[n / 2]) / 2;
    return Figures{median, micros.front(), micros.back(), runs};
}

void Print(const char* what, const Figures& f) {
    std::printf("%-62s median %9.1f us   (min %.1f, max %.1f, %d runs)\n", what, f.median, f.min, f.max, f.runs);
}

void WriteFile(const std::string& path, size_t size, uint64_t fileTime) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    const int64_t unixTicks = static_cast<int64_t>(fileTime) - 116444736000000000LL;
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = static_cast<time_t>(unixTicks / 10000000);
    ts[1].tv_nsec = static_cast<long>(unixTicks % 10000000) * 100;
    if (utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0) std::perror(path.c_str());
}

// The engine speaks backslash paths; on POSIX they are the Unix path with '/' turned round.
std::string EnginePath(std::string host) {
    std::replace(host.begin(), host.end(), '/', '\\');
    return host;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 10, "model name") == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/core-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return std::perror("mkdtemp"), 1;
    const std::string root = buf.data();
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return 1;

    std::printf("core_bench: %u cores (%s), build %s, load average at start %s\n", std::thread::hardware_concurrency(),
                CpuModel().c_str(), BENCH_BUILD_TYPE, LoadAverage().c_str());
    std::printf("folders under %s, caches warm; figures in microseconds\n\n", root.c_str());

    // (a) 300 files in 10 folders; the catalogue names them all, a third with another size.
    const std::string install = root + "/install300";
    std::filesystem::create_directories(install);
    std::vector<tarn::tool::ReleaseFile> entries;
    for (int d = 0; d < 10; ++d) {
        const std::string folder = "folder" + std::to_string(d);
        std::filesystem::create_directory(install + "/" + folder);
        for (int f = 0; f < 30; ++f) {
            const std::string name = "file" + std::to_string(f) + ".dat";
            const size_t size = static_cast<size_t>(100 + d * 30 + f);
            const uint64_t time = kBaseTime + static_cast<uint64_t>(d * 30 + f) * 20000000ULL;
            WriteFile(install + "/" + folder + "/" + name, size, time);
            const uint64_t listed = (f % 3 == 0) ? size + 1 : size;
            entries.push_back({folder + "\\" + name, folder + "/" + name, listed, tarn::FromU64(time)});
        }
    }
    const std::string catalogue = tarn::tool::EncodeCatalogue({"http://127.0.0.1:18380/files/"}, entries);

    std::unique_ptr<UpdateEngine> engine;
    auto fresh = [&] {
        engine = std::make_unique<UpdateEngine>(SystemPlatform());
        engine->InstallDir = EnginePath(install);
    };
    auto load = [&] {
        std::unique_ptr<uint8_t[]> data(new uint8_t[catalogue.size()]);
        std::memcpy(data.get(), catalogue.data(), catalogue.size());
        engine->SetCatalogueData(std::move(data), static_cast<int32_t>(catalogue.size()));
    };

    // The inventory once, kept as the starting point of every parse + plan run.
    fresh();
    engine->BuildLocalInventory();
    auto inventory = std::make_unique<UpdateEngine>(SystemPlatform());
    std::memcpy(inventory->localList, engine->localList, sizeof engine->localList);
    inventory->localCount = engine->localCount;

    const Figures parsePlan = Measure(
        "parse+plan", 51,
        [&] {
            fresh();
            std::memcpy(engine->localList, inventory->localList, sizeof engine->localList);
            engine->localCount = inventory->localCount;
            load();
        },
        [&] {
            engine->ParseCatalogue();
            engine->BuildUpdatePlan();
        });
    std::printf("(a) %d local files, %d entries, %d to download, %d bytes\n", engine->localCount, engine->serverCount,
                engine->downloadCount, engine->totalBytes);
    Print("    parse + plan (ParseCatalogue, BuildUpdatePlan)", parsePlan);
    // The two halves on their own, to show where the time goes.
    const Figures parseOnly = Measure(
        "parse", 51,
        [&] {
            fresh();
            load();
        },
        [&] { engine->ParseCatalogue(); });
    Print("      of which parse (incl. 300 folder creation attempts)", parseOnly);
    const Figures planOnly = Measure(
        "plan", 51,
        [&] {
            fresh();
            std::memcpy(engine->localList, inventory->localList, sizeof engine->localList);
            engine->localCount = inventory->localCount;
            load();
            engine->ParseCatalogue();
        },
        [&] { engine->BuildUpdatePlan(); });
    Print("      of which plan (600 local-time texts, 300 x 300 compares)", planOnly);
    const Figures scanParsePlan = Measure(
        "scan300+parse+plan", 21, [&] { fresh(); },
        [&] {
            engine->BuildLocalInventory();
            load();
            engine->ParseCatalogue();
            engine->BuildUpdatePlan();
        });
    Print("    scan + parse + plan of the same folder", scanParsePlan);

    // (b) 10,000 empty files in 100 folders of 100.
    const std::string tree = root + "/tree10000";
    std::filesystem::create_directories(tree);
    for (int d = 0; d < 100; ++d) {
        const std::string folder = tree + "/dir" + std::to_string(d);
        std::filesystem::create_directory(folder);
        for (int f = 0; f < 100; ++f) {
            const int fd = open((folder + "/f" + std::to_string(f) + ".bin").c_str(), O_CREAT | O_WRONLY, 0644);
            if (fd >= 0) close(fd);
        }
    }
    const Figures scan = Measure(
        "scan10000", 11,
        [&] {
            engine = std::make_unique<UpdateEngine>(SystemPlatform());
            engine->InstallDir = EnginePath(tree);
        },
        [&] { engine->BuildLocalInventory(); });
    std::printf("\n(b) 10,000 files in 100 folders: %d recorded, %d walked past the 300 limit\n", engine->localCount,
                engine->localSkipped);
    Print("    scan (BuildLocalInventory)", scan);

    engine.reset();
    if (chdir(cwd) != 0) std::perror("chdir");
    std::filesystem::remove_all(root);
    return 0;
}
