// The single-instance marker over one POSIX shared-memory block, and the process-wide entry
// points that keep the process's one tracker in the platform record.
#pragma once

#include <cstdint>

#include "core/platform/app_mark.h"

// The shared block: a 24-byte owner mark, the state word, the length word and the message.
enum : int32_t {
    PLATFORM_SINGLETON_BLOCK_SIZE = 4128,
    PLATFORM_SINGLETON_MARK_SIZE = 24,
    PLATFORM_SINGLETON_DATA_CAPACITY = 4096,
    // The object name: the first 31 hexadecimal digits of the MD5 of "<euid>:<marker name>", so
    // that every user has an object of its own, plus the terminator.
    PLATFORM_SINGLETON_OBJECT_NAME_CAPACITY = 32,
    // Buffer of the marker name "<application>-EXCLUSIVE".
    PLATFORM_SINGLETON_NAME_CAPACITY = 320,
};

// Block states: free, being written by a sender, message ready for the holder. A sender holds an
// open-file-description write lock on the state word (bytes 24 to 27 of the object) from its
// claim until it has published; the system drops the lock when the sender dies, so a block left
// claimed without that lock is a dead sender's and the next sender claims it again.
enum : uint32_t {
    PLATFORM_SINGLETON_FREE = 0,
    PLATFORM_SINGLETON_WRITING = 1,
    PLATFORM_SINGLETON_READY = 2,
};

// Claims the marker "<applicationName>-EXCLUSIVE", creating the process's tracker on first use.
// True when ANOTHER live instance holds it; false when this process now holds it (or the marker
// could not be set up, which lets the application run alone). Needs the platform record.
int64_t Platform_Singleton(const char* applicationName, int32_t timeoutMs);
// These forward to the process's tracker; false when there is none.
int64_t Platform_SingletonGetName(char* buffer, int32_t capacity);
int64_t Platform_SingletonSetDataCallback(void* user, AppMarkDataCallback function);
// The holder's main-loop tick.
int64_t Platform_SingletonReadData();
int64_t Platform_SingletonSendData(const void* data, int32_t size);
// Deletes the tracker (giving up a held marker); true.
int64_t Platform_SingletonEnd();
