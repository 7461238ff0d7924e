// The modal-dialog layer and the updater window on a real display. Without one (Wine with no X
// server) windows cannot be created and these tests are skipped; the end-to-end suite runs them
// again on its virtual display.
#ifdef _WIN32
// clang-format off
#include "platform/win32.h"  // <commctrl.h> needs <windows.h> first
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "engine/download_job.h"
#include "ui/modal_dialog.h"
#include "ui/reporter_hook.h"
#include "ui/updater_dlg.h"
#include "ui/window_layout.h"

namespace tarn {
namespace {

bool CanCreateWindows() {
    static const bool can = [] {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&controls);
        HWND probe = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        if (!probe) return false;
        ::DestroyWindow(probe);
        return true;
    }();
    return can;
}

#define REQUIRE_DISPLAY() \
    if (!CanCreateWindows()) GTEST_SKIP() << "no display: windows cannot be created"

// Takes every posted message of one kind for hwnd off the queue without dispatching it.
std::vector<MSG> TakePosted(HWND hwnd, UINT message) {
    std::vector<MSG> taken;
    MSG msg;
    while (::PeekMessageA(&msg, hwnd, message, message, PM_REMOVE)) taken.push_back(msg);
    return taken;
}

constexpr UINT_PTR kSafetyTimer = 77;
constexpr INT_PTR kTimedOut = 99;

// A dialog on the updater's template that records what its message table sees and, once its
// modal loop runs, posts itself one message. A timer ends a run that nothing else ends.
class ProbeDialog : public ModalDialog {
public:
    enum class Creation { kNormal, kFail, kThrow };
    struct Post {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    explicit ProbeDialog(Post post = {WM_CLOSE, 0, 0}, Creation create = Creation::kNormal,
                         int templateId = IDD_UPDATER)
        : ModalDialog(templateId), post_(post), create_(create) {}

    std::vector<UINT> seen;  // WM_NCCREATE, WM_CREATE and WM_INITDIALOG, in order
    int initCount = 0;

protected:
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_NCCREATE) seen.push_back(message);
        if (message == WM_CREATE) {
            seen.push_back(message);
            if (create_ == Creation::kFail) return -1;
            if (create_ == Creation::kThrow) throw std::runtime_error("creation failed");
        }
        if (message == WM_TIMER && wParam == kSafetyTimer) {
            EndDialog(kTimedOut);
            return 0;
        }
        return ModalDialog::OnMessage(message, wParam, lParam);
    }
    BOOL OnInitDialog() override {
        seen.push_back(WM_INITDIALOG);
        ++initCount;
        ::SetTimer(hwnd(), kSafetyTimer, 5000, nullptr);
        ::PostMessageA(hwnd(), post_.message, post_.wParam, post_.lParam);
        return ModalDialog::OnInitDialog();
    }

private:
    Post post_;
    Creation create_;
};

TEST(ModalDialog, MessageTableSeesCreationBeforeInitialisation) {
    REQUIRE_DISPLAY();
    ProbeDialog dialog;
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_INITDIALOG}));
    EXPECT_EQ(dialog.initCount, 1);
    EXPECT_EQ(dialog.hwnd(), nullptr);
}

// The standard dialog keys end the modal run; nothing the window adds stops them.
TEST(ModalDialog, StandardKeysAndCommandsEndTheModalRun) {
    REQUIRE_DISPLAY();
    const LPARAM altDown = 1 | (LPARAM(1) << 29);
    struct Case {
        const char* what;
        ProbeDialog::Post post;
        INT_PTR result;
    } cases[] = {
        {"WM_CLOSE", {WM_CLOSE, 0, 0}, IDCANCEL},
        {"Escape", {WM_KEYDOWN, VK_ESCAPE, 1}, IDCANCEL},
        {"Enter", {WM_KEYDOWN, VK_RETURN, 1}, IDOK},
        {"Alt+F4", {WM_SYSKEYDOWN, VK_F4, altDown}, IDCANCEL},
        {"system close", {WM_SYSCOMMAND, SC_CLOSE, 0}, IDCANCEL},
        {"IDOK", {WM_COMMAND, IDOK, 0}, IDOK},
        {"IDCANCEL", {WM_COMMAND, IDCANCEL, 0}, IDCANCEL},
    };
    for (const Case& c : cases) {
        ProbeDialog dialog(c.post);
        EXPECT_EQ(dialog.DoModal(), c.result) << c.what;
    }
}

// A creation that fails, by its result or by an exception, fails the modal run and leaves the
// thread fit for the next dialog.
TEST(ModalDialog, FailedCreationEndsTheRunAndTheNextDialogStillWorks) {
    REQUIRE_DISPLAY();
    {
        ProbeDialog failing({WM_CLOSE, 0, 0}, ProbeDialog::Creation::kFail);
        EXPECT_EQ(failing.DoModal(), -1);
        EXPECT_EQ(failing.hwnd(), nullptr);
        EXPECT_EQ(failing.initCount, 0);
    }
    {
        ProbeDialog throwing({WM_CLOSE, 0, 0}, ProbeDialog::Creation::kThrow);
        EXPECT_EQ(throwing.DoModal(), -1);
        EXPECT_EQ(throwing.hwnd(), nullptr);
    }
    {
        ProbeDialog missing({WM_CLOSE, 0, 0}, ProbeDialog::Creation::kNormal, 4321);
        EXPECT_EQ(missing.DoModal(), -1);
        EXPECT_TRUE(missing.seen.empty());
    }
    ProbeDialog next;
    EXPECT_EQ(next.DoModal(), IDCANCEL);
    EXPECT_EQ(next.seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_INITDIALOG}));
}

TEST(ModalDialog, ModelessWindowIsForgottenWhenDestroyed) {
    REQUIRE_DISPLAY();
    ProbeDialog dialog;
    ASSERT_TRUE(dialog.Create());
    ASSERT_NE(dialog.hwnd(), nullptr);
    HWND hwnd = dialog.hwnd();
    EXPECT_FALSE(dialog.Create());  // one window per object
    dialog.DestroyWindow();
    EXPECT_EQ(dialog.hwnd(), nullptr);
    EXPECT_FALSE(::IsWindow(hwnd));
    TakePosted(hwnd, WM_CLOSE);
}

// The updater window, created without a modal loop: the posted start command stays in the
// queue, so no run starts. One window serves the suite (under Wine without a window manager
// every unmapping of a shown window waits two seconds); what creation did is recorded at once.
class UpdaterWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!CanCreateWindows()) return;
        reported = -1;
        SetReportingHook([](long enabled) { reported = enabled; });
        dialog = new CUpdaterDlg;
        if (!dialog->Create()) return;
        hwnd = dialog->hwnd();
        visibleAtCreation = ::IsWindowVisible(hwnd) != FALSE;
        startCommands = TakePosted(hwnd, WM_COMMAND);
    }
    static void TearDownTestSuite() {
        if (hwnd) TakePosted(hwnd, WM_CLOSE);
        delete dialog;
        dialog = nullptr;
        hwnd = nullptr;
        SetReportingHook(nullptr);
    }
    void SetUp() override {
        if (!CanCreateWindows()) GTEST_SKIP() << "no display: windows cannot be created";
        ASSERT_NE(hwnd, nullptr);
    }
    static int Bar(int id, UINT message) {
        if (message == PBM_GETRANGE) return static_cast<int>(::SendDlgItemMessageA(hwnd, id, PBM_GETRANGE, FALSE, 0));
        return static_cast<int>(::SendDlgItemMessageA(hwnd, id, message, 0, 0));
    }

    static long reported;
    static CUpdaterDlg* dialog;
    static HWND hwnd;
    static bool visibleAtCreation;
    static std::vector<MSG> startCommands;
};
long UpdaterWindow::reported = -1;
CUpdaterDlg* UpdaterWindow::dialog = nullptr;
HWND UpdaterWindow::hwnd = nullptr;
bool UpdaterWindow::visibleAtCreation = false;
std::vector<MSG> UpdaterWindow::startCommands;

TEST_F(UpdaterWindow, CreationSizesCentresShowsAndPostsTheStartOnce) {
    RECT work = {}, rect = {}, client = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    ::GetWindowRect(hwnd, &rect);
    ::GetClientRect(hwnd, &client);
    const WindowPlacement expected = CentreInWorkArea(work.left, work.top, work.right, work.bottom, 403, 140);
    EXPECT_EQ(rect.left, expected.left);
    EXPECT_EQ(rect.top, expected.top);
    EXPECT_EQ(rect.right - rect.left, 403);
    EXPECT_EQ(rect.bottom - rect.top, 140);
    EXPECT_EQ(client.right, 403);  // no caption, no border: the client area is the window
    EXPECT_EQ(client.bottom, 140);
    EXPECT_TRUE(visibleAtCreation);
    EXPECT_EQ(reported, 1);

    ASSERT_EQ(startCommands.size(), 1u);
    EXPECT_EQ(startCommands[0].wParam, static_cast<WPARAM>(ID_START_UPDATE));
    EXPECT_EQ(startCommands[0].lParam, 0);
    EXPECT_TRUE(TakePosted(hwnd, WM_COMMAND).empty());
}

// PBM_SETRANGE32: a 16-bit range would cut sizes above 65535.
TEST_F(UpdaterWindow, HostMovesEachBarWithThirtyTwoBitValues) {
    dialog->SetProgressRange(IDC_PROGRESS_TOTAL, 3000000);
    dialog->SetProgressPos(IDC_PROGRESS_TOTAL, 2500000);
    dialog->ShowProgress();
    EXPECT_EQ(Bar(IDC_PROGRESS_TOTAL, PBM_GETRANGE), 3000000);
    EXPECT_EQ(Bar(IDC_PROGRESS_TOTAL, PBM_GETPOS), 2500000);
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETRANGE), 100);  // the other bar keeps its default
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETPOS), 0);

    dialog->SetProgressRange(IDC_PROGRESS_FILE, 70000);
    dialog->SetProgressPos(IDC_PROGRESS_FILE, 69999);
    dialog->ShowProgress();
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETRANGE), 70000);
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETPOS), 69999);
}

TEST_F(UpdaterWindow, HideAndCloseAreAskedOfTheWindow) {
    ASSERT_TRUE(::IsWindowVisible(hwnd));
    dialog->HideWindow();
    EXPECT_FALSE(::IsWindowVisible(hwnd));
    dialog->HideWindow();  // already hidden: nothing happens
    EXPECT_FALSE(::IsWindowVisible(hwnd));
    EXPECT_TRUE(TakePosted(hwnd, WM_CLOSE).empty());
    dialog->PostClose();
    EXPECT_EQ(TakePosted(hwnd, WM_CLOSE).size(), 1u);
    EXPECT_TRUE(::IsWindow(hwnd));  // posted, not yet handled
    ::ShowWindow(hwnd, SW_SHOWNA);
}

// Labels paint straight over the skin; every other control keeps the default colours.
TEST_F(UpdaterWindow, StaticControlsGetTheEmptyBrushAndTransparentText) {
    HDC dc = ::CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    ::SetBkMode(dc, OPAQUE);
    HWND label = ::GetDlgItem(hwnd, IDC_LABEL_FILE);
    const LRESULT staticBrush =
        ::SendMessageA(hwnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(label));
    EXPECT_EQ(staticBrush, reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)));
    EXPECT_EQ(::GetBkMode(dc), TRANSPARENT);

    ::SetBkMode(dc, OPAQUE);
    const LRESULT otherBrush = ::SendMessageA(hwnd, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                              reinterpret_cast<LPARAM>(::GetDlgItem(hwnd, IDC_PROGRESS_FILE)));
    EXPECT_NE(otherBrush, 0);
    EXPECT_NE(otherBrush, reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)));
    EXPECT_EQ(::GetBkMode(dc), OPAQUE);
    ::DeleteDC(dc);
}

// The notification reaches the driver, which answers 1; in the catalogue phase no bar moves.
TEST_F(UpdaterWindow, DownloadNotificationReachesTheDriver) {
    const DownloadJob saved = g_downloadJob;
    g_downloadJob.expectedSize = -1;
    const int fileRange = Bar(IDC_PROGRESS_FILE, PBM_GETRANGE), filePos = Bar(IDC_PROGRESS_FILE, PBM_GETPOS);
    const int totalPos = Bar(IDC_PROGRESS_TOTAL, PBM_GETPOS);
    EXPECT_EQ(::SendMessageA(hwnd, WM_DOWNLOAD_NOTIFY, DOWNLOAD_STARTED, -1), 1);
    EXPECT_EQ(::SendMessageA(hwnd, WM_DOWNLOAD_NOTIFY, DOWNLOAD_PROGRESS, 4096), 1);
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETRANGE), fileRange);
    EXPECT_EQ(Bar(IDC_PROGRESS_FILE, PBM_GETPOS), filePos);
    EXPECT_EQ(Bar(IDC_PROGRESS_TOTAL, PBM_GETPOS), totalPos);
    g_downloadJob = saved;
}

// A fast transfer leaves a burst of notifications in the queue. The window draws the bars only
// every few tens of milliseconds, yet every file's end reaches the bars as it is handled, and a
// position within a file reaches them by the next drawing.
TEST_F(UpdaterWindow, BarsReachEveryEndAfterABurstOfQueuedNotifications) {
    const DownloadJob saved = g_downloadJob;
    const int32_t sizes[] = {300000, 123457, 9000};
    const int32_t total = sizes[0] + sizes[1] + sizes[2];
    dialog->downloadCount = 4;  // a fourth file keeps the run going
    for (int i = 0; i < 3; ++i) dialog->downloadList[i].size = sizes[i];
    dialog->nextDownload = 0;
    dialog->bytesDone = 0;
    dialog->totalBytes = total;
    dialog->SetProgressRange(IDC_PROGRESS_TOTAL, total);
    dialog->DownloadNextFile();  // the first file's request: no worker takes it

    auto post = [](int32_t code, int32_t value) {
        g_notificationsInFlight.Posting();
        ASSERT_TRUE(::PostMessageA(hwnd, WM_DOWNLOAD_NOTIFY, static_cast<WPARAM>(code), value));
    };
    auto pump = [](DWORD forMs) {
        const DWORD start = ::GetTickCount();
        for (;;) {
            MSG msg;
            while (::PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
            if (::GetTickCount() - start >= forMs) return;
            ::Sleep(5);
        }
    };
    auto bars = [] {
        return std::vector<int>{Bar(IDC_PROGRESS_FILE, PBM_GETRANGE), Bar(IDC_PROGRESS_FILE, PBM_GETPOS),
                                Bar(IDC_PROGRESS_TOTAL, PBM_GETRANGE), Bar(IDC_PROGRESS_TOTAL, PBM_GETPOS)};
    };

    for (int i = 0; i < 2; ++i) {
        post(DOWNLOAD_STARTED, sizes[i]);
        for (int32_t got = 4096; got < sizes[i]; got += 4096) post(DOWNLOAD_PROGRESS, got);
        post(DOWNLOAD_FINISHED, sizes[i]);
    }
    pump(0);
    EXPECT_EQ(g_notificationsInFlight.count(), 0);
    EXPECT_EQ(bars(), (std::vector<int>{sizes[1], sizes[1], total, sizes[0] + sizes[1]}));

    post(DOWNLOAD_STARTED, sizes[2]);
    post(DOWNLOAD_PROGRESS, 4096);
    pump(300);
    EXPECT_EQ(bars(), (std::vector<int>{sizes[2], 4096, total, sizes[0] + sizes[1] + 4096}));

    post(DOWNLOAD_PROGRESS, sizes[2]);
    post(DOWNLOAD_FINISHED, sizes[2]);
    pump(0);
    EXPECT_EQ(bars(), (std::vector<int>{sizes[2], sizes[2], total, total}));
    g_downloadJob = saved;
}

// Destroying the window forgets it; the object goes afterwards without a second destruction.
TEST(UpdaterWindowLife, DestroyingTheWindowForgetsIt) {
    REQUIRE_DISPLAY();
    auto dialog = std::make_unique<CUpdaterDlg>();
    ASSERT_TRUE(dialog->Create());
    HWND hwnd = dialog->hwnd();
    TakePosted(hwnd, WM_COMMAND);
    dialog->DestroyWindow();
    EXPECT_EQ(dialog->hwnd(), nullptr);
    EXPECT_FALSE(::IsWindow(hwnd));
    dialog->HideWindow();  // no window: nothing happens
    dialog->PostClose();
    dialog->SetProgressPos(IDC_PROGRESS_FILE, 1);
}

}  // namespace
}  // namespace tarn
#endif  // _WIN32
