// Back-end choice at start-up and the main-loop task table of the native back end.
#include "host/host_web_browser.h"
