// A plain WinINet fetch loop with the updater's own flags, for side-by-side figures: no window,
// no notifications, no temporary file. Reads BLOCK bytes per InternetReadFile.
//   wininet_fetch BLOCK LISTFILE
// LISTFILE holds lines "URL<TAB>TARGET". Prints "files=N bytes=B seconds=S".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"  // before wininet.h

#include <wininet.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wininet_fetch BLOCK LISTFILE\n");
        return 2;
    }
    const DWORD block = static_cast<DWORD>(std::atoi(argv[1]));
    FILE* list = std::fopen(argv[2], "rb");
    if (!list || block == 0 || block > (1u << 20)) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }
    std::vector<std::pair<std::string, std::string>> jobs;
    char line[2048];
    while (std::fgets(line, sizeof line, list)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t tab = s.find('\t');
        if (tab != std::string::npos) jobs.emplace_back(s.substr(0, tab), s.substr(tab + 1));
    }
    std::fclose(list);

    std::vector<char> buffer(block);
    const auto start = std::chrono::steady_clock::now();
    HINTERNET session = InternetOpenA("wininet_fetch", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) return 1;
    long long total = 0;
    for (const auto& job : jobs) {
        HINTERNET file = InternetOpenUrlA(session, job.first.c_str(), nullptr, 0,
                                          INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY, 1);
        if (!file) {
            std::fprintf(stderr, "cannot open %s\n", job.first.c_str());
            return 1;
        }
        HANDLE out = CreateFileA(job.second.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_ARCHIVE, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot create %s\n", job.second.c_str());
            return 1;
        }
        DWORD got = 0;
        while (InternetReadFile(file, buffer.data(), block, &got) && got > 0) {
            DWORD written = 0;
            WriteFile(out, buffer.data(), got, &written, nullptr);
            total += got;
        }
        CloseHandle(out);
        InternetCloseHandle(file);
    }
    InternetCloseHandle(session);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("files=%zu bytes=%lld seconds=%.3f\n", jobs.size(), total, seconds);
    return 0;
}
