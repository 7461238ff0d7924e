#pragma once
// Fixed records and limits shared by the catalogue, the inventory, the plan and the driver.
#include <cstdint>

#include "base/file_time.h"

namespace tarn {

constexpr int kMaxEntries = 300;         // records per list, and base URLs per catalogue
constexpr int kTimeTextSize = 100;       // timeText, with the terminating NUL
constexpr int kRequestTextSize = 256;    // url and targetPath of one download request

// One file: a catalogue entry, a local file or a planned download. A new record is all zero.
struct UpdateFileEntry {
    char path[kPathSize];          // relative, backslash-separated, no leading backslash
    int32_t size;
    FileTime writeTime;
    int32_t matched;               // 1 on a server entry with an identical local file
    char timeText[kTimeTextSize];  // "%d/%d/%d %02d:%02d:%02d" local time, or empty
};
static_assert(sizeof(UpdateFileEntry) == 376, "record layout is fixed");

}  // namespace tarn
