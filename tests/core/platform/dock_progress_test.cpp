// The tile's progress state: accepted values, hiding, redisplay throttle and block animation.
#include "core/platform/dock_progress.h"

#include <gtest/gtest.h>

TEST(DockProgress, ValuesAndRefusals) {
    DockProgress p;
    DockProgress_Init(&p, 0);
    EXPECT_EQ(DockProgress_IsShown(&p), 0);
    const struct {
        int32_t value;
        int64_t accepted;
        int32_t progress, percent;
        uint32_t indeterminate, dirty;
    } steps[] = {
        {101, 0, -2, 0, 0, 0}, {-3, 0, -2, 0, 0, 0}, {50, 1, 50, 50, 0, 1}, {-1, 1, -1, 50, 1, 1},
        {70, 1, 70, 70, 0, 1}, {70, 1, 70, 70, 0, 0}, {-2, 1, -2, 70, 0, 1},
    };
    for (const auto& s : steps) {
        p.Dirty = 0;
        EXPECT_EQ(DockProgress_SetProgress(&p, s.value), s.accepted) << s.value;
        EXPECT_EQ(p.Progress, s.progress) << s.value;
        EXPECT_EQ(p.Percent, s.percent) << s.value;
        EXPECT_EQ(p.Indeterminate, s.indeterminate) << s.value;
        EXPECT_EQ(p.Dirty, s.dirty) << s.value;
    }
    EXPECT_EQ(DockProgress_IsShown(&p), 0);
}

TEST(DockProgress, RefreshIsThrottledAndAnimates) {
    DockProgress p;
    DockProgress_Init(&p, 10.0);
    DockProgress_SetProgress(&p, 30);
    EXPECT_EQ(DockProgress_Refresh(&p, 10.1), 0) << "within 0.125 s";
    EXPECT_EQ(DockProgress_Refresh(&p, 10.2), 1);
    EXPECT_EQ(DockProgress_Refresh(&p, 10.3), 0) << "nothing changed, and too soon";
    EXPECT_EQ(DockProgress_Refresh(&p, 11.0), 0) << "nothing changed";
    DockProgress_SetProgress(&p, -1);
    // 0.15 s gives 3 steps; a long stall moves at most 5.
    EXPECT_EQ(DockProgress_Refresh(&p, 10.35), 1);
    EXPECT_EQ(p.AnimationFrame, 3);
    EXPECT_EQ(DockProgress_Refresh(&p, 20.0), 1);
    EXPECT_EQ(p.AnimationFrame, 8);
    for (double t = 21; t < 24; t += 1) DockProgress_Refresh(&p, t);
    EXPECT_EQ(p.AnimationFrame, 3) << "8 + 15 wraps by 20";
    const int32_t frames[][2] = {{20, 20}, {25, 5}, {0, 0}};
    for (const auto& f : frames) {
        DockProgress_SetAnimationFrame(&p, f[0]);
        EXPECT_EQ(p.AnimationFrame, f[1]) << f[0];
    }
}
