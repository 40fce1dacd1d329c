// The portable half of the single-instance marker: the tracker's name and data callback, and
// the flat AppMark API over a tracker's address.
#include "core/platform/app_mark.h"

#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace core {

AppTrack::~AppTrack() {
    CallbackBase_ResetReal(&DataCallback);
    if (Name) Memory_Free(Name, NameSize);
}

void* AppTrack::operator new(std::size_t size) {
    return Memory_AllocZero(size);
}

void AppTrack::operator delete(void* pointer, std::size_t size) {
    if (pointer) Memory_Free(pointer, size);
}

bool AppTrack::SetDataCallback(void* user, AppMarkDataCallback function) {
    return CallbackBase_Set(&DataCallback, 0, user, function) == 1;
}

bool AppTrack::GetDataCallback(void** user, AppMarkDataCallback* function) {
    return CallbackBase_Get(&DataCallback, user, function) == 1;
}

bool AppTrack::SetName(const char* name) {
    ASSERT_POINTER(name);
    const size_t length = strlen(name);
    ASSERT_MSG(length < INT32_MAX, "Name too long\n");
    char* copy = static_cast<char*>(Memory_Alloc(length + 1));
    memcpy(copy, name, length + 1);
    if (Name) Memory_Free(Name, NameSize);
    Name = copy;
    NameSize = (int32_t)length + 1;
    return true;
}

} // namespace core

int64_t AppMark_Create(AppMark* handle) {
    ASSERT_POINTER(handle);
    *handle = core::AppTrack::Create();
    return 1;
}

int64_t AppMark_Delete(AppMark* handle) {
    ASSERT_POINTER(handle);
    delete *handle;
    *handle = nullptr;
    return 1;
}

int64_t AppMark_SetName(AppMark mark, const char* name) {
    ASSERT_POINTER(mark);
    return mark->SetName(name);
}

int64_t AppMark_GetName(AppMark mark, char* buffer, int32_t capacity) {
    ASSERT_POINTER(mark);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    return String_CopyLength(buffer, mark->GetName(), capacity) < capacity;
}

int64_t AppMark_SetOnDataCallback(AppMark mark, void* user, AppMarkDataCallback function) {
    ASSERT_POINTER(mark);
    return mark->SetDataCallback(user, function);
}

int64_t AppMark_AcquireWithTimeout(AppMark mark, int32_t timeoutMs) {
    ASSERT_POINTER(mark);
    return mark->AcquireWithTimeout(timeoutMs);
}

int64_t AppMark_ReadData(AppMark mark) {
    ASSERT_POINTER(mark);
    return mark->ReadData();
}

int64_t AppMark_WriteData(AppMark mark, const void* data, int32_t size) {
    ASSERT_POINTER(mark);
    if (size < 0) return 0;
    if (size > 0) ASSERT_POINTER(data);
    return mark->WriteData(std::string_view(static_cast<const char*>(data), (size_t)size));
}
