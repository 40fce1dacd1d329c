// Read-only views of a File's content. The view is a sealed private copy rather than a mapping
// of the file itself: pages of a mapped file that another process cuts away stop the reader with
// a bus error, and a view must stay readable for as long as its pointers are out.
#include "core/platform/file_map.h"

#include "core/linux/platform_file_map.h"
#include "core/platform/stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct FileMap {
    Class Header;
    const void* View; // null when none is mapped
    uint64_t ViewSize;
    uint32_t PointersOut; // GetPointer calls not yet matched by ReleasePointer (atomic)
};

namespace {

constexpr uint32_t kReadChunk = 1u << 20;

int64_t DeleteObject(void** handle) {
    return FileMap_Delete(reinterpret_cast<FileMap**>(handle));
}

int64_t Unmap(FileMap* map) {
    void* view = const_cast<void*>(map->View);
    const int64_t result = Platform_FileViewRelease(&view, map->ViewSize);
    map->View = nullptr;
    map->ViewSize = 0;
    return result;
}

// Reads up to `size` bytes from the start of the file into `target`; the file's position is
// kept. Answers the bytes read, or 0 when the file could not be read to its end.
uint64_t ReadContent(File* file, char* target, uint64_t size) {
    uint64_t position = 0;
    if (!File_Tell(file, &position) || !File_Seek(file, 0, SEEK_ORIGIN_BEGIN)) return 0;
    uint64_t used = 0;
    while (used < size) {
        const uint64_t left = size - used;
        uint32_t read = 0;
        if (!File_Read(file, target + used, left < kReadChunk ? (uint32_t)left : kReadChunk, &read)) break;
        used += read;
    }
    // A short read is the end of a file that shrank; anything else is a failure.
    uint64_t length = 0;
    if (used < size && (!File_Length(file, &length) || length > used)) used = 0;
    if (!File_Seek(file, (int64_t)position, SEEK_ORIGIN_BEGIN)) used = 0;
    return used;
}

} // namespace

int64_t FileMap_Create(FileMap** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    FileMap* map = static_cast<FileMap*>(Memory_AllocZero(sizeof(FileMap)));
    map->Header.ClassId = FILE_MAP_CLASS_ID;
    map->Header.RefCount = 1;
    map->Header.Delete = DeleteObject;
    *handle = map;
    return 1;
}

int64_t FileMap_Delete(FileMap** handle) {
    ASSERT_POINTER(handle);
    FileMap* map = *handle;
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    if (map->View) {
        Log_Debug("View not properly unmapped on delete\n");
        Unmap(map);
    }
    map->Header.ClassId = 0;
    Memory_Free(map, sizeof(FileMap));
    *handle = nullptr;
    return 1;
}

int64_t FileMap_AddRef(FileMap* map) {
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    Class_AddRef(map);
    return 1;
}

int64_t FileMap_Release(FileMap** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, FILE_MAP_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t FileMap_GetInstanceId(FileMap* map, char* buffer, int32_t size) {
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, map->Header.InstanceId, (int32_t)sizeof(map->Header.InstanceId));
    return 1;
}

int64_t FileMap_MapViewOfFile(FileMap* map, File* file) {
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (map->View)
        Debug_AbortInt(
            __FILE__, __LINE__,
            "Assertion failed (FileMap->View == NULL)\nPrevious view of file must be unmapped before "
            "mapping new view of file [%s]\n",
            File_GetPathPtr(file));
    map->ViewSize = 0;
    uint64_t size = 0;
    File_GetFilesizeBytes(file, &size);
    if (size == 0 && !File_Length(file, &size)) return 0;
    void* view = nullptr;
    if (!Platform_FileViewReserve(size, &view)) return 0;
    const uint64_t used = ReadContent(file, static_cast<char*>(view), size);
    if (used == 0 || !Platform_FileViewSeal(view, size, used)) {
        Platform_FileViewRelease(&view, size);
        return 0;
    }
    map->View = view;
    map->ViewSize = used;
    return 1;
}

int64_t FileMap_UnmapViewOfFile(FileMap* map) {
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    if (!map->View) return 1;
    // Unmapping under a reader's feet would leave it reading freed pages.
    if (__atomic_load_n(&map->PointersOut, __ATOMIC_SEQ_CST)) return 0;
    return Unmap(map);
}

int64_t FileMap_IsViewMapped(FileMap* map) {
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    return map->View != nullptr;
}

int64_t FileMap_GetPointer(FileMap* map, const void** pointer, uint64_t* size) {
    ASSERT_POINTER(pointer);
    ASSERT_POINTER(size);
    *pointer = nullptr;
    *size = 0;
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    if (!map->View) return 0;
    *pointer = map->View;
    *size = map->ViewSize;
    __atomic_add_fetch(&map->PointersOut, 1, __ATOMIC_SEQ_CST);
    Class_AddRef(map);
    return 1;
}

int64_t FileMap_ReleasePointer(FileMap* map, const void** pointer) {
    ASSERT_POINTER(pointer);
    CLASS_CHECK(map, FILE_MAP_CLASS_ID);
    const void* given = *pointer;
    *pointer = nullptr;
    if (!given || given != map->View) return 1;
    // Holders may give their pointers back from other threads.
    uint32_t out = __atomic_load_n(&map->PointersOut, __ATOMIC_SEQ_CST);
    do {
        if (out == 0) return 1;
    } while (!__atomic_compare_exchange_n(&map->PointersOut, &out, out - 1, false, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    Class_Release(&map);
    return 1;
}
