#include "app/client_control.h"

#include "app/app_names.h"
#include "app/image_name.h"
#include "base/text.h"

namespace tarn {

namespace {

constexpr uint32_t kErrorTimeout = 1460;  // ERROR_TIMEOUT
constexpr uint32_t kKeyDownProbe = 256;   // WM_KEYDOWN

}  // namespace

WakeResult WakeRunningClient(ClientWindowServices& windows) {
    const uint32_t wakeup = windows.RegisterMessage(kWakeupMessageName);
    void* client = windows.FindTopLevelWindow(kClientWindowTitle);
    if (client == nullptr) return WakeResult::NoWindow;

    uint32_t error = 0;
    bool answered;
    if (windows.SendTimed(client, wakeup, kWakeupTimeoutMs, &error)) {
        answered = windows.SendTimed(client, wakeup, kWakeupTimeoutMs, &error);
    } else if (error == kErrorTimeout) {
        // A hung window: a second send would only block the start for another 2 s.
        return WakeResult::Unresponsive;
    } else {
        // Failed for another reason: check with a harmless message whether the window is alive.
        answered = windows.SendTimed(client, kKeyDownProbe, kWakeupTimeoutMs, &error);
    }
    if (!answered) return WakeResult::Unresponsive;
    windows.Broadcast(wakeup);
    return WakeResult::Answered;
}

bool TerminateProcessByName(ProcessServices& processes, const char* name) {
    const uint32_t self = processes.CurrentProcessId();
    char wanted[kPathSize];
    // An image name holds at most 259 bytes, so a longer name cannot match anything.
    if (!CopyText(wanted, name)) return false;
    processes.UpperCase(wanted);
    if (wanted[0] == '\0') return false;

    if (!processes.TakeSnapshot()) return false;
    ProcessEntry entry{};
    for (bool more = processes.FirstProcess(&entry); more; more = processes.NextProcess(&entry)) {
        entry.exeFile[kPathSize - 1] = '\0';
        processes.UpperCase(entry.exeFile);
        if (entry.processId == self || !ImageNameContains(entry.exeFile, wanted)) continue;
        // Only the first match counts; if it cannot be opened, the later ones are not tried.
        return processes.OpenAndTerminate(entry.processId);
    }
    return false;
}

}  // namespace tarn
