// The built-in task types: registering them puts their records in the engine's table of built-in
// types, so that every type list made afterwards binds the real types.
#pragma once
#include <cstdint>

// Once per process, before the engine context (or any type list) is created; repeating it is
// harmless. Returns 1.
int64_t TaskLibrary_Register();
