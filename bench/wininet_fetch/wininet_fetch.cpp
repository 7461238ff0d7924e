// A plain WinINet fetch loop with the updater's own flags, for side-by-side figures: no window,
// no notifications, no temporary file. Reads BLOCK bytes per InternetReadFile.
//   wininet_fetch BLOCK LISTFILE [OPTION...]
// LISTFILE holds lines "URL<TAB>TARGET". Prints "files=N bytes=B seconds=S reads=R".
//
// Options add one piece of the updater's own work at a time, or try a platform setting, so that
// their costs can be told apart:
//   flags=HEX       open flags instead of INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY
//   timeouts        the updater's connect/receive/send time-outs on the session, and again on every
//                   request handle from a status callback (as the updater sets them)
//   callback        a status callback on the session that does nothing
//   notify          the loop runs on a second thread and posts one message per block to a window
//                   of the main thread, which pumps them (the updater's progress messages)
//   partial         write to TARGET.partial, set the file time, flush, then move it over TARGET
//   readex          InternetReadFileExA(IRF_SYNC) with one INTERNET_BUFFERS of at most BLOCK bytes
//   readex-nowait   the same with IRF_NO_WAIT (falls back to a blocking read when nothing is there)
//   querydata       InternetQueryDataAvailable before every read
//   readbuf=N       InternetSetOption(INTERNET_OPTION_READ_BUFFER_SIZE, N) on every request handle
//   keepalive       INTERNET_FLAG_KEEP_CONNECTION added to the open flags
//   progress        as notify, but the window is shown, 403 x 140 like the updater's, and every
//                   message moves two progress bars (PBM_SETPOS for the file and for the total)
//   progress-pixel  as progress, but a bar is moved only when its filled width changes by a pixel
//   progress-ms=N   as progress, but the bars are moved at most once every N milliseconds
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"  // before wininet.h

#include <commctrl.h>
#include <wininet.h>

namespace {

struct Options {
    DWORD block = 4096;
    DWORD flags = INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY;
    bool timeouts = false;
    bool callback = false;
    bool notify = false;
    bool partial = false;
    int readex = 0;  // 0 InternetReadFile, 1 IRF_SYNC, 2 IRF_NO_WAIT
    bool querydata = false;
    DWORD readbuf = 0;
    int progress = 0;  // 0 none, 1 every message, 2 when a bar's width changes, 3 every progressMs
    DWORD progressMs = 0;
};

Options g_opt;
std::vector<std::pair<std::string, std::string>> g_jobs;
long long g_total = 0;
long long g_reads = 0;
long long g_posts = 0;
int g_failed = 0;
HWND g_window = nullptr;
HWND g_bars[2] = {nullptr, nullptr};
const int kBarWidth = 383;
const UINT kNotify = WM_APP + 7;

void SetTimeouts(HINTERNET handle) {
    DWORD connect = 15000;
    DWORD transfer = 20000;
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &transfer, sizeof transfer);
    InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &transfer, sizeof transfer);
}

void CALLBACK OnStatus(HINTERNET, DWORD_PTR, DWORD status, void* info, DWORD infoSize) {
    if (!g_opt.timeouts || status != INTERNET_STATUS_HANDLE_CREATED || !info || infoSize < sizeof(HINTERNET)) return;
    HINTERNET created = nullptr;
    std::memcpy(&created, info, sizeof created);
    if (created) SetTimeouts(created);
}

bool ReadBlock(HINTERNET file, char* buffer, DWORD* got) {
    ++g_reads;
    if (g_opt.querydata) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(file, &available, 0, 0)) return false;
    }
    if (g_opt.readex == 0) return InternetReadFile(file, buffer, g_opt.block, got) != FALSE;
    INTERNET_BUFFERSA ib;
    std::memset(&ib, 0, sizeof ib);
    ib.dwStructSize = sizeof ib;
    ib.lpvBuffer = buffer;
    ib.dwBufferLength = g_opt.block;
    if (g_opt.readex == 2) {
        if (InternetReadFileExA(file, &ib, IRF_NO_WAIT, 1) && ib.dwBufferLength > 0) {
            *got = ib.dwBufferLength;
            return true;
        }
        // Nothing buffered yet: wait for the next block.
        ib.dwBufferLength = g_opt.block;
    }
    if (!InternetReadFileExA(file, &ib, IRF_SYNC, 1)) return false;
    *got = ib.dwBufferLength;
    return true;
}

bool FetchOne(HINTERNET session, const std::string& url, const std::string& target, char* buffer) {
    HINTERNET file = InternetOpenUrlA(session, url.c_str(), nullptr, 0, g_opt.flags, 1);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", url.c_str());
        return false;
    }
    if (g_opt.readbuf) {
        DWORD size = g_opt.readbuf;
        if (!InternetSetOptionA(file, INTERNET_OPTION_READ_BUFFER_SIZE, &size, sizeof size)) {
            static bool told = false;
            if (!told) std::fprintf(stderr, "INTERNET_OPTION_READ_BUFFER_SIZE refused: %lu\n", GetLastError());
            told = true;
        }
    }
    const std::string path = g_opt.partial ? target + ".partial" : target;
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        InternetCloseHandle(file);
        return false;
    }
    DWORD got = 0;
    long long received = 0;
    if (g_opt.notify) {
        char length[64] = {};
        DWORD lengthSize = sizeof length;
        HttpQueryInfoA(file, HTTP_QUERY_CONTENT_LENGTH, length, &lengthSize, nullptr);
        PostMessageA(g_window, kNotify, 2, static_cast<LPARAM>(std::atoll(length)));
    }
    while (ReadBlock(file, buffer, &got) && got > 0) {
        DWORD written = 0;
        WriteFile(out, buffer, got, &written, nullptr);
        received += got;
        if (g_opt.notify) {
            PostMessageA(g_window, kNotify, 1, static_cast<LPARAM>(received));
            ++g_posts;
        }
    }
    g_total += received;
    if (g_opt.partial) {
        FILETIME ft{0x12345678u, 0x01d00000u};
        SetFileTime(out, nullptr, nullptr, &ft);
        FlushFileBuffers(out);
    }
    CloseHandle(out);
    if (g_opt.partial) MoveFileExA(path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    InternetCloseHandle(file);
    return true;
}

void FetchAll() {
    std::vector<char> buffer(g_opt.block);
    HINTERNET session = InternetOpenA("wininet_fetch", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) {
        g_failed = 1;
        return;
    }
    if (g_opt.timeouts) SetTimeouts(session);
    if (g_opt.callback || g_opt.timeouts) InternetSetStatusCallbackA(session, OnStatus);
    for (const auto& job : g_jobs) {
        if (!FetchOne(session, job.first, job.second, buffer.data())) {
            g_failed = 1;
            break;
        }
    }
    InternetCloseHandle(session);
}

unsigned long long g_seen = 0;

struct Bar {
    long long range = 1;
    long long pos = 0;
    int pixel = -1;
};
Bar g_bar[2];
long long g_done = 0;  // bytes of the files before the current one

DWORD g_lastMove = 0;

void MoveBar(int i, long long pos) {
    Bar& b = g_bar[i];
    b.pos = pos;
    if (!g_bars[i]) return;
    const int pixel = static_cast<int>(pos * kBarWidth / (b.range > 0 ? b.range : 1));
    if (g_opt.progress == 2 && pixel == b.pixel) return;
    b.pixel = pixel;
    SendMessageA(g_bars[i], PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kNotify) {
        ++g_seen;
        if (wp == 0) PostQuitMessage(0);
        if (wp == 2) {
            g_done += g_bar[0].pos;
            g_bar[0] = Bar();
            g_bar[0].range = lp;
            if (g_bars[0]) SendMessageA(g_bars[0], PBM_SETRANGE32, 0, lp);
            MoveBar(0, 0);
        }
        if (wp == 1) {
            if (g_opt.progress == 3) {
                const DWORD now = GetTickCount();
                if (now - g_lastMove < g_opt.progressMs) {
                    g_bar[0].pos = lp;
                    return 0;
                }
                g_lastMove = now;
            }
            MoveBar(0, lp);
            MoveBar(1, g_done + lp);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

DWORD WINAPI Worker(void*) {
    FetchAll();
    PostMessageA(g_window, kNotify, 0, 0);
    return 0;
}

bool ParseOption(const char* arg) {
    if (std::strncmp(arg, "flags=", 6) == 0) {
        g_opt.flags = static_cast<DWORD>(std::strtoul(arg + 6, nullptr, 16));
    } else if (std::strcmp(arg, "timeouts") == 0) {
        g_opt.timeouts = true;
    } else if (std::strcmp(arg, "callback") == 0) {
        g_opt.callback = true;
    } else if (std::strcmp(arg, "notify") == 0) {
        g_opt.notify = true;
    } else if (std::strcmp(arg, "partial") == 0) {
        g_opt.partial = true;
    } else if (std::strcmp(arg, "readex") == 0) {
        g_opt.readex = 1;
    } else if (std::strcmp(arg, "readex-nowait") == 0) {
        g_opt.readex = 2;
    } else if (std::strcmp(arg, "querydata") == 0) {
        g_opt.querydata = true;
    } else if (std::strncmp(arg, "readbuf=", 8) == 0) {
        g_opt.readbuf = static_cast<DWORD>(std::strtoul(arg + 8, nullptr, 10));
    } else if (std::strcmp(arg, "progress") == 0) {
        g_opt.notify = true;
        g_opt.progress = 1;
    } else if (std::strcmp(arg, "progress-pixel") == 0) {
        g_opt.notify = true;
        g_opt.progress = 2;
    } else if (std::strncmp(arg, "progress-ms=", 12) == 0) {
        g_opt.notify = true;
        g_opt.progress = 3;
        g_opt.progressMs = static_cast<DWORD>(std::strtoul(arg + 12, nullptr, 10));
    } else if (std::strcmp(arg, "keepalive") == 0) {
        g_opt.flags |= INTERNET_FLAG_KEEP_CONNECTION;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: wininet_fetch BLOCK LISTFILE [OPTION...]\n");
        return 2;
    }
    g_opt.block = static_cast<DWORD>(std::atoi(argv[1]));
    for (int i = 3; i < argc; ++i) {
        if (!ParseOption(argv[i])) {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    FILE* list = std::fopen(argv[2], "rb");
    if (!list || g_opt.block == 0 || g_opt.block > (1u << 20)) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }
    char line[2048];
    while (std::fgets(line, sizeof line, list)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t tab = s.find('\t');
        if (tab != std::string::npos) g_jobs.emplace_back(s.substr(0, tab), s.substr(tab + 1));
    }
    std::fclose(list);

    const auto start = std::chrono::steady_clock::now();
    if (g_opt.notify) {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "wininet_fetch_sink";
        RegisterClassA(&wc);
        if (g_opt.progress) {
            INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&icc);
            g_window = CreateWindowA("wininet_fetch_sink", "bench", WS_POPUP | WS_VISIBLE, 310, 314, 403, 140, nullptr,
                                     nullptr, wc.hInstance, nullptr);
            for (int i = 0; i < 2; ++i)
                g_bars[i] = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 80 + 25 * i, kBarWidth,
                                            14, g_window, nullptr, wc.hInstance, nullptr);
            // The total's range: the sizes are not known up front; any fixed range paints alike.
            g_bar[1].range = 1LL << 30;
            if (g_bars[1]) SendMessageA(g_bars[1], PBM_SETRANGE32, 0, 1 << 30);
        } else {
            // A message-only window: messages without a window on the screen.
            g_window = CreateWindowA("wininet_fetch_sink", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                     nullptr);
        }
        if (!g_window) return 1;
        HANDLE thread = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        FetchAll();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("files=%zu bytes=%lld seconds=%.3f reads=%lld messages=%llu\n", g_jobs.size(), g_total, seconds,
                g_reads, g_seen);
    return g_failed;
}
