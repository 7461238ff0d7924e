#include "ui/updater_dlg.h"

#include <commctrl.h>

#include "engine/build_settings.h"
#include "engine/download_job.h"
#include "engine/download_worker.h"
#include "ui/reporter_hook.h"
#include "ui/resource_ids.h"
#include "ui/window_layout.h"

namespace tarn {

static_assert(RC_IDD_UPDATER == IDD_UPDATER && RC_IDB_SKIN == IDB_SKIN && RC_IDC_PROGRESS_FILE == IDC_PROGRESS_FILE &&
                  RC_IDC_PROGRESS_TOTAL == IDC_PROGRESS_TOTAL && RC_IDC_LABEL_FILE == IDC_LABEL_FILE &&
                  RC_IDC_LABEL_TOTAL == IDC_LABEL_TOTAL,
              "the resource script and the engine must agree on the numbers");

namespace {

// The timer of the window's watch over the download worker.
constexpr UINT_PTR kWatchTimer = 1;
constexpr UINT kWatchIntervalMs = 1000;

// A progress bar repaints itself at once on every new position, and under Wine that costs about
// 0.7 ms through X: drawn for every 4 KB block, the bars would take more time than the transfer.
// The eye needs no more than a drawing every few tens of milliseconds.
constexpr UINT_PTR kPaintTimer = 2;
constexpr DWORD kPaintIntervalMs = 30;

// Enables one privilege of an open token, if the local system knows it. Failures are ignored:
// the run does not depend on either privilege.
void EnablePrivilege(HANDLE token, const char* name) {
    TOKEN_PRIVILEGES privileges = {};
    if (!::LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) return;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

void EnableProcessPrivileges() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) return;
    UniqueKernelHandle token(raw);
    EnablePrivilege(token.get(), "SeSecurityPrivilege");
    EnablePrivilege(token.get(), "SeRestorePrivilege");
}

}  // namespace

CUpdaterDlg::CUpdaterDlg()
    : ModalDialog(IDD_UPDATER, nullptr), UpdateEngine(SystemPlatform(), static_cast<UpdateHost*>(this)) {}

CUpdaterDlg::~CUpdaterDlg() {
    // While the members are still whole: WM_DESTROY releases the drawing objects.
    DestroyWindow();
}

LRESULT CUpdaterDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(wParam, lParam);
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return OnCtlColor(message, wParam, lParam);
        case WM_COMMAND:
            if (LOWORD(wParam) == ID_START_UPDATE && lParam == 0) {
                OnStartUpdate();
                return 0;
            }
            break;
        case WM_TIMER:
            if (wParam == kWatchTimer) {
                OnWatchTimer();
                return 0;
            }
            if (wParam == kPaintTimer) {
                PaintBars();
                return 0;
            }
            break;
        case WM_DOWNLOAD_NOTIFY:
            g_notificationsInFlight.Taken();
            // lParam carries a signed 32-bit value; on a 64-bit build it arrives sign-extended.
            return OnDownloadNotify(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
        default:
            break;
    }
    return ModalDialog::OnMessage(message, wParam, lParam);
}

LRESULT CUpdaterDlg::OnCreate(WPARAM wParam, LPARAM lParam) {
    if (Default(WM_CREATE, wParam, lParam) == -1) return -1;

    SwitchReporting(1);

    WindowDc windowDc(hwnd());
    skinBitmap.reset(::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_SKIN)));
    if (!skinBitmap || !::GetObjectA(skinBitmap.get(), sizeof skinSize, &skinSize)) skinSize = BITMAP{};

    skinDC.reset(::CreateCompatibleDC(windowDc.get()));
    if (skinDC && skinBitmap) skinDCOriginalBitmap_ = ::SelectObject(skinDC.get(), skinBitmap.get());

    RECT work = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const WindowPlacement place =
        CentreInWorkArea(work.left, work.top, work.right, work.bottom, skinSize.bmWidth, skinSize.bmHeight);
    ::SetWindowPos(hwnd(), HWND_TOP, place.left, place.top, place.width, place.height, SWP_SHOWWINDOW);

    ::SetForegroundWindow(hwnd());

    EnableProcessPrivileges();

    // The run starts once the modal loop is running.
    ::PostMessageA(hwnd(), WM_COMMAND, ID_START_UPDATE, 0);
    return 0;
}

void CUpdaterDlg::OnDestroy() {
    Default(WM_DESTROY, 0, 0);
    // A bitmap cannot be deleted while it is selected into a surface: put the surface's own
    // bitmap back first.
    if (skinDC && skinDCOriginalBitmap_) ::SelectObject(skinDC.get(), skinDCOriginalBitmap_);
    skinDCOriginalBitmap_ = nullptr;
    skinBitmap.reset();
    skinDC.reset();
}

void CUpdaterDlg::OnPaint() {
    PAINTSTRUCT paint = {};
    HDC paintDc = ::BeginPaint(hwnd(), &paint);
    if (!paintDc) return;
    RECT client = {};
    ::GetClientRect(hwnd(), &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;

    // Off-screen first, so that the face never flickers through white.
    UniqueMemoryDc memoryDc(::CreateCompatibleDC(paintDc));
    UniqueBitmap memoryBitmap(::CreateCompatibleBitmap(paintDc, width, height));
    if (memoryDc && memoryBitmap) {
        SelectedObject selected(memoryDc.get(), memoryBitmap.get());
        ::SetBkColor(memoryDc.get(), RGB(0xFF, 0xFF, 0xFF));
        ::ExtTextOutA(memoryDc.get(), 0, 0, ETO_OPAQUE, &client, nullptr, 0, nullptr);
        if (skinDC && skinDCOriginalBitmap_)
            ::BitBlt(memoryDc.get(), client.left, client.top, skinSize.bmWidth, skinSize.bmHeight, skinDC.get(), 0, 0,
                     SRCCOPY);
        ::BitBlt(paintDc, client.left, client.top, width, height, memoryDc.get(), 0, 0, SRCCOPY);
    }
    ::EndPaint(hwnd(), &paint);
}

LRESULT CUpdaterDlg::OnCtlColor(UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT defaultBrush = Default(message, wParam, lParam);
    if (message == WM_CTLCOLORSTATIC) {
        // Labels draw their text straight over the skin.
        ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
    }
    return defaultBrush;
}

void CUpdaterDlg::OnStartUpdate() {
    if (started_) return;
    workerControl_ = CreateDownloadWorkerControl(hwnd(), BuiltInParallelTransfers(), BuiltInBlockMaps());
    AttachWorker(workerControl_.get());
    ::SetTimer(hwnd(), kWatchTimer, kWatchIntervalMs, nullptr);
    StartUpdate();
}

void CUpdaterDlg::OnWatchTimer() {
    // A timer message comes only when no posted message waits; still, whatever the worker posted
    // before it ended is handled before its end is taken for a loss.
    MSG pending;
    if (::PeekMessageA(&pending, hwnd(), WM_DOWNLOAD_NOTIFY, WM_DOWNLOAD_NOTIFY, PM_NOREMOVE | PM_NOYIELD)) return;
    OnWatchTick();
}

void CUpdaterDlg::ShowMessage(const char* text, const char* caption) {
    ::MessageBoxA(hwnd(), text, caption, MB_OK);
}

CUpdaterDlg::Bar* CUpdaterDlg::FindBar(int control) {
    if (!hwnd()) return nullptr;
    Bar* bar = control == IDC_PROGRESS_FILE ? &fileBar_ : control == IDC_PROGRESS_TOTAL ? &totalBar_ : nullptr;
    if (bar && !bar->window) bar->window = ::GetDlgItem(hwnd(), control);
    return bar && bar->window ? bar : nullptr;
}

void CUpdaterDlg::SetProgressRange(int control, int32_t high) {
    Bar* bar = FindBar(control);
    if (!bar) return;
    // A range clamps the position: every position set before it reaches the bar first.
    SettleBars();
    SendQuietly(*bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(high));
    RequestPaint();
}

void CUpdaterDlg::SetProgressPos(int control, int32_t pos) {
    Bar* bar = FindBar(control);
    if (!bar) return;
    bar->pos = pos;
    bar->pending = true;
    RequestPaint();
}

void CUpdaterDlg::ShowProgress() {
    SettleBars();
    RequestPaint();
}

void CUpdaterDlg::RequestPaint() {
    if (::GetTickCount() - lastPainted_ >= kPaintIntervalMs) {
        PaintBars();
        return;
    }
    if (paintTimerSet_) return;
    paintTimerSet_ = ::SetTimer(hwnd(), kPaintTimer, kPaintIntervalMs, nullptr) != 0;
    // Without a timer nothing would draw the bars later: draw them now.
    if (!paintTimerSet_) PaintBars();
}

void CUpdaterDlg::PaintBars() {
    if (!hwnd()) return;
    if (paintTimerSet_) ::KillTimer(hwnd(), kPaintTimer);
    paintTimerSet_ = false;
    for (Bar* bar : {&fileBar_, &totalBar_}) {
        if (bar->stale) {
            if (bar->pending) SendQuietly(*bar, PBM_SETPOS, static_cast<WPARAM>(bar->pos), 0);
            ::RedrawWindow(bar->window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        } else if (bar->pending) {
            // The bar draws the change itself.
            ::SendMessageA(bar->window, PBM_SETPOS, static_cast<WPARAM>(bar->pos), 0);
        } else {
            continue;
        }
        bar->pending = bar->stale = false;
        lastPainted_ = ::GetTickCount();
    }
}

void CUpdaterDlg::SettleBars() {
    for (Bar* bar : {&fileBar_, &totalBar_}) {
        if (!bar->pending) continue;
        SendQuietly(*bar, PBM_SETPOS, static_cast<WPARAM>(bar->pos), 0);
        bar->pending = false;
    }
}

void CUpdaterDlg::SendQuietly(Bar& bar, UINT message, WPARAM wParam, LPARAM lParam) {
    // With its redrawing switched off the bar takes the value without drawing anything; the next
    // PaintBars draws it whole.
    ::SendMessageA(bar.window, WM_SETREDRAW, FALSE, 0);
    ::SendMessageA(bar.window, message, wParam, lParam);
    ::SendMessageA(bar.window, WM_SETREDRAW, TRUE, 0);
    bar.stale = true;
}

void CUpdaterDlg::HideWindow() {
    // The run's end: the bars show their last positions before the window goes.
    PaintBars();
    if (hwnd() && ::IsWindowVisible(hwnd())) ::ShowWindow(hwnd(), SW_HIDE);
}

void CUpdaterDlg::PostClose() {
    if (hwnd()) ::PostMessageA(hwnd(), WM_CLOSE, 0, 0);
}

}  // namespace tarn
