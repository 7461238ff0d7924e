#include <gtest/gtest.h>

#include "ui/window_layout.h"

namespace tarn {
namespace {

// The work area of a 1024 x 768 screen with a 30-pixel task bar at the top.
TEST(WindowLayout, CentresTheSkinOnTheWorkArea) {
    const WindowPlacement p = CentreInWorkArea(0, 30, 1024, 768, 403, 140);
    EXPECT_EQ(p.left, 310);
    EXPECT_EQ(p.top, 329);
    EXPECT_EQ(p.width, 403);
    EXPECT_EQ(p.height, 140);
}

TEST(WindowLayout, FollowsAWorkAreaThatDoesNotStartAtTheOrigin) {
    // A monitor left of the primary one, task bar at its left edge.
    const WindowPlacement p = CentreInWorkArea(-1240, 0, 0, 1024, 403, 140);
    EXPECT_EQ(p.left, -1240 + 418);
    EXPECT_EQ(p.top, 442);
    // An exact fit sits on the work area's corner.
    const WindowPlacement fit = CentreInWorkArea(40, 20, 443, 160, 403, 140);
    EXPECT_EQ(fit.left, 40);
    EXPECT_EQ(fit.top, 20);
}

// A skin larger than the work area overhangs both sides alike, within one pixel, whether the
// difference is odd or even; the division truncates toward zero, it does not round down.
TEST(WindowLayout, LargerSkinOverhangsBothSidesEqually) {
    struct Case {
        int workWidth, workHeight;
    } cases[] = {{300, 100}, {301, 101}, {402, 139}, {1, 1}, {0, 0}};
    for (const Case& c : cases) {
        const WindowPlacement p = CentreInWorkArea(0, 0, c.workWidth, c.workHeight, 403, 140);
        const int overLeft = -p.left, overRight = p.left + p.width - c.workWidth;
        const int overTop = -p.top, overBottom = p.top + p.height - c.workHeight;
        EXPECT_GE(overLeft, 0) << c.workWidth;
        EXPECT_LE(overRight - overLeft, 1) << c.workWidth;
        EXPECT_GE(overRight - overLeft, 0) << c.workWidth;
        EXPECT_GE(overTop, 0) << c.workHeight;
        EXPECT_LE(overBottom - overTop, 1) << c.workHeight;
        EXPECT_GE(overBottom - overTop, 0) << c.workHeight;
    }
    // (300 - 403) / 2 is -51 toward zero; rounding down would give -52.
    EXPECT_EQ(CentreInWorkArea(0, 0, 300, 100, 403, 140).left, -51);
    EXPECT_EQ(CentreInWorkArea(0, 0, 300, 99, 403, 140).top, -20);
}

}  // namespace
}  // namespace tarn
