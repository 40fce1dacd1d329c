// The state of the application tile's progress bar: hidden, a percentage or indeterminate, with
// the redisplay throttle and the animation of the indeterminate blocks. Portable; the platform
// draws it (core/linux/gui/native_taskbar).
#pragma once

#include <cstdint>

enum : int32_t {
    DOCKPROGRESS_NONE = -2,          // no bar
    DOCKPROGRESS_INDETERMINATE = -1, // moving blocks
};

// Seconds between two redisplays at most; the blocks move 20 steps a second, at most 5 a time.
constexpr double DOCKPROGRESS_REFRESH_INTERVAL = 0.125;
constexpr int32_t DOCKPROGRESS_FRAME_PERIOD = 20;

struct DockProgress {
    int32_t Progress;       // -2, -1 or 0..100 as last accepted
    int32_t Percent;        // what the determinate bar shows
    uint32_t Indeterminate;
    uint32_t Dirty;         // changed since the last redisplay
    double LastUpdateTime;  // monotonic seconds of the last redisplay
    int32_t AnimationFrame; // offset of the indeterminate blocks
};

void DockProgress_Init(DockProgress* state, double now);
// Values outside -2..100 are refused (0, nothing changes); the same value again changes nothing.
int64_t DockProgress_SetProgress(DockProgress* state, int32_t value);
// Frames up to 20 are kept as they are; larger ones wrap by 20.
void DockProgress_SetAnimationFrame(DockProgress* state, int32_t frame);
// Marks a change that the state does not see (a new overlay or icon).
void DockProgress_SetDirty(DockProgress* state);
// One pass of the owner's loop: 1 when the tile is to be redisplayed now.
int64_t DockProgress_Refresh(DockProgress* state, double now);
// 1 while a bar (determinate or not) is shown.
int64_t DockProgress_IsShown(const DockProgress* state);
