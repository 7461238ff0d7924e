#pragma once
// The start-up decisions of the updater, before its window exists: single instance, a running
// client (restart, wake-up or termination), common controls, obsolete files, the window's run.
#include <cstdint>

#include "app/client_control.h"

namespace tarn {

// What the start-up does to the system; the application object supplies the Win32 side.
class StartupServices {
public:
    // Wait of 0 ms on the named mutex; true when signalled or abandoned (it is then owned by the
    // main thread until the process ends).
    virtual bool TakeUpdaterMutex() = 0;
    virtual bool TakeClientMutex() = 0;
    virtual void Pause(uint32_t milliseconds) = 0;
    virtual WakeResult WakeClient() = 0;
    virtual void TerminateClient(const char* imageName) = 0;
    // InitCommonControlsEx with the Windows 95 class set (the progress bars).
    virtual void RegisterCommonControls() = 0;
    // The framework's base initialisation, then the trace point "start".
    virtual void BaseInitialisation() = 0;
    virtual void DeleteObsoleteFiles() = 0;
    // Constructs the updater window, runs it modally (the whole update run) and destroys it.
    virtual void RunUpdaterWindow() = 0;

protected:
    ~StartupServices() = default;
};

// Runs the start-up in order. It ends early for a second updater and for a client that answers
// the wake-up message; otherwise it ends when the updater window has closed.
void RunStartupSequence(StartupServices& services, const char* commandLineTail);

// The directory and file operations the obsolete-file clean-up needs.
class ObsoleteFileServices {
public:
    // GetCurrentDirectoryA(offered, buffer): the length of the text, the size needed when the
    // buffer is too small, 0 on error.
    virtual uint32_t GetCurrentDir(char* buffer, uint32_t offered) = 0;
    virtual bool PathExists(const char* path) = 0;
    // SetFileAttributesA(FILE_ATTRIBUTE_NORMAL) then DeleteFileA; results are not used.
    virtual void ClearAttributesAndDelete(const char* path) = 0;

protected:
    ~ObsoleteFileServices() = default;
};

// Deletes the obsolete files from the current directory (not the install folder), read-only ones
// included. When the current directory cannot be read, nothing is deleted: the names alone,
// anchored to no directory, would name files at the root of the current drive.
void DeleteObsoleteFiles(ObsoleteFileServices& files);

}  // namespace tarn
