// Test build of the updater that faults on purpose: the product's own sources, plus this file,
// which makes the main thread write through a null pointer when the window's start command
// arrives (after the window has switched crash reporting on). The product never contains it.
#include "platform/win32.h"

namespace {

constexpr WPARAM kStartUpdate = 1611;

LRESULT CALLBACK OnGetMessage(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code >= 0 && wParam == PM_REMOVE && msg->message == WM_COMMAND && LOWORD(msg->wParam) == kStartUpdate) {
        int* volatile target = nullptr;
        *target = 0x7E57;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct HookInstaller {
    HookInstaller() { SetWindowsHookExA(WH_GETMESSAGE, &OnGetMessage, nullptr, GetCurrentThreadId()); }
} g_hookInstaller;

}  // namespace
