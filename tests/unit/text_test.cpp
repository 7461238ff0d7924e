#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

namespace tarn {
namespace {

// The DOS packing the POSIX build and the tests rely on, against known values.
TEST(DosTime, PacksLikeFileTimeToDosDateTime) {
    uint16_t d = 0, t = 0;
    ASSERT_TRUE(PackDosDateTime(test::UtcFileTime(2009, 3, 7, 14, 5, 9), &d, &t));
    EXPECT_EQ(d, ((2009 - 1980) << 9) | (3 << 5) | 7);
    EXPECT_EQ(t, (14 << 11) | (5 << 5) | 4);  // 9 seconds halve to 4
    ASSERT_TRUE(PackDosDateTime(test::UtcFileTime(1980, 1, 1, 0, 0, 0), &d, &t));
    EXPECT_EQ(d, (1 << 5) | 1);
    ASSERT_TRUE(PackDosDateTime(test::UtcFileTime(2107, 12, 31, 23, 59, 59), &d, &t));
    EXPECT_FALSE(PackDosDateTime(test::UtcFileTime(1979, 12, 31, 23, 59, 59), &d, &t));
    EXPECT_FALSE(PackDosDateTime(test::UtcFileTime(2108, 1, 1, 0, 0, 0), &d, &t));
    ASSERT_TRUE(PackDosDateTime(test::UtcFileTime(2024, 2, 29, 12, 0, 0), &d, &t));
    EXPECT_EQ(d, ((2024 - 1980) << 9) | (2 << 5) | 29);
}

// The same packing on the real platform: for a time zone offset in whole minutes the seconds
// survive the local conversion, and the system agrees on the pre-1980 failure.
TEST(DosTime, SystemConversionKeepsEvenSecondsAndRejectsPre1980) {
    uint16_t d = 0, t = 0;
    ASSERT_TRUE(SystemPlatform().FileTimeToLocalDosDateTime(FromU64(test::UtcFileTime(2009, 3, 7, 14, 5, 9)), &d, &t));
    EXPECT_EQ(t & 0x1F, 4);
    EXPECT_FALSE(SystemPlatform().FileTimeToLocalDosDateTime(FromU64(test::UtcFileTime(1975, 6, 1, 12, 0, 0)), &d, &t));
}

}  // namespace
}  // namespace tarn
