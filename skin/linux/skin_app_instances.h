// Ending the other running instances of this program: processes of the same user whose
// executable is the very file this process runs.
#pragma once

#include <cstdint>

// Forcibly ends every such process but this one, logging "Killing process (%d)\n" for each;
// answers how many were signalled.
int32_t SkinApp_KillOtherInstances();
