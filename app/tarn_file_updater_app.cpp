#include "app/tarn_file_updater_app.h"

#include <commctrl.h>
#include <shlwapi.h>

#include "app/app_names.h"
#include "app/client_control.h"
#include "app/startup.h"
#include "app/updater_window.h"
#include "engine/update_engine.h"

namespace tarn {

namespace {

class Win32ObsoleteFiles final : public ObsoleteFileServices {
public:
    uint32_t GetCurrentDir(char* buffer, uint32_t offered) override { return GetCurrentDirectoryA(offered, buffer); }
    bool PathExists(const char* path) override { return PathFileExistsA(path) != FALSE; }
    void ClearAttributesAndDelete(const char* path) override {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path);
    }
};

}  // namespace

class CTarnFileUpdaterApp::Startup final : public StartupServices {
public:
    explicit Startup(CTarnFileUpdaterApp& app) : app_(app) {}

    bool TakeUpdaterMutex() override { return app_.m_updaterMutex.Lock(0); }
    bool TakeClientMutex() override { return app_.m_clientMutex.Lock(0); }
    void Pause(uint32_t milliseconds) override { Sleep(milliseconds); }
    WakeResult WakeClient() override { return WakeRunningClient(); }
    void TerminateClient(const char* imageName) override { TerminateProcessByName(imageName); }

    void RegisterCommonControls() override {
        INITCOMMONCONTROLSEX controls;
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_WIN95_CLASSES;
        InitCommonControlsEx(&controls);
    }

    void BaseInitialisation() override {
        app_.CWinApp::InitInstance();
        Trace("start");
    }

    void DeleteObsoleteFiles() override {
        Win32ObsoleteFiles files;
        tarn::DeleteObsoleteFiles(files);
    }

    void RunUpdaterWindow() override { tarn::RunUpdaterWindow(app_); }

private:
    CTarnFileUpdaterApp& app_;
};

static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "InitCommonControlsEx is given a structure of 8 bytes");

// Both names are created in this order; a name another process created first is opened.
CTarnFileUpdaterApp::CTarnFileUpdaterApp() : m_updaterMutex(kUpdaterMutexName), m_clientMutex(kClientMutexName) {}

// Closing a handle does not release a mutex this thread owns: the process still owns whatever it
// took until it ends.
CTarnFileUpdaterApp::~CTarnFileUpdaterApp() {
    m_clientMutex.Close();
    m_updaterMutex.Close();
}

bool CTarnFileUpdaterApp::InitInstance() {
    Startup startup(*this);
    RunStartupSequence(startup, m_lpCmdLine);
    return false;
}

// The application object. An ordinary global: the crash reporter, installed by an object with a
// higher initialisation priority, exists before it and is removed after it.
CTarnFileUpdaterApp theApp;

}  // namespace tarn
