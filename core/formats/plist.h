// XML property lists: typed key/value documents read into a Dictionary (through the XML reader)
// and written back, with getters and setters by key path below the document's root container.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct Plist;

enum : uint32_t { PLIST_CLASS_ID = 0x1E26AE39 };

int64_t Plist_Create(Plist** handle);
int64_t Plist_Delete(Plist** handle);
int64_t Plist_AddRef(Plist* plist);
// Releases and nulls the handle; the last release deletes.
int64_t Plist_Release(Plist** handle);
int64_t Plist_GetInstanceId(Plist* plist, char* buffer, int32_t size);

int64_t Plist_SetDictionaryHandle(Plist* plist, Dictionary* dict);
int64_t Plist_GetDictionaryHandle(Plist* plist, Dictionary** dict);
int64_t Plist_SetMinify(Plist* plist, uint32_t value);
int64_t Plist_GetMinify(Plist* plist, uint32_t* value);

// Appends the file's values to the bound Dictionary: one item without key per top-level value of
// the "plist" element. A file that is not a well-formed property list fails; what was converted
// before the fault stays.
int64_t Plist_Load(Plist* plist, const char* path);
// Reals are written so that they read back to the same double. A save replaces the file whole.
int64_t Plist_Save(Plist* plist, const char* path);
int64_t Plist_Reset(Plist* plist);

// Paths are looked up below the root container (the bound Dictionary's single root skipped). A
// setter whose path is missing makes it, its '.'-separated parents as dictionaries; it fails,
// changing nothing, when the path runs through a value that is not a dictionary.
int64_t Plist_HasKey(Plist* plist, const char* path);
int64_t Plist_GetValue(Plist* plist, const char* path, char* buffer, int32_t capacity);
int64_t Plist_GetValueBoolean(Plist* plist, const char* path, uint32_t* value);
int64_t Plist_GetValueInt64(Plist* plist, const char* path, int64_t* value);
int64_t Plist_GetValueFloat64(Plist* plist, const char* path, double* value);
int64_t Plist_SetValue(Plist* plist, const char* path, const char* text);
int64_t Plist_SetValueBoolean(Plist* plist, const char* path, uint32_t value);
int64_t Plist_SetValueInt64(Plist* plist, const char* path, int64_t value);
int64_t Plist_SetValueFloat64(Plist* plist, const char* path, double value);

int64_t Plist_Print(Plist* plist, const char* format, ...);
int64_t Plist_VPrint(Plist* plist, int32_t indent, const char* format, va_list args);
int64_t Plist_PrintTabbed(Plist* plist, int32_t indent, const char* format, ...);
int64_t Plist_VerboseLog(Plist* plist, int32_t level, const char* format, ...);
int64_t Plist_IsVerboseLevel(Plist* plist, int32_t level);
int64_t Plist_SetPrintCallback(Plist* plist, void* user, ClassPrintCallback callback);
int64_t Plist_GetPrintCallback(Plist* plist, void** user, ClassPrintCallback* callback);
int64_t Plist_SetPrintIdentifier(Plist* plist, const char* text);
int64_t Plist_SetVerbose(Plist* plist, uint32_t verbose);
int64_t Plist_GetVerbose(Plist* plist, uint32_t* verbose);
int64_t Plist_PrintInternal(void* user, const char* format, ...);
