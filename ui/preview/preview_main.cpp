// A stand-alone run of the updater window, for trying it out and for the end-to-end tests:
//   updater_window_preview            the real run: the window starts the update at once
//   updater_window_preview --hold     the window only: the start command is counted, not run,
//                                     so the window stays until it is closed; instead the bars
//                                     are set as a run would set them (45 % and 70 %, with
//                                     ranges above 16 bits)
// On exit it prints one line: "result=R start-update=N reporting=S", with R the modal result,
// N how often ID_START_UPDATE arrived and S the last value given to the reporting switch.
// clang-format off
#include "platform/win32.h"  // <commctrl.h> needs <windows.h> first
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/download_job.h"
#include "ui/reporter_hook.h"
#include "ui/updater_dlg.h"

namespace {

long g_reporting = -1;
int g_startCount = 0;

class HoldingDlg : public tarn::CUpdaterDlg {
protected:
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COMMAND && LOWORD(wParam) == tarn::ID_START_UPDATE) {
            ++g_startCount;
            SetProgressRange(tarn::IDC_PROGRESS_FILE, 200000);
            SetProgressPos(tarn::IDC_PROGRESS_FILE, 90000);
            SetProgressRange(tarn::IDC_PROGRESS_TOTAL, 3000000);
            SetProgressPos(tarn::IDC_PROGRESS_TOTAL, 2100000);
            return 0;
        }
        return CUpdaterDlg::OnMessage(message, wParam, lParam);
    }
};

class CountingDlg : public tarn::CUpdaterDlg {
protected:
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COMMAND && LOWORD(wParam) == tarn::ID_START_UPDATE) ++g_startCount;
        return CUpdaterDlg::OnMessage(message, wParam, lParam);
    }
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    tarn::SetReportingHook([](long enabled) { g_reporting = enabled; });

    const bool hold = commandLine && std::strstr(commandLine, "--hold") != nullptr;
    std::unique_ptr<tarn::CUpdaterDlg> dialog;
    if (hold)
        dialog = std::make_unique<HoldingDlg>();
    else
        dialog = std::make_unique<CountingDlg>();
    const INT_PTR result = dialog->DoModal();
    dialog.reset();

    std::printf("result=%d start-update=%d reporting=%ld\n", static_cast<int>(result), g_startCount, g_reporting);
    std::fflush(stdout);
    return 0;
}
