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
// 1 when the path ends in ".app" or ".framework" (without case) and holds the bundle's
// Contents/Info.plist.
int64_t AppBundle_IsValid(const char* path);
// The data store embedded in a program file, copied and cut to the capacity; 0 when it has none.
int64_t Executable_GetDataStore(const char* path, char* text, int32_t capacity);
// Macro key provider: FileVersion, ProductVersion, CompanyName, ProductName and names beginning with
// "Copyright" (the "LegalCopyright" value) of the program named by the argument, always answered;
// DataStore and FileDataStore, answered empty without a data store. Other names: 0.
int64_t Executable_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
