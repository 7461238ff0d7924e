// Looks at the updater window of another process and prints what it finds, one "key=value"
// record per line, for the end-to-end tests:
//   window_look find [WAIT_MS]     the window, the work area and the four controls
//   window_look map X Y CX CY      a control rectangle in dialog units, mapped to pixels with
//                                     the dialog font ("굴림" 9 points), as the dialog manager does
//   window_look progress ID        range and position of a progress bar
//   window_look key NAME           types escape, enter or altf4 into the window
//   window_look post NAME          posts close (WM_CLOSE) or syscommand-close to the window
//   window_look msgbox [WAIT_MS] [keep]
//                                     a message box: caption, text, owner; dismissed with OK
// Texts are printed as hexadecimal bytes of the ANSI code page. Exit status 0, or 1 when the
// window is not there.
// clang-format off
#include "platform/win32.h"  // <commctrl.h> needs <windows.h> first
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kProgressFile = 1000;
constexpr int kControlIds[] = {1002, 1000, 1003, 1001};

bool IsUpdaterWindow(HWND hwnd) {
    char cls[64] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0) return false;
    HWND bar = ::GetDlgItem(hwnd, kProgressFile);
    if (!bar) return false;
    ::GetClassNameA(bar, cls, sizeof cls);
    return std::strcmp(cls, PROGRESS_CLASSA) == 0;
}

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam) {
    if (::IsWindowVisible(hwnd) && IsUpdaterWindow(hwnd)) {
        *reinterpret_cast<HWND*>(lParam) = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindUpdaterWindow(DWORD waitMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        HWND found = nullptr;
        ::EnumWindows(&FindProc, reinterpret_cast<LPARAM>(&found));
        if (found || ::GetTickCount() - start >= waitMs) return found;
        ::Sleep(50);
    }
}

std::string Hex(const char* text) {
    std::string out;
    char b[4];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        std::snprintf(b, sizeof b, "%02x", *p);
        out += b;
    }
    return out;
}

void PrintRect(const char* name, const RECT& r) {
    std::printf(" %s=%ld,%ld,%ld,%ld", name, r.left, r.top, r.right, r.bottom);
}

int Find(DWORD waitMs) {
    HWND hwnd = FindUpdaterWindow(waitMs);
    if (!hwnd) {
        std::printf("window=none\n");
        return 1;
    }
    char cls[64] = {}, text[256] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    ::GetWindowTextA(hwnd, text, sizeof text);
    RECT window = {}, client = {}, work = {};
    ::GetWindowRect(hwnd, &window);
    ::GetClientRect(hwnd, &client);
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    std::printf("window hwnd=%p class=%s text=%s", static_cast<void*>(hwnd), cls, Hex(text).c_str());
    PrintRect("rect", window);
    PrintRect("client", client);
    std::printf(" style=0x%08lx exstyle=0x%08lx visible=%d foreground=%d owner=%p\n",
                static_cast<unsigned long>(::GetWindowLongA(hwnd, GWL_STYLE)),
                static_cast<unsigned long>(::GetWindowLongA(hwnd, GWL_EXSTYLE)), ::IsWindowVisible(hwnd) ? 1 : 0,
                ::GetForegroundWindow() == hwnd ? 1 : 0, static_cast<void*>(::GetWindow(hwnd, GW_OWNER)));
    std::printf("workarea");
    PrintRect("rect", work);
    std::printf("\n");

    for (int id : kControlIds) {
        HWND control = ::GetDlgItem(hwnd, id);
        if (!control) {
            std::printf("control id=%d missing=1\n", id);
            continue;
        }
        ::GetClassNameA(control, cls, sizeof cls);
        text[0] = '\0';
        ::GetWindowTextA(control, text, sizeof text);
        RECT r = {};
        ::GetWindowRect(control, &r);
        ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        std::printf("control id=%d class=%s text=%s", id, cls, Hex(text).c_str());
        PrintRect("rect", r);
        std::printf(" style=0x%08lx exstyle=0x%08lx visible=%d\n",
                    static_cast<unsigned long>(::GetWindowLongA(control, GWL_STYLE)),
                    static_cast<unsigned long>(::GetWindowLongA(control, GWL_EXSTYLE)),
                    ::IsWindowVisible(control) ? 1 : 0);
    }
    // Children that are none of the four, if any.
    int others = 0;
    for (HWND child = ::GetWindow(hwnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const int id = ::GetDlgCtrlID(child);
        bool known = false;
        for (int k : kControlIds) known = known || k == id;
        if (!known) ++others;
    }
    std::printf("children others=%d\n", others);
    return 0;
}

// Dialog base units of the updater's dialog font, worked out as the dialog manager does: the
// font's cell height, and the average width of the 52 Latin letters. MapDialogRect cannot be
// asked across processes.
bool DialogBaseUnits(int* cx, int* cy) {
    HDC dc = ::GetDC(nullptr);
    if (!dc) return false;
    const int pixels = -::MulDiv(9, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
    HFONT font = ::CreateFontA(pixels, 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY,
                               FF_DONTCARE, "굴림");
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICA metrics = {};
    SIZE size = {};
    const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const bool ok = ::GetTextMetricsA(dc, &metrics) && ::GetTextExtentPoint32A(dc, letters, 52, &size);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    ::ReleaseDC(nullptr, dc);
    *cx = static_cast<int>((size.cx / 26 + 1) / 2);
    *cy = static_cast<int>(metrics.tmHeight);
    return ok;
}

int Map(int x, int y, int cx, int cy) {
    int baseX = 0, baseY = 0;
    if (!DialogBaseUnits(&baseX, &baseY)) return 1;
    // Position and size are mapped separately, as the dialog manager does for each control.
    const int left = ::MulDiv(x, baseX, 4), top = ::MulDiv(y, baseY, 8);
    std::printf("base=%d,%d mapped=%d,%d,%d,%d\n", baseX, baseY, left, top, left + ::MulDiv(cx, baseX, 4),
                top + ::MulDiv(cy, baseY, 8));
    return 0;
}

int Progress(int id) {
    HWND hwnd = FindUpdaterWindow(0);
    if (!hwnd) return 1;
    // No PBRANGE pointer: it would point into this process, not the window's. Without one the
    // message answers with one limit, chosen by wParam.
    const LRESULT low = ::SendDlgItemMessageA(hwnd, id, PBM_GETRANGE, TRUE, 0);
    const LRESULT high = ::SendDlgItemMessageA(hwnd, id, PBM_GETRANGE, FALSE, 0);
    const LRESULT pos = ::SendDlgItemMessageA(hwnd, id, PBM_GETPOS, 0, 0);
    std::printf("progress id=%d low=%ld high=%ld pos=%ld\n", id, static_cast<long>(low), static_cast<long>(high),
                static_cast<long>(pos));
    return 0;
}

void AddKey(INPUT* inputs, int* n, WORD vk, bool up) {
    INPUT& in = inputs[(*n)++];
    in = INPUT{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
}

int Key(const char* name) {
    HWND hwnd = FindUpdaterWindow(0);
    if (!hwnd) return 1;
    ::SetForegroundWindow(hwnd);
    INPUT inputs[4];
    int n = 0;
    if (std::strcmp(name, "escape") == 0) {
        AddKey(inputs, &n, VK_ESCAPE, false);
        AddKey(inputs, &n, VK_ESCAPE, true);
    } else if (std::strcmp(name, "enter") == 0) {
        AddKey(inputs, &n, VK_RETURN, false);
        AddKey(inputs, &n, VK_RETURN, true);
    } else if (std::strcmp(name, "altf4") == 0) {
        AddKey(inputs, &n, VK_MENU, false);
        AddKey(inputs, &n, VK_F4, false);
        AddKey(inputs, &n, VK_F4, true);
        AddKey(inputs, &n, VK_MENU, true);
    } else {
        return 2;
    }
    const UINT sent = ::SendInput(static_cast<UINT>(n), inputs, sizeof(INPUT));
    std::printf("key=%s sent=%u foreground=%d\n", name, sent, ::GetForegroundWindow() == hwnd ? 1 : 0);
    return sent == static_cast<UINT>(n) ? 0 : 1;
}

int Post(const char* name) {
    HWND hwnd = FindUpdaterWindow(0);
    if (!hwnd) return 1;
    BOOL ok = FALSE;
    if (std::strcmp(name, "close") == 0)
        ok = ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
    else if (std::strcmp(name, "syscommand-close") == 0)
        ok = ::PostMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
        return 2;
    std::printf("post=%s ok=%d\n", name, ok ? 1 : 0);
    return ok ? 0 : 1;
}

}  // namespace

// A message box: a visible "#32770" window with an OK button and a static text (id 0xFFFF),
// other than the updater window itself.
BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM lParam) {
    char cls[64] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (::IsWindowVisible(hwnd) && std::strcmp(cls, "#32770") == 0 && !IsUpdaterWindow(hwnd) &&
        ::GetDlgItem(hwnd, IDOK) && ::GetDlgItem(hwnd, 0xFFFF)) {
        *reinterpret_cast<HWND*>(lParam) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// Waits for a message box, prints its caption, text and owner, and dismisses it with OK
// (unless "keep" is given).
int MessageBoxCommand(DWORD waitMs, bool dismiss) {
    const DWORD start = ::GetTickCount();
    HWND box = nullptr;
    for (;;) {
        ::EnumWindows(&FindBoxProc, reinterpret_cast<LPARAM>(&box));
        if (box || ::GetTickCount() - start >= waitMs) break;
        ::Sleep(50);
    }
    if (!box) {
        std::printf("msgbox=none\n");
        return 1;
    }
    char caption[512] = {}, text[1024] = {};
    ::GetWindowTextA(box, caption, sizeof caption);
    ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    HWND owner = ::GetWindow(box, GW_OWNER);
    int buttons = 0;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = {};
        ::GetClassNameA(child, cls, sizeof cls);
        if (_stricmp(cls, "Button") == 0 && ::IsWindowVisible(child)) ++buttons;
    }
    std::printf("msgbox caption=%s text=%s owner_is_updater=%d buttons=%d\n", Hex(caption).c_str(),
                Hex(text).c_str(), owner && IsUpdaterWindow(owner) ? 1 : 0, buttons);
    std::fflush(stdout);
    if (dismiss) ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "msgbox") == 0)
        return MessageBoxCommand(argc >= 3 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 0,
                                 !(argc >= 4 && std::strcmp(argv[3], "keep") == 0));
    if (argc >= 2 && std::strcmp(argv[1], "find") == 0)
        return Find(argc >= 3 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 0);
    if (argc == 6 && std::strcmp(argv[1], "map") == 0)
        return Map(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    if (argc == 3 && std::strcmp(argv[1], "progress") == 0) return Progress(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "key") == 0) return Key(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "post") == 0) return Post(argv[2]);
    std::fprintf(stderr, "usage: window_look find [WAIT_MS] | map X Y CX CY | progress ID | key NAME | post NAME\n");
    return 2;
}
