// The application tile's progress state and its redisplay throttle.
#include "core/platform/dock_progress.h"

#include <cmath>

void DockProgress_Init(DockProgress* state, double now) {
    *state = DockProgress{DOCKPROGRESS_NONE, 0, 0, 0, now, 0};
}

int64_t DockProgress_SetProgress(DockProgress* state, int32_t value) {
    if (value < DOCKPROGRESS_NONE || value > 100) return 0;
    if (value == state->Progress) return 1;
    state->Progress = value;
    state->Indeterminate = value == DOCKPROGRESS_INDETERMINATE ? 1 : 0;
    if (value >= 0) state->Percent = value;
    state->Dirty = 1;
    return 1;
}

void DockProgress_SetAnimationFrame(DockProgress* state, int32_t frame) {
    state->AnimationFrame = frame <= DOCKPROGRESS_FRAME_PERIOD ? frame : frame - DOCKPROGRESS_FRAME_PERIOD;
}

void DockProgress_SetDirty(DockProgress* state) { state->Dirty = 1; }

int64_t DockProgress_Refresh(DockProgress* state, double now) {
    const double elapsed = now - state->LastUpdateTime;
    if (elapsed < DOCKPROGRESS_REFRESH_INTERVAL) return 0;
    if (state->Indeterminate) {
        const double steps = std::floor(elapsed * DOCKPROGRESS_FRAME_PERIOD);
        DockProgress_SetAnimationFrame(state, state->AnimationFrame + (int32_t)(steps < 5 ? steps : 5));
        state->Dirty = 1;
    }
    if (!state->Dirty) return 0;
    state->LastUpdateTime = now;
    state->Dirty = 0;
    return 1;
}

int64_t DockProgress_IsShown(const DockProgress* state) { return state->Progress >= DOCKPROGRESS_INDETERMINATE; }
