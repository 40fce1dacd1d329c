// Reading Windows PE images: headers, entry point, the section table, the certificate table with
// its Authenticode signature check over the image digest, and the version resource.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"

struct CertStoreInterface;
struct Dictionary;

struct PEFileHeader {
    uint16_t Machine, NumberOfSections;
    uint32_t TimeDateStamp, PointerToSymbolTable, NumberOfSymbols;
    uint16_t SizeOfOptionalHeader, Characteristics;
};
struct PEDataDirectory {
    uint32_t VirtualAddress, Size;
};
enum : uint32_t { PE_DATA_DIRECTORY_COUNT = 16, PE_CERTIFICATE_DIRECTORY = 4 };

// The optional-header fields of both forms, widened where PE32+ is wider.
struct PEOptionalHeader {
    uint16_t Magic;
    uint32_t SizeOfCode, AddressOfEntryPoint, BaseOfCode;
    uint64_t ImageBase;
    uint32_t SectionAlignment, FileAlignment, SizeOfImage, SizeOfHeaders, CheckSum;
    uint16_t Subsystem, DllCharacteristics;
    uint32_t NumberOfRvaAndSizes;
    PEDataDirectory DataDirectory[PE_DATA_DIRECTORY_COUNT];
};
struct PEHeaders32 {
    uint32_t Signature;
    PEFileHeader FileHeader;
    PEOptionalHeader OptionalHeader;
};
struct PEHeaders64 {
    uint32_t Signature;
    PEFileHeader FileHeader;
    PEOptionalHeader OptionalHeader;
};

// 32 (PE32) or 64 (PE32+) with the PE header's file offset and that header set filled (the other
// cleared); -1 when the stream holds no PE image. The stream's position is the start of the file.
int64_t PEFile_GetHeaders(Stream* stream, uint32_t* headerOffset, PEHeaders32* headers32,
                          PEHeaders64* headers64);
// 1 when the headers are valid; the address (may be null) is the entry point, relative to the
// image base with relative 1.
int64_t PEFile_GetEntryPoint(const char* path, uint32_t relative, uint64_t* address);
int64_t PEFile_GetEntryPointStream(Stream* stream, uint32_t relative, uint64_t* address);
int64_t PEFile_IsValid(const char* path);
int64_t PEFile_IsValidStream(Stream* stream);
// End of the raw data of the section with the largest raw-data offset; 1 when above 0.
int64_t PEFile_GetImageSize(Stream* stream, uint64_t* size);
// The certificate-table entry (file offset and size), 1 when it lies inside the file.
int64_t PEFile_GetDataDirectoryOffset(Stream* stream, uint32_t* offset, uint32_t* size);
// The same range as the data store region; 0 when its size is 0.
int64_t PEFile_GetDataStoreOffset(Stream* stream, uint32_t* offset, uint32_t* size);
// The entry's offset and the certificate record's length, checked against the entry and the file.
int64_t PEFile_GetCertificateOffset(Stream* stream, uint32_t* offset, uint32_t* length);
// The record length, when the record holds at least 11 bytes, all inside the file.
int64_t PEFile_GetCertificateLength(Stream* stream, uint32_t* length);
// The record length; with a buffer (of at least that length) the whole record read into it.
int64_t PEFile_GetCertificate(Stream* stream, uint8_t* buffer, uint32_t* length);
int64_t PEFile_HasCertificate(const char* path);
int64_t PEFile_HasCertificateData(Stream* stream);
// The Authenticode signature: its image digest must be this file's and its signer trusted.
int64_t PEFile_Verify(CertStoreInterface* store, const char* path);
int64_t PEFile_VerifyData(CertStoreInterface* store, Stream* stream);
// The string tables and fixed versions of the version resource.
int64_t PEFile_GetInfoDictionary(const char* path, Dictionary* dict);
int64_t PEFile_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity);

// The Authenticode image digest with the record (hash interface) given; digest holds its size.
// Used by the signature check; 1 when the image's layout allows every byte to be covered.
struct HashInterface;
int64_t PEFile_GetImageDigest(Stream* stream, const HashInterface* record, uint8_t* digest,
                              uint32_t capacity);
