#include "app/updater_window.h"

#include <memory>

#include "crash/crash_reporter.h"
#include "ui/reporter_hook.h"
#include "ui/updater_dlg.h"

namespace tarn {

void RunUpdaterWindow(CWinApp& app) {
    // The window switches crash reporting on when it is created; this is the switch it uses. The
    // reference also links in the reporter, which installed itself during static initialisation.
    SetReportingHook(&SetReportingEnabled);
    // The window object holds the whole run state, far too much for the stack.
    auto window = std::make_unique<CUpdaterDlg>();
    app.m_pMainWnd = window.get();
    window->DoModal();
    app.m_pMainWnd = nullptr;
}

}  // namespace tarn
