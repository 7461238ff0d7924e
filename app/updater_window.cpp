#include "app/updater_window.h"

#include <memory>

#include "ui/updater_dlg.h"

namespace tarn {

void RunUpdaterWindow(CWinApp& app) {
    // The window object holds the whole run state, far too much for the stack.
    auto window = std::make_unique<CUpdaterDlg>();
    app.m_pMainWnd = window.get();
    window->DoModal();
    app.m_pMainWnd = nullptr;
}

}  // namespace tarn
