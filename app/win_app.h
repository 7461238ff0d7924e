#pragma once
// A thin application layer in the manner of the Windows application framework: one global
// application object whose InitInstance the entry function calls once, and named mutexes.
// Windows only.
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace tarn {

class CWinApp {
public:
    // Registers this object as the process's application; construct exactly one, as a global.
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Called once on the main thread by the entry function. This layer runs no message loop:
    // the process ends when InitInstance returns, whatever it returns.
    virtual bool InitInstance();

    HINSTANCE m_hInstance = nullptr;
    // The command-line tail (see app/command_line.h); valid for the whole process.
    const char* m_lpCmdLine = "";
    // The updater window object while its modal run lasts, else null; not owned.
    void* m_pMainWnd = nullptr;
};

// The application object, or null before it is constructed.
CWinApp* AfxGetApp();

// A named mutex created (or opened, when it exists already) at construction, with default
// security and not owned, under its plain name in the session's namespace.
class CMutex {
public:
    explicit CMutex(const char* name);
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    // Waits up to timeoutMs. True when the wait reports the mutex signalled or abandoned by an
    // owner that ended without releasing it: the calling thread then owns it. False when it is
    // owned elsewhere, or when it could not be created.
    bool Lock(DWORD timeoutMs);
    void Close() { handle_.reset(); }
    bool created() const { return static_cast<bool>(handle_); }

private:
    UniqueKernelHandle handle_;
};

}  // namespace tarn
