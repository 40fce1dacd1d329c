// Feeds arbitrary bytes to the YAML reader, from memory and through a stream: it must end with a
// code (0 only for success) and never read past the input, recurse without bound or hang.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/formats/yaml.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    YAML* yaml = nullptr;
    Dictionary* dict = nullptr;
    YAML_Create(&yaml);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    YAML_SetPrintCallback(yaml, nullptr, Quiet);
    YAML_SetVerbose(yaml, 9); // the trace of every raised value runs too
    YAML_SetDictionaryHandle(yaml, dict);
    // An exactly sized heap copy, so a read past the input is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size) std::memcpy(copy, data, size);
    const int64_t fromBuffer = YAML_LoadBuffer(yaml, copy, (uint32_t)size);
    uint32_t code = 0;
    YAML_GetLastError(yaml, &code);
    if ((fromBuffer == 1) != (code == 0)) std::abort();
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetPointer(ms, copy, (uint32_t)size, (uint32_t)size);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    const int64_t fromStream = YAML_LoadStream(yaml, stream);
    uint32_t streamCode = 0;
    YAML_GetLastError(yaml, &streamCode);
    if (fromStream != fromBuffer || streamCode != code) std::abort();
    MemoryStream_Delete(&ms);
    std::free(copy);
    YAML_Delete(&yaml);
    Dictionary_Release(&dict);
    return 0;
}
