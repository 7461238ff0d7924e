// Stand-in client for the end-to-end tests of the updater's start-up, and a launcher.
//
// Every start appends a "start" line (time, current directory, command line, argument count) to the log: by
// default standin.log beside the executable, or the file named by --log or by the environment
// variable TARN_STANDIN_LOG. Lines are tab-separated: unix-ms, pid, image name, event, fields.
//
// Without arguments it also logs the state of the client mutex and ends: that is how the updater
// starts the client at the end of a run. Modes, combinable:
//   --mutex            take the client mutex "피마파일" (kept until the program ends)
//   --updater-mutex    take the updater's mutex "피마업데이트"
//   --abandon          end at once after taking the mutexes, without releasing them
//   --window answer    a top-level window titled "피마파일" that answers and logs the wake-up message
//   --window hang      the same window, but the thread never pumps messages after creating it
//   --lifetime MS      stay this long (default 30000 when a mutex or window is held), then "exit"
//   --probe            log the state of the client mutex (free, abandoned, owned) and let it go
//   --open-mutex       open (create) the client mutex without waiting on it: keeps an abandoned
//                      mutex in existence after its owner has gone
// Tools:
//   --spawn EXE --cmdline-hex HEX [--cwd DIR] [--wait-ms MS]
//                      start EXE with exactly the given command line bytes, wait for its end
//   --snapshot         log every process of a Toolhelp snapshot, in snapshot order
//   --resources EXE    log the version resource and the manifest of EXE
//   --kill-pid PID     terminate the process with this id (test clean-up)
//   --hold PATH        keep PATH open for reading, shared with nobody, for --lifetime
// <windows.h> first: tlhelp32.h needs its types.
// clang-format off
#include "platform/win32.h"
#include <tlhelp32.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The client's fixed names, written out here on their own so that a wrong name in the updater is
// not mirrored by the stand-in. CP949 at run time.
const char kClientMutex[] = "피마파일";
const char kUpdaterMutex[] = "피마업데이트";
const char kWindowTitle[] = "피마파일";
const char kWakeupName[] = "Rivoruzu wakeup ";

std::string g_logPath;
std::string g_imageName;
UINT g_wakeupMessage = 0;

long long UnixMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const unsigned long long t = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<long long>((t - 116444736000000000ULL) / 10000ULL);
}

void Log(const std::string& event, const std::string& fields = std::string()) {
    char head[96];
    std::snprintf(head, sizeof head, "%lld\t%lu\t", UnixMs(), static_cast<unsigned long>(GetCurrentProcessId()));
    std::string line = head + g_imageName + "\t" + event;
    if (!fields.empty()) line += "\t" + fields;
    line += "\r\n";
    // Opened per line: several copies may append to one file.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = CreateFileA(g_logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(f);
            return;
        }
        Sleep(10);
    }
}

std::string ModuleDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH - 1);
    std::string s(path);
    const size_t slash = s.find_last_of('\\');
    g_imageName = slash == std::string::npos ? s : s.substr(slash + 1);
    return slash == std::string::npos ? std::string(".") : s.substr(0, slash);
}

const char* WaitText(DWORD r) {
    switch (r) {
        case WAIT_OBJECT_0:
            return "taken";
        case WAIT_ABANDONED:
            return "abandoned";
        case WAIT_TIMEOUT:
            return "owned-elsewhere";
        default:
            return "failed";
    }
}

HANDLE TakeMutex(const char* name, const char* label) {
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    const DWORD created = GetLastError();
    const DWORD r = m ? WaitForSingleObject(m, 0) : WAIT_FAILED;
    Log("mutex",
        std::string(label) + "=" + WaitText(r) + (created == ERROR_ALREADY_EXISTS ? "\texisted=1" : "\texisted=0"));
    return m;
}

void Probe() {
    HANDLE m = CreateMutexA(nullptr, FALSE, kClientMutex);
    const DWORD r = m ? WaitForSingleObject(m, 0) : WAIT_FAILED;
    const char* state = r == WAIT_OBJECT_0 ? "free" : WaitText(r);
    Log("probe", std::string("client=") + state);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(m);
    if (m) CloseHandle(m);
}

LRESULT CALLBACK ClientWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (g_wakeupMessage != 0 && msg == g_wakeupMessage) {
        char fields[96];
        std::snprintf(fields, sizeof fields, "msg=%u\twparam=%llu\tlparam=%lld", msg,
                      static_cast<unsigned long long>(wp), static_cast<long long>(lp));
        Log("wakeup", fields);
        return 1;
    }
    if (msg == WM_KEYDOWN) Log("keydown");
    return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND CreateClientWindow(HINSTANCE instance) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ClientWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = "TarnStandInClient";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    RegisterClassA(&wc);
    HWND w = CreateWindowExA(0, wc.lpszClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, 10, 10, 200, 80, nullptr, nullptr,
                             instance, nullptr);
    if (w) ShowWindow(w, SW_SHOWNOACTIVATE);
    return w;
}

bool HexToBytes(const std::string& hex, std::string* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        const long v = std::strtol(pair, &end, 16);
        if (*end) return false;
        out->push_back(static_cast<char>(v));
    }
    return true;
}

int Spawn(const std::string& exe, const std::string& cmdlineHex, const std::string& cwd, DWORD waitMs) {
    std::string cmdline;
    if (!HexToBytes(cmdlineHex, &cmdline)) {
        Log("error", "bad --cmdline-hex");
        return 2;
    }
    std::vector<char> line(cmdline.begin(), cmdline.end());
    line.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const long long t0 = UnixMs();
    Log("spawn", "t0=" + std::to_string(t0));
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        Log("error", "CreateProcessA=" + std::to_string(GetLastError()));
        return 3;
    }
    Log("spawned", "pid=" + std::to_string(pi.dwProcessId));
    const DWORD r = WaitForSingleObject(pi.hProcess, waitMs);
    const long long elapsed = UnixMs() - t0;
    if (r == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        Log("ended", "pid=" + std::to_string(pi.dwProcessId) + "\tms=" + std::to_string(elapsed) +
                         "\tcode=" + std::to_string(code));
    } else {
        Log("timeout", "pid=" + std::to_string(pi.dwProcessId) + "\tms=" + std::to_string(elapsed));
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

void Snapshot() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        Log("error", "snapshot");
        return;
    }
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
        Log("process", "pid=" + std::to_string(pe.th32ProcessID) + "\tname=" + pe.szExeFile);
    CloseHandle(snap);
}

std::string OneLine(const char* data, size_t n) {
    std::string s(data, n);
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    return s;
}

void Resources(const std::string& exe) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    std::vector<char> info(size ? size : 1);
    if (size && GetFileVersionInfoA(exe.c_str(), 0, size, info.data())) {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed) {
            char f[128];
            std::snprintf(f, sizeof f, "file=%u.%u.%u.%u\tproduct=%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                          LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                          LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
                          LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                          LOWORD(fixed->dwProductVersionLS));
            Log("version", f);
        }
        struct Translation {
            WORD language;
            WORD codePage;
        }* tr = nullptr;
        if (VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr), &len) && tr &&
            len >= sizeof *tr) {
            char block[64];
            std::snprintf(block, sizeof block, "%04x%04x", tr->language, tr->codePage);
            for (const char* key : {"FileVersion", "ProductVersion"}) {
                const std::string query = std::string("\\StringFileInfo\\") + block + "\\" + key;
                char* value = nullptr;
                if (VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &len) && value)
                    Log("version-string", std::string("block=") + block + "\t" + key + "=" + value);
            }
        }
    } else {
        Log("error", "no version resource");
    }
    HMODULE m = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC r = m ? FindResourceA(m, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    if (r) {
        const DWORD n = SizeofResource(m, r);
        const char* data = static_cast<const char*>(LockResource(LoadResource(m, r)));
        Log("manifest", data ? OneLine(data, n) : std::string());
    } else {
        Log("error", "no manifest 1");
    }
    if (m) FreeLibrary(m);
}

void RunFor(DWORD lifetimeMs, bool pump) {
    if (!pump) {
        Sleep(lifetimeMs);
        return;
    }
    const DWORD deadline = GetTickCount() + lifetimeMs;
    for (;;) {
        const DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, deadline - now, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const std::string dir = ModuleDir();
    g_logPath = dir + "\\standin.log";
    if (const char* env = std::getenv("TARN_STANDIN_LOG")) {
        if (*env) g_logPath = env;
    }

    bool clientMutex = false, updaterMutex = false, abandon = false, probe = false, snapshot = false;
    bool openMutex = false;
    long killPid = 0;
    std::string window, spawnExe, cmdlineHex, cwd, resourcesOf, holdPath;
    long lifetime = -1;
    long waitMs = 60000;
    for (int i = 1; i < __argc; ++i) {
        const std::string a = __argv[i];
        const bool hasValue = i + 1 < __argc;
        if (a == "--mutex")
            clientMutex = true;
        else if (a == "--updater-mutex")
            updaterMutex = true;
        else if (a == "--abandon")
            abandon = true;
        else if (a == "--probe")
            probe = true;
        else if (a == "--open-mutex")
            openMutex = true;
        else if (a == "--kill-pid" && hasValue)
            killPid = std::atol(__argv[++i]);
        else if (a == "--snapshot")
            snapshot = true;
        else if (a == "--log" && hasValue)
            g_logPath = __argv[++i];
        else if (a == "--window" && hasValue)
            window = __argv[++i];
        else if (a == "--lifetime" && hasValue)
            lifetime = std::atol(__argv[++i]);
        else if (a == "--spawn" && hasValue)
            spawnExe = __argv[++i];
        else if (a == "--cmdline-hex" && hasValue)
            cmdlineHex = __argv[++i];
        else if (a == "--cwd" && hasValue)
            cwd = __argv[++i];
        else if (a == "--wait-ms" && hasValue)
            waitMs = std::atol(__argv[++i]);
        else if (a == "--resources" && hasValue)
            resourcesOf = __argv[++i];
        else if (a == "--hold" && hasValue)
            holdPath = __argv[++i];
    }

    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, current);
    // argc as the C runtime parses the command line, which is what a client sees of it.
    Log("start", std::string("cwd=") + current + "\tcmdline=" + GetCommandLineA() + "\targc=" + std::to_string(__argc));

    if (!spawnExe.empty()) return Spawn(spawnExe, cmdlineHex, cwd, static_cast<DWORD>(waitMs));
    if (killPid != 0) {
        HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(killPid));
        const BOOL done = p && TerminateProcess(p, 1);
        Log("kill", "pid=" + std::to_string(killPid) + (done ? "\tdone=1" : "\tdone=0"));
        if (p) CloseHandle(p);
        return 0;
    }
    if (snapshot) Snapshot();
    if (!resourcesOf.empty()) Resources(resourcesOf);
    if (__argc == 1 || probe) Probe();

    // Handles stay open until the process ends: the mutexes stay owned by this thread.
    if (updaterMutex) TakeMutex(kUpdaterMutex, "updater");
    if (clientMutex) TakeMutex(kClientMutex, "client");
    HANDLE kept = nullptr;
    if (openMutex) {
        kept = CreateMutexA(nullptr, FALSE, kClientMutex);
        Log("open-mutex", kept ? "opened=1" : "opened=0");
    }
    if (abandon) {
        Log("abandon");
        ExitProcess(0);
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!holdPath.empty()) {
        held = CreateFileA(holdPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        Log("hold", held != INVALID_HANDLE_VALUE ? "ok=1" : "ok=0");
    }
    HWND w = nullptr;
    if (window == "answer" || window == "hang") {
        g_wakeupMessage = RegisterWindowMessageA(kWakeupName);
        w = CreateClientWindow(instance);
        Log("window", std::string("mode=") + window + (w ? "\tcreated=1" : "\tcreated=0"));
    }
    const bool holds = clientMutex || updaterMutex || kept != nullptr || w != nullptr || held != INVALID_HANDLE_VALUE;
    if (lifetime < 0) lifetime = holds ? 30000 : 0;
    Log("ready");
    if (lifetime > 0) RunFor(static_cast<DWORD>(lifetime), window != "hang");
    Log("exit");
    return 0;
}
