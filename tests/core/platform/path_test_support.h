// The path tests' helpers, shared with the platform file tests, live under tests/support.
#pragma once

#include "tests/support/file_trees.h"
