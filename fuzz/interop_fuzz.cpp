// Feeds arbitrary bytes to the script bridge as invoke requests (JSON texts) for a live instance,
// an id never issued and an id made of the input itself. The instance's Invoke reads every kind
// of parameter and checks the method hash against the whole method text; a success must write one
// JSON object, a failure must leave the output empty.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/interop_request.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

uint32_t Hash(const char* text) {
    return CRC_Update(0, text, (uint32_t)strlen(text));
}

int64_t Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Fuzz", &method, &hash)) return 0;
    // The hash stands for the whole method text, however long, NULs included.
    const char* whole = nullptr;
    int32_t length = 0;
    Dictionary_GetBufferPtrByKey(request, "method", &whole, &length);
    Require(hash == CRC_Update(0, whole, (uint32_t)length));
    if (hash == Hash("add")) {
        int32_t a = 0;
        int64_t b = 0;
        double c = 0;
        if (!ApiGen_GetInt32(request, "Fuzz", method, "a", &a) ||
            !ApiGen_GetInt64(request, "Fuzz", method, "b", &b) ||
            !ApiGen_GetFloat64(request, "Fuzz", method, "c", &c))
            return 0;
        Dictionary_AddInt64(response, "returnValue", (int64_t)a + (b & 0xFFFF), nullptr);
        return 1;
    }
    if (hash == Hash("text")) {
        char buffer[16];
        const char* text = nullptr;
        uint32_t flag = 0;
        Dictionary* options = nullptr;
        if (!ApiGen_GetString(request, "Fuzz", method, "s", buffer, sizeof(buffer)) ||
            !ApiGen_GetStringPtr(request, "Fuzz", method, "s", &text) ||
            !ApiGen_GetBoolean(request, "Fuzz", method, "flag", &flag) ||
            !ApiGen_GetDictionary(request, "Fuzz", method, "options", &options))
            return 0;
        Dictionary_AddString(response, "returnValue", buffer, nullptr);
        return 1;
    }
    if (hash == Hash("blob")) {
        const char* text = nullptr;
        if (!ApiGen_GetStringPtr(request, "Fuzz", method, "data", &text)) return 0;
        uint8_t* bytes = nullptr;
        uint32_t length = 0, size = 0;
        ApiGen_CreateBase64DecodedBuffer(text, &bytes, &length, &size);
        Require(bytes && length < size && bytes[length] == 0);
        char* encoded = nullptr;
        uint32_t encodedSize = 0;
        ApiGen_CreateBase64EncodedBuffer(bytes, length, &encoded, &encodedSize);
        Dictionary_AddString(response, "returnValue", encoded, nullptr);
        ApiGen_DeleteBase64EncodedBuffer(&encoded, &encodedSize);
        ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);
        return 1;
    }
    return 0;
}

int64_t Release(void** user) {
    *user = nullptr;
    return 1;
}

int64_t CreateInstance(const char* className, char* id, int32_t idSize, void*, InteropExecuteFunc,
                       InteropInvokeFunc* invoke, InteropReleaseFunc* release, InteropProcessFunc*,
                       void** user) {
    if (strcmp(className, "Fuzz") != 0) return 0;
    strncpy(id, "fuzz-instance", (size_t)idSize - 1);
    *invoke = Invoke;
    *release = Release;
    *user = nullptr;
    return 1;
}

int64_t Nothing() {
    return 1;
}
int64_t SetOverride(const char*, void*) {
    return 1;
}
int64_t SetOption(const char*, const char*) {
    return 1;
}

MemoryStream* Output = nullptr;

bool Setup() {
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    Interop_Add("fuzz", Nothing, Nothing, CreateInstance, SetOverride, SetOption);
    char id[40] = "";
    Interop_DispatchCreateInstance("Fuzz", id, sizeof(id), nullptr, nullptr, nullptr);
    MemoryStream_Create(&Output);
    MemoryStream_SetAutoGrow(Output, 1);
    return true;
}

void Check(const char* id, const char* text) {
    const int64_t result = Interop_DispatchInvokeJSON(id, text, Output);
    uint64_t length = 0;
    MemoryStream_Length(Output, &length);
    if (!result) {
        Require(length == 0);
        return;
    }
    uint8_t* bytes = nullptr;
    MemoryStream_GetPointer(Output, &bytes);
    Require(length >= 2 && bytes[0] == '{' && bytes[length - 1] == '}');
    MemoryStream_ReleasePointer(Output, &bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size > (1u << 16)) return 0;
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (size) std::memcpy(text, data, size);
    text[size] = 0;
    Check("fuzz-instance", text);
    Check("never-issued", text);
    // The input itself as an id: any length, any bytes up to its first NUL.
    Check(text, "{\"method\":\"add\",\"a\":1,\"b\":2,\"c\":3}");
    Require(Interop_DispatchHasInstance(text) == (strcmp(text, "fuzz-instance") == 0 ? 1 : 0) ||
            strcasecmp(text, "fuzz-instance") == 0);
    Interop_Process();
    std::free(text);
    return 0;
}
