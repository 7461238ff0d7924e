// <windows.h> first: tlhelp32.h needs its types.
// clang-format off
#include "platform/win32.h"
#include <tlhelp32.h>
// clang-format on

#include <cstring>

#include "app/app_names.h"
#include "app/client_control.h"
#include "app/image_name.h"
#include "base/text.h"
#include "platform/unique_handle.h"

namespace tarn {

namespace {

class Win32ClientWindows final : public ClientWindowServices {
public:
    uint32_t RegisterMessage(const char* name) override { return RegisterWindowMessageA(name); }

    void* FindTopLevelWindow(const char* title) override { return FindWindowA(nullptr, title); }

    bool SendTimed(void* window, uint32_t message, uint32_t timeoutMs, uint32_t* lastError) override {
        DWORD_PTR result = 0;
        const LRESULT sent =
            SendMessageTimeoutA(static_cast<HWND>(window), message, 0, 0, SMTO_NORMAL, timeoutMs, &result);
        *lastError = sent ? 0 : GetLastError();
        return sent != 0;
    }

    void Broadcast(uint32_t message) override { SendMessageA(HWND_BROADCAST, message, 0, 0); }
};

// Upper case of one double-byte character through the system's case table. Only a result that is
// again one double-byte character of the same code page is taken.
bool UpperDoubleByte(unsigned char* lead, unsigned char* trail) {
    const char in[2] = {static_cast<char>(*lead), static_cast<char>(*trail)};
    WCHAR wide = 0;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in, 2, &wide, 1) != 1) return false;
    WCHAR upper = wide;
    CharUpperBuffW(&upper, 1);
    if (upper == wide) return false;
    char out[4] = {};
    BOOL usedDefault = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, &upper, 1, out, sizeof out, nullptr, &usedDefault) != 2 || usedDefault)
        return false;
    *lead = static_cast<unsigned char>(out[0]);
    *trail = static_cast<unsigned char>(out[1]);
    return true;
}

}  // namespace

void UpperCaseAnsi(char* text) {
    UpperCaseCp949(text, &UpperDoubleByte);
}

namespace {

// PROCESS_ALL_ACCESS as the systems of this program's generation define it.
constexpr DWORD kProcessAllAccess = 0x1F0FFF;

class Win32Processes final : public ProcessServices {
public:
    uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }

    void UpperCase(char* text) override { UpperCaseAnsi(text); }

    bool TakeSnapshot() override {
        snapshot_.reset(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        return static_cast<bool>(snapshot_);
    }

    bool FirstProcess(ProcessEntry* entry) override { return Read(entry, &Process32First); }
    bool NextProcess(ProcessEntry* entry) override { return Read(entry, &Process32Next); }

    bool OpenAndTerminate(uint32_t processId) override {
        UniqueKernelHandle process(OpenProcess(kProcessAllAccess, FALSE, processId));
        if (!process) return false;
        DWORD exitCode = 0;
        GetExitCodeProcess(process.get(), &exitCode);
        TerminateProcess(process.get(), exitCode);
        return true;
    }

private:
    bool Read(ProcessEntry* entry, BOOL(WINAPI* step)(HANDLE, LPPROCESSENTRY32)) {
        PROCESSENTRY32 pe;
        ZeroMemory(&pe, sizeof pe);
        pe.dwSize = sizeof pe;
        if (!step(snapshot_.get(), &pe)) return false;
        entry->processId = pe.th32ProcessID;
        CopyBytesAsText(entry->exeFile, sizeof entry->exeFile, pe.szExeFile,
                        strnlen(pe.szExeFile, sizeof pe.szExeFile));
        return true;
    }

    // Snapshots use INVALID_HANDLE_VALUE for failure.
    UniqueFileHandle snapshot_;
};

#ifndef _WIN64
static_assert(sizeof(PROCESSENTRY32) == 296, "the ANSI process entry of 32-bit Windows");
#endif

}  // namespace

WakeResult WakeRunningClient() {
    Win32ClientWindows windows;
    return WakeRunningClient(windows);
}

bool TerminateProcessByName(const char* name) {
    Win32Processes processes;
    return TerminateProcessByName(processes, name);
}

}  // namespace tarn
