// Any bytes as an ELF file: headers, section headers and the lookups by name must fail cleanly or
// answer ranges inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/certs/elf_file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "fuzz/image_fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    MemoryStream* memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_SetPointer(memory, bytes.data(), (uint32_t)size, (uint32_t)size);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(memory, &stream);

    ELFHeader32 h32;
    ELFHeader64 h64;
    const int64_t kind = ELFFile_GetHeaders(stream, &h32, &h64);
    if (kind) {
        const uint8_t* ident = kind == 1 ? h32.Ident : h64.Ident;
        const uint64_t table = kind == 1 ? h32.SectionHeaderOffset : h64.SectionHeaderOffset;
        if (table < size && Stream_Seek(stream, (int64_t)table, SEEK_ORIGIN_BEGIN)) {
            ELFSection32 s32;
            ELFSection64 s64;
            for (int i = 0; i < 8 && ELFFile_ReadSection(stream, ident, &s32, &s64); i++) {
            }
        }
        Stream_Seek(stream, 0, SEEK_ORIGIN_BEGIN);
    }
    ELFFile_IsValidStream(stream);
    uint64_t offset = 0, length = 0;
    for (const char* name : {".datastore", ".text", ".version.json", ""})
        if (ELFFile_GetSectionOffset(stream, name, &offset, &length) &&
            (offset > size || length > size - offset))
            abort();
    if (ELFFile_GetDataStoreOffset(stream, &offset, &length) && (offset > size || length > size - offset))
        abort();
    if (ELFFile_GetSkinStoreOffset(stream, &offset, &length) && (offset > size || length > size - offset))
        abort();
    MemoryStream_Release(&memory);

    const char* path = FuzzInputFile(data, size, "elf_fuzz");
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    ELFFile_GetInfoDictionary(path, dict);
    Dictionary_Release(&dict);
    return 0;
}
