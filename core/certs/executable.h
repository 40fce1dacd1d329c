// Facts a program file carries about itself: version values and product names. For the running
// program they are the values compiled in by the build.
#pragma once

#include <cstdint>

int64_t Executable_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity);
int64_t Executable_GetFileVersion(const char* path, char* text, int32_t capacity);
int64_t Executable_GetProductVersion(const char* path, char* text, int32_t capacity);
int64_t Executable_GetProductName(const char* path, char* text, int32_t capacity);
int64_t Executable_GetLegalCopyright(const char* path, char* text, int32_t capacity);
int64_t Executable_GetCompanyName(const char* path, char* text, int32_t capacity);
int64_t Executable_GetCommandLine(const char* path, char* text, int32_t capacity);
int64_t Executable_Shutdown();
