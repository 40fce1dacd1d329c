// The installed native window table and the platform-independent name translations.
#include "skin/native_skin_window.h"
