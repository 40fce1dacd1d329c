// A skin window: configuration, state machine, load time-out, close protocol and notifications.
#include "skin/skin_window.h"
