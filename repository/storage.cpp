// Storage front: binding of the backend row, settings, and the step chains of piece operations.
#include "repository/storage.h"
