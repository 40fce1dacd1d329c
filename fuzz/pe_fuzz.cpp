// Any bytes as a PE image: headers, section table, certificate table, image digest and version
// resource must fail cleanly or answer ranges inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/certs/cert_store.h"
#include "core/certs/pe_file.h"
#include "core/crypto/sha256.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "fuzz/image_fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    MemoryStream* memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_SetPointer(memory, bytes.data(), (uint32_t)size, (uint32_t)size);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(memory, &stream);

    uint32_t headerOffset = 0, offset = 0, length = 0;
    uint64_t imageSize = 0;
    PEHeaders32 h32;
    PEHeaders64 h64;
    PEFile_GetHeaders(stream, &headerOffset, &h32, &h64);
    PEFile_IsValidStream(stream);
    PEFile_GetImageSize(stream, &imageSize);
    if (PEFile_GetDataStoreOffset(stream, &offset, &length) && (uint64_t)offset + length > size) abort();
    if (PEFile_GetCertificateOffset(stream, &offset, &length) && (uint64_t)offset + length > size) abort();
    PEFile_HasCertificateData(stream);
    if (PEFile_GetCertificateLength(stream, &length)) {
        uint8_t* record = static_cast<uint8_t*>(Memory_Alloc(length));
        uint32_t got = 0;
        if (!PEFile_GetCertificate(stream, record, &got) || got != length) abort();
        Memory_Free(record, length);
    }
    uint8_t digest[32];
    PEFile_GetImageDigest(stream, &SHA256_INTERFACE, digest, sizeof(digest));
    // A store that trusts nothing: the signed data is read and the digest made, the trust walk
    // then says no.
    static CertStoreInterface* nobody = [] {
        CertStoreNull* store = nullptr;
        CertStoreNull_Create(&store);
        return CertStoreNull_GetInterfaceHandle(store);
    }();
    if (PEFile_VerifyData(nobody, stream)) abort();
    MemoryStream_Release(&memory);

    const char* path = FuzzInputFile(data, size, "pe_fuzz");
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    PEFile_GetInfoDictionary(path, dict);
    Dictionary_Release(&dict);
    return 0;
}
