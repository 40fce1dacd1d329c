// The whole content of an open File as read-only memory, one view at a time, kept alive for as
// long as a pointer to it is out.
#pragma once

#include <cstdint>

#include "core/platform/file.h"
#include "core/runtime/class.h"

enum : uint32_t { FILE_MAP_CLASS_ID = 0x19EF7243 };

struct FileMap;

int64_t FileMap_Create(FileMap** handle);
// Frees the FileMap (a view still mapped is logged and unmapped) and clears the handle.
int64_t FileMap_Delete(FileMap** handle);
int64_t FileMap_AddRef(FileMap* map);
// Releases and nulls the handle; the last release deletes.
int64_t FileMap_Release(FileMap** handle);
int64_t FileMap_GetInstanceId(FileMap* map, char* buffer, int32_t size);

// Takes the file's content from offset 0: as many bytes as the file had when it was opened (its
// current size when that was 0), or fewer when it has since shrunk. The view is a private copy,
// so a file cut or rewritten later never changes it or makes reading it fail. 0 for an empty
// file, a file that cannot be read, or when memory runs out. A view already mapped stops the
// process.
int64_t FileMap_MapViewOfFile(FileMap* map, File* file);
// 1 when no view is mapped. 0 while pointers handed out by GetPointer are still out.
int64_t FileMap_UnmapViewOfFile(FileMap* map);
int64_t FileMap_IsViewMapped(FileMap* map);
// The view and its size, with one reference on the FileMap; 0 (both cleared) when none is mapped.
int64_t FileMap_GetPointer(FileMap* map, const void** pointer, uint64_t* size);
// Clears the pointer and drops the reference GetPointer added; a pointer that is not the view
// out is only cleared. 1.
int64_t FileMap_ReleasePointer(FileMap* map, const void** pointer);
