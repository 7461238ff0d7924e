#include <cstdint>

#include "platform/platform.h"

namespace tarn {

namespace {

// Days from 1601-01-01 to the first day of each year are counted with the civil-from-days
// algorithm, which needs no tables and no time zone.
void CivilFromDays(int64_t z, int* year, unsigned* month, unsigned* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(y + (*month <= 2));
}

}  // namespace

bool PackDosDateTime(uint64_t localFileTime, uint16_t* dosDate, uint16_t* dosTime) {
    constexpr uint64_t kTicksPerSecond = 10000000ULL;
    constexpr int64_t kDaysFrom1601To1970 = 134774;
    const uint64_t seconds = localFileTime / kTicksPerSecond;
    const int64_t days = static_cast<int64_t>(seconds / 86400) - kDaysFrom1601To1970;
    const unsigned secOfDay = static_cast<unsigned>(seconds % 86400);
    int year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    if (year < 1980 || year > 2107) return false;
    *dosDate = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    *dosTime = static_cast<uint16_t>(((secOfDay / 3600) << 11) | (((secOfDay / 60) % 60) << 5) | ((secOfDay % 60) / 2));
    return true;
}

}  // namespace tarn
