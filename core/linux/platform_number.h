// Numbers as document and protocol text, spelled the same whatever locale the process runs in:
// the toolkit's start-up takes the user's locale, whose decimal mark may be a comma.
#pragma once

#include <cstddef>
#include <cstdint>

// strtod and strtof with the "C" locale's rules: correctly rounded, '.' as the decimal mark,
// `end` (may be null) set as strtod sets it.
double Platform_StringToDouble(const char* text, char** end);
float Platform_StringToFloat(const char* text, char** end);

// snprintf's "%.*g" of value with '.' as the decimal mark; returns what snprintf returns.
int32_t Platform_PrintGeneral(char* text, size_t size, int32_t precision, double value);
