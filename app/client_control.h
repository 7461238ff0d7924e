#pragma once
// Dealing with a client that is already running when the updater starts: the wake-up handshake
// and the termination of client processes by image name. Both run on the main thread before
// any window of the updater exists and show nothing.
#include <cstdint>

#include "engine/update_types.h"

namespace tarn {

enum class WakeResult {
    Answered,      // the client's window accepted the second send: leave it running, do not update
    Unresponsive,  // the first send ran out of time or the second failed: stop the client
    NoWindow,      // no top-level window has the client's title: update, stop nothing
};

// The window services the handshake uses (Win32: user32).
class ClientWindowServices {
public:
    // RegisterWindowMessageA.
    virtual uint32_t RegisterMessage(const char* name) = 0;
    // FindWindowA with no class name; null when no top-level window has the whole title.
    virtual void* FindTopLevelWindow(const char* title) = 0;
    // SendMessageTimeoutA with wParam 0, lParam 0, SMTO_NORMAL. On failure *lastError is the
    // thread's last error, read at once.
    virtual bool SendTimed(void* window, uint32_t message, uint32_t timeoutMs, uint32_t* lastError) = 0;
    // SendMessageA to HWND_BROADCAST with wParam 0, lParam 0; the result is not used.
    virtual void Broadcast(uint32_t message) = 0;

protected:
    ~ClientWindowServices() = default;
};

// Asks the client's main window whether it answers the wake-up message; an answering client
// gets the message a third time through a broadcast to every top-level window.
WakeResult WakeRunningClient(ClientWindowServices& windows);

// One process of a snapshot: its id and image name (the file name, ANSI code page).
struct ProcessEntry {
    uint32_t processId;
    char exeFile[kPathSize];
};

// The process services the termination uses (Win32: Toolhelp and kernel32). One object serves
// one walk; the snapshot it took is closed when it goes away.
class ProcessServices {
public:
    virtual uint32_t CurrentProcessId() = 0;
    // Upper-cases text in place by the rules of the ANSI code page.
    virtual void UpperCase(char* text) = 0;
    // A snapshot of all processes; false when it cannot be taken.
    virtual bool TakeSnapshot() = 0;
    virtual bool FirstProcess(ProcessEntry* entry) = 0;
    virtual bool NextProcess(ProcessEntry* entry) = 0;
    // Opens the process with all access rights. False when it cannot be opened; otherwise it is
    // terminated with the exit code it reports now (STILL_ACTIVE while it runs), its handle is
    // closed and the result is true. The end of the process is not awaited.
    virtual bool OpenAndTerminate(uint32_t processId) = 0;

protected:
    ~ProcessServices() = default;
};

// Terminates the first process, in snapshot order, whose upper-cased image name contains the
// upper-cased name, never the updater's own. A match that cannot be opened ends the search.
// True when a process has been terminated.
bool TerminateProcessByName(ProcessServices& processes, const char* name);

#ifdef _WIN32
// The same operations on the running system.
WakeResult WakeRunningClient();
bool TerminateProcessByName(const char* name);
#endif

}  // namespace tarn
