// Test build of the updater that faults on purpose: the product's own sources, plus this file,
// which starts a thread that writes through a null pointer as soon as the updater window exists
// (the window switches crash reporting on when it is created). A fault inside a window or hook
// procedure would not do: the system may swallow exceptions raised in callbacks. The product
// never contains this file.
#include "platform/win32.h"

namespace {

BOOL CALLBACK FindOwnDialog(HWND hwnd, LPARAM lParam) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[16] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == GetCurrentProcessId() && lstrcmpA(cls, "#32770") == 0) {
        *reinterpret_cast<bool*>(lParam) = true;
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI FaultWhenWindowExists(void*) {
    for (int i = 0; i < 6000; ++i) {
        bool found = false;
        EnumWindows(&FindOwnDialog, reinterpret_cast<LPARAM>(&found));
        if (found) {
            int* volatile target = nullptr;
            *target = 0x7E57;
        }
        Sleep(10);
    }
    return 0;
}

struct FaultThread {
    FaultThread() { CloseHandle(CreateThread(nullptr, 0, &FaultWhenWindowExists, nullptr, 0, nullptr)); }
} g_faultThread;

}  // namespace
