// The process-wide switch that turns every signature and trust check off, with an optional
// override that answers in its place (a plug-in library follows its host's switch this way).
#pragma once

#include <cstdint>

typedef uint32_t (*AuthenticateEnabledFunc)();

uint32_t Authenticate_Enabled();
int64_t Authenticate_SetEnabled(uint32_t flag);
int64_t Authenticate_EnabledOverride(AuthenticateEnabledFunc fn);
