// The single-instance marker: an abstract tracker that tells the first start of an application
// from later ones and carries one message from a later start to the first, with its flat API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/runtime/callback.h"

// Receives the message another instance sent: (user, bytes, length). The bytes are a private
// copy, terminated after length; the answer is ignored.
typedef int32_t (*AppMarkDataCallback)(void* user, const char* data, int32_t length);

namespace core {

// One marker per name. The operating-system half derives from it; Create makes that one.
class AppTrack {
  public:
    AppTrack(const AppTrack&) = delete;
    AppTrack& operator=(const AppTrack&) = delete;
    virtual ~AppTrack();

    // True when this process now holds the marker (or setting it up failed, so that the
    // application runs alone rather than not at all); false when another live instance holds it.
    virtual bool AcquireWithTimeout(int32_t timeoutMs) = 0;
    // The holder's tick: keeps the marker alive and delivers a waiting message.
    virtual bool ReadData() = 0;
    // A later instance's message to the holder.
    virtual bool WriteData(std::string_view data) = 0;

    bool SetDataCallback(void* user, AppMarkDataCallback function);
    bool SetName(const char* name);
    const char* GetName() const { return Name ? Name : ""; }

    static AppTrack* Create();

    // Trackers live in the system's sized heap.
    static void* operator new(std::size_t size);
    static void operator delete(void* pointer, std::size_t size);

  protected:
    AppTrack() = default;
    // Reads the callback slot; false when no function is set.
    bool GetDataCallback(void** user, AppMarkDataCallback* function);

  private:
    char* Name = nullptr; // heap copy, NameSize bytes with the terminator
    int32_t NameSize = 0;
    CallbackBase DataCallback = {};
};

} // namespace core

// The flat API: a handle is the tracker's address.
typedef core::AppTrack* AppMark;

int64_t AppMark_Create(AppMark* handle);
// Releases a held marker and frees the tracker; the handle is cleared. True.
int64_t AppMark_Delete(AppMark* handle);
int64_t AppMark_SetName(AppMark mark, const char* name);
// Copies the name, cut to fit; true when the whole name fitted.
int64_t AppMark_GetName(AppMark mark, char* buffer, int32_t capacity);
int64_t AppMark_SetOnDataCallback(AppMark mark, void* user, AppMarkDataCallback function);
int64_t AppMark_AcquireWithTimeout(AppMark mark, int32_t timeoutMs);
int64_t AppMark_ReadData(AppMark mark);
// A negative size is refused (false).
int64_t AppMark_WriteData(AppMark mark, const void* data, int32_t size);
