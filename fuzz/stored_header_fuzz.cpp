// Reads arbitrary bytes as a stored piece: its header, then the encrypted container, gzip and a
// delta window, as the storage's decode chain runs them. The first byte picks the request's
// flags when the piece has no header; container iteration counts are kept small so that inputs
// reach the parsing after the key derivation quickly.
#include <cstdint>
#include <cstring>

#include "repository/storage_request.h"

namespace {

constexpr uint32_t kCapacity = 8192; // the buffer of a request with no pieces

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > kCapacity) return 0;
    StorageRequest* request = nullptr;
    StorageRequest* source = nullptr;
    if (!StorageRequest_Create(&request) || !StorageRequest_Create(&source)) return 0;
    StorageRequest_Alloc(request);
    StorageRequest_Alloc(source);
    StorageRequest_SetDeltaRequestHandle(request, source);

    uint8_t* buffer = nullptr;
    StorageRequest_GetPointer(request, &buffer);
    memcpy(buffer, data + 1, size - 1);
    // A container (no header, aes flag) starts with its iteration count.
    if (size >= 3 && (data[0] & 8) && !(size >= 5 && buffer[0] == 0x6e && buffer[1] == 0x2b)) buffer[0] = 0;
    StorageRequest_ReleasePointer(request, &buffer);
    StorageRequest_SetContentLength(request, (uint32_t)(size - 1));
    StorageRequest_SetFlags(request, data[0] & 0x0f);

    uint8_t* sourceBuffer = nullptr;
    StorageRequest_GetPointer(source, &sourceBuffer);
    for (uint32_t i = 0; i < 256; ++i) sourceBuffer[i] = (uint8_t)i;
    StorageRequest_ReleasePointer(source, &sourceBuffer);
    StorageRequest_SetContentLength(source, 256);

    StorageRequest_HeaderRemove(request);
    if (StorageRequest_AESDecrypt(request, 256, "password", 8) == 0 && StorageRequest_GZipInflate(request) == 0) {
        int32_t index = 0, count = 0;
        if (StorageRequest_VCDiffLoad(request, &index, &count)) StorageRequest_VCDiffInflate(request);
    }
    uint32_t length = 0;
    StorageRequest_GetContentLength(request, &length);
    uint32_t room = 0;
    StorageRequest_AllocSize(request, &room);
    if (length > room) __builtin_trap();

    StorageRequest_Release(&source);
    StorageRequest_Release(&request);
    return 0;
}
