// Comparing the catalogue with the install folder by path, size and local-time text.
#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "engine/update_engine.h"

namespace tarn {

void UpdateEngine::FormatEntryTime(UpdateFileEntry& entry) {
    uint16_t date = 0;
    uint16_t time = 0;
    if (!platform_.FileTimeToLocalDosDateTime(entry.writeTime, &date, &time)) {
        entry.timeText[0] = '\0';
        return;
    }
    FormatText(entry.timeText, sizeof entry.timeText, "%d/%d/%d %02d:%02d:%02d", (date >> 5) & 0x0F, date & 0x1F,
               ((date >> 9) & 0x7F) + 1980, (time >> 11) & 0x1F, (time >> 5) & 0x3F, (time & 0x1F) * 2);
}

void UpdateEngine::BuildUpdatePlan() {
    for (int32_t i = 0; i < localCount; ++i) FormatEntryTime(localList[i]);
    for (int32_t i = 0; i < serverCount; ++i) FormatEntryTime(serverList[i]);

    for (int32_t s = 0; s < serverCount; ++s) {
        UpdateFileEntry& server = serverList[s];
        for (int32_t l = 0; l < localCount; ++l) {
            const UpdateFileEntry& local = localList[l];
            // The size first: it is the cheapest of the three and rules out most pairs.
            if (server.size == local.size && std::strncmp(server.path, local.path, kPathSize) == 0 &&
                std::strncmp(server.timeText, local.timeText, kTimeTextSize) == 0) {
                server.matched = 1;
                break;
            }
        }
        if (!server.matched) {
            const int64_t sum = static_cast<int64_t>(totalBytes) + server.size;
            if (sum > INT32_MAX) planTooLarge_ = true;
            totalBytes = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
        }
    }

    for (int32_t s = 0; s < serverCount; ++s) {
        const UpdateFileEntry& server = serverList[s];
        if (server.matched) continue;
        UpdateFileEntry& down = downloadList[downloadCount];
        std::memset(&down, 0, sizeof down);
        std::memcpy(down.path, server.path, sizeof down.path);
        down.size = server.size;
        down.writeTime = server.writeTime;
        downloadSource[downloadCount] = s;
        std::memcpy(down.timeText, server.timeText, sizeof down.timeText);
        ++downloadCount;
        Trace("down = [%s]", down.path);
    }
}

}  // namespace tarn
