// PKGFile: installer packages in the xar archive format: the header, the zlib-compressed XML
// table of contents, its checksum and signature, and the checksums of the archived files.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/platform/stream.h"

struct Dictionary;

enum : uint32_t {
    PKG_HEADER_SIZE = 28,
    // Longest file path a checksum message names.
    PKG_PATH_SIZE = 320,
};

// The first 28 bytes read and begin with "xar!".
int64_t PKGFile_IsValid(const char* path);
int64_t PKGFile_IsValidStream(Stream* stream);
// The table of contents' checksum verifies, its signature (CMS, or raw RSA by a certificate that
// chains to the store) covers that checksum, and every archived file matches its checksum.
int64_t PKGFile_Verify(CertStoreInterface* store, const char* path);
// The element's "offset" and "size" as 64-bit decimal numbers; 0 when either is missing or bad.
int64_t PKGFile_GetTocSizeAndOffset(Dictionary* element, uint64_t* offset, uint64_t* size);
// Every "file" below the element (recursively) whose data is in the heap matches its archived
// checksum; paths in messages are parentPath + "/" + name.
int64_t PKGFile_VerifyFileData(Stream* stream, Dictionary* element, uint64_t heapStart, const char* parentPath);
// A copy sink that feeds the bytes into a Hash object (the user): all of them, or 0.
int64_t Hash_ProcessCallback(void* hash, const void* bytes, uint32_t length, uint32_t* written);
