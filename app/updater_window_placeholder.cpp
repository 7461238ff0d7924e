// Stands in for the updater window in trees that do not have it yet (the ui/ part): instead of an
// update run it does only what every run does at its end, start the client from the install
// folder without waiting for it. Never part of a build that has the window.
#include "app/updater_window.h"
#include "engine/text.h"
#include "platform/platform.h"

namespace tarn {

void RunUpdaterWindow(CWinApp&) {
    Platform& platform = SystemPlatform();
    char installDir[kPathSize] = {};
    if (!platform.GetModulePath(installDir, sizeof installDir)) return;
    char* slash = const_cast<char*>(FindLastBackslash(installDir));
    if (slash == nullptr) return;
    *slash = '\0';
    char client[kPathSize];
    if (!FormatText(client, sizeof client, "%s\\%s", installDir, "pimfile.exe")) return;
    platform.StartProcess(client, client, installDir);
}

}  // namespace tarn
