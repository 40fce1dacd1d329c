// MachOFile: the headers of thin and universal Mach-O files, the code signature embedded in them
// (super blob, code directories with their page hashes, CMS blob) and its verification.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/platform/stream.h"

// The fields of the two thin headers; integers in the file's (little-endian) order.
struct MachOHeader32 {
    uint32_t Magic;
    uint32_t CpuType;
    uint32_t CpuSubtype;
    uint32_t FileType;
    uint32_t CommandCount;
    uint32_t CommandsSize;
    uint32_t Flags;
};
struct MachOHeader64 {
    uint32_t Magic;
    uint32_t CpuType;
    uint32_t CpuSubtype;
    uint32_t FileType;
    uint32_t CommandCount;
    uint32_t CommandsSize;
    uint32_t Flags;
    uint32_t Reserved;
};

enum : uint32_t {
    MACHO_MAGIC_32 = 0xfeedface,
    MACHO_MAGIC_64 = 0xfeedfacf,
    MACHO_MAGIC_FAT = 0xcafebabe,
    MACHO_MAGIC_FAT_SWAPPED = 0xbebafeca,
    MACHO_COMMAND_CODE_SIGNATURE = 29,
    MACHO_BLOB_SUPER = 0xfade0cc0,
    MACHO_BLOB_CODE_DIRECTORY = 0xfade0c02,
    MACHO_BLOB_SIGNATURE = 0xfade0b01,
    // More architectures than this in one universal file is no real file.
    MACHO_MAX_ARCHITECTURES = 64,
};

// Not a directory, opens, and MachOFile_GetHeaders finds a thin header.
int64_t MachOFile_IsValid(const char* path);
int64_t MachOFile_IsValidStream(Stream* stream);
// 32 or 64 with that header filled (the other cleared), or -1. A universal file is followed to
// its first architecture, whose offset is then stored in *sliceOffset (0 for a thin file). Any
// out-argument may be null.
int64_t MachOFile_GetHeaders(Stream* stream, uint64_t* sliceOffset, MachOHeader32* header32,
                             MachOHeader64* header64);
// Walks the load commands of the first slice: 1 when the code-signature command is there, with
// the signature's file offset (slice offset + data offset) and size.
int64_t MachOFile_GetCodeSignatureCommandOffset(Stream* stream, uint64_t* sliceOffset, uint64_t* signatureOffset,
                                                uint32_t* signatureSize);
// The CMS bytes of the first slice's signature blob. With a null buffer only *size is set (the
// CMS size); with a buffer, *size gives its capacity on the way in and the CMS size on the way
// out, and 1 means every byte was read.
int64_t MachOFile_GetCertificate(Stream* stream, uint8_t* buffer, uint32_t* size);
// 1 when a signature blob with a nonzero CMS size exists.
int64_t MachOFile_HasCertificate(const char* path);
int64_t MachOFile_HasCertificateData(Stream* stream);
// The code signature verifies and its signer is trusted by the store; in a universal file every
// slice must verify.
int64_t MachOFile_Verify(CertStoreInterface* store, const char* path);
int64_t MachOFile_VerifyData(CertStoreInterface* store, Stream* stream);
