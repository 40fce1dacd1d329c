// Re-entrant lock object: a class id followed by a recursive mutex.
#include "core/runtime/critical_section.h"

#include <mutex>
#include <new>

#include "core/runtime/class.h"
#include "core/runtime/memory.h"

struct CriticalSection {
    Class Header; // only the class id is set
    std::recursive_mutex Mutex;
};

int64_t CriticalSection_CreateInt(CriticalSection** handle, const char* file, int32_t line) {
    if (!handle) return 0;
    void* block = Memory_AllocInt((int32_t)sizeof(CriticalSection), MEMORY_FLAG_ZERO, file, line);
    CriticalSection* lock = new (block) CriticalSection();
    lock->Header.ClassId = CRITICAL_SECTION_CLASS_ID;
    *handle = lock;
    return 1;
}

int64_t CriticalSection_LockInt(CriticalSection* handle, const char* file, int32_t line) {
    if (!handle) Debug_AbortInt(file, line, "Pointer is NULL\n");
    CLASS_CHECK(handle, CRITICAL_SECTION_CLASS_ID);
    handle->Mutex.lock();
    return 1;
}

int64_t CriticalSection_UnlockInt(CriticalSection* handle, const char* file, int32_t line) {
    if (!handle) Debug_AbortInt(file, line, "Pointer is NULL\n");
    CLASS_CHECK(handle, CRITICAL_SECTION_CLASS_ID);
    handle->Mutex.unlock();
    return 1;
}

int64_t CriticalSection_ValidHandle(CriticalSection* handle) {
    return handle && handle->Header.ClassId == CRITICAL_SECTION_CLASS_ID;
}

int64_t CriticalSection_Delete(CriticalSection** handle) {
    if (!handle || !CriticalSection_ValidHandle(*handle)) return 0;
    CriticalSection* lock = *handle;
    *handle = nullptr;
    lock->Header.ClassId = 0;
    lock->~CriticalSection();
    Memory_Free(lock, sizeof(CriticalSection));
    return 1;
}
