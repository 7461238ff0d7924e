#include "app/startup.h"

#include "app/app_names.h"
#include "app/command_line.h"
#include "base/text.h"
#include "engine/update_types.h"

namespace tarn {

void RunStartupSequence(StartupServices& services, const char* commandLineTail) {
    if (!services.TakeUpdaterMutex()) return;  // another updater is running

    if (!services.TakeClientMutex()) {
        // The client is running. Nothing is re-tested after the pause.
        bool stopClient = true;
        if (IsRestartTail(commandLineTail)) {
            services.Pause(kRestartPauseMs);
        } else {
            switch (services.WakeClient()) {
                case WakeResult::Answered:
                    return;
                case WakeResult::Unresponsive:
                    break;
                case WakeResult::NoWindow:
                    stopClient = false;
                    break;
            }
        }
        if (stopClient) {
            for (const char* imageName : kClientImageNames) services.TerminateClient(imageName);
        }
    }

    services.RegisterCommonControls();
    services.BaseInitialisation();
    services.DeleteObsoleteFiles();
    services.RunUpdaterWindow();
}

void DeleteObsoleteFiles(ObsoleteFileServices& files) {
    constexpr uint32_t kOffered = kPathSize;
    char directory[kPathSize + 1] = {};
    const uint32_t length = files.GetCurrentDir(directory, kOffered);
    if (length == 0 || length >= kOffered) return;
    for (const char* name : kObsoleteFiles) {
        // Appended unchanged: at a drive root the text already ends in a backslash and the path
        // holds two in a row, which the file system accepts.
        char path[kPathSize * 2];
        if (!FormatText(path, sizeof path, "%s%s", directory, name)) continue;
        if (files.PathExists(path)) files.ClearAttributesAndDelete(path);
    }
}

}  // namespace tarn
