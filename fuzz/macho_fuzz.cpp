// Reads arbitrary bytes as a Mach-O file (thin or universal): headers, load commands, the code
// signature's super blob and CMS blob, and a full verification against a store that trusts
// nothing. Every call must end with an answer, never read outside the bytes.
#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/certs/macho_file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024) return 0;
    MemoryStream* memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_SetAutoGrow(memory, 1);
    uint32_t written = 0;
    if (size) MemoryStream_Write(memory, data, (uint32_t)size, &written);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(memory, &stream);

    uint64_t slice = 0, signatureOffset = 0;
    uint32_t signatureSize = 0;
    MachOHeader32 h32;
    MachOHeader64 h64;
    const int64_t bits = MachOFile_GetHeaders(stream, &slice, &h32, &h64);
    if (bits != 32 && bits != 64 && bits != -1) __builtin_trap();
    if (MachOFile_IsValidStream(stream) != (bits != -1)) __builtin_trap();
    if (MachOFile_GetCodeSignatureCommandOffset(stream, &slice, &signatureOffset, &signatureSize) &&
        signatureOffset + signatureSize > size)
        __builtin_trap();
    uint32_t cmsSize = 0;
    if (MachOFile_GetCertificate(stream, nullptr, &cmsSize)) {
        if (cmsSize > size) __builtin_trap();
        uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc(cmsSize + 1));
        uint32_t capacity = cmsSize;
        if (!MachOFile_GetCertificate(stream, buffer, &capacity)) __builtin_trap();
        Memory_Free(buffer, cmsSize + 1);
    }
    MachOFile_HasCertificateData(stream);

    CertStoreNull* store = nullptr;
    CertStoreNull_Create(&store);
    CertStoreInterface* iface = CertStoreNull_GetInterfaceHandle(store);
    MachOFile_VerifyData(iface, stream);
    CertStoreInterface_Release(&iface);
    CertStoreNull_Release(&store);
    MemoryStream_Release(&memory);
    return 0;
}
