// Reads arbitrary bytes as a locale file: the input's first line is the key looked up and the
// language set, the rest the file's text; lookups run with small and large capacities.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform/stream_view.h"
#include "core/runtime/dictionary.h"
#include "skin/localisation.h"

namespace {

struct Input {
    const uint8_t* Data;
    size_t Length;
};

int64_t LoadInput(void* user, const char* path, Dictionary* target) {
    (void)path;
    Input* input = static_cast<Input*>(user);
    StreamView* view = nullptr;
    StreamView_Create(&view);
    StreamView_SetPointer(view, const_cast<uint8_t*>(input->Data), (uint32_t)input->Length, (uint32_t)input->Length);
    Stream* stream = nullptr;
    StreamView_GetStreamHandle(view, &stream);
    uint32_t before = 0, after = 0;
    Dictionary_ItemGetCount(target, &before);
    const int64_t loaded = L10N_LoadLocaleStream(stream, target);
    Dictionary_ItemGetCount(target, &after);
    // A refused file leaves the locale as it was.
    if (!loaded && after != before) abort();
    StreamView_Delete(&view);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
    const size_t keyLength = newline ? (size_t)(newline - data) : 0;
    if (keyLength > 2000) return 0;
    std::string key(reinterpret_cast<const char*>(data), keyLength);
    key = key.c_str();
    Input input {newline ? newline + 1 : data, newline ? size - keyLength - 1 : size};
    L10N_Init();
    L10N_SetLoadCallback(&input, LoadInput);
    L10N_SetLanguage(key.substr(0, 7).c_str());
    for (int32_t capacity : {1, 8, 4096}) {
        std::string text(std::max<size_t>(key.size() + 1, (size_t)capacity), '\0');
        memcpy(text.data(), key.data(), key.size());
        text[key.size() < (size_t)capacity ? key.size() : (size_t)capacity - 1] = 0;
        L10N_LocalizeString(text.data(), capacity);
        if (strnlen(text.data(), (size_t)capacity) >= (size_t)capacity) abort();
    }
    L10N_Remove();
    return 0;
}
