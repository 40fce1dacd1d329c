// Re-entrant lock object used by every shared table of the system.
#pragma once

#include <cstdint>

enum : uint32_t { CRITICAL_SECTION_CLASS_ID = 0xFF945DBC };

struct CriticalSection;

int64_t CriticalSection_CreateInt(CriticalSection** handle, const char* file, int32_t line);
int64_t CriticalSection_LockInt(CriticalSection* handle, const char* file, int32_t line);
int64_t CriticalSection_UnlockInt(CriticalSection* handle, const char* file, int32_t line);
int64_t CriticalSection_ValidHandle(CriticalSection* handle);
int64_t CriticalSection_Delete(CriticalSection** handle);

#define CriticalSection_Create(handle) CriticalSection_CreateInt((handle), __FILE__, __LINE__)
#define CriticalSection_Lock(handle) CriticalSection_LockInt((handle), __FILE__, __LINE__)
#define CriticalSection_Unlock(handle) CriticalSection_UnlockInt((handle), __FILE__, __LINE__)

// Holds a lock for a scope; a null lock is allowed and does nothing.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection* lock) : lock_(lock) {
        if (lock_) CriticalSection_Lock(lock_);
    }
    ~CriticalSectionGuard() {
        if (lock_) CriticalSection_Unlock(lock_);
    }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection* lock_;
};
