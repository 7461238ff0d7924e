#include "app/win_app.h"

#include "app/command_line.h"

namespace tarn {

namespace {
CWinApp* g_application = nullptr;
}

CWinApp::CWinApp() {
    g_application = this;
}

CWinApp::~CWinApp() {
    if (g_application == this) g_application = nullptr;
}

bool CWinApp::InitInstance() {
    return true;
}

CWinApp* AfxGetApp() {
    return g_application;
}

CMutex::CMutex(const char* name) : handle_(CreateMutexA(nullptr, FALSE, name)) {}

bool CMutex::Lock(DWORD timeoutMs) {
    if (!handle_) return false;
    const DWORD result = WaitForSingleObject(handle_.get(), timeoutMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

}  // namespace tarn

// The process's entry: the application object exists already (static initialisation). The
// command line is read here rather than taken from the runtime so that the tail follows one
// rule on every compiler.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    tarn::CWinApp* app = tarn::AfxGetApp();
    if (app == nullptr) return 1;
    app->m_hInstance = instance;
    app->m_lpCmdLine = tarn::CommandLineTail(GetCommandLineA());
    app->InitInstance();
    return 0;
}
