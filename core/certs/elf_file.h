// Reading ELF files: the header, section lookup by name, and the sections that carry a program's
// version information (".version.json"), its data store and its skin store.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"

struct Dictionary;

// Field values are in host order whatever the file's byte order.
struct ELFHeader32 {
    uint8_t Ident[16];
    uint16_t Type, Machine;
    uint32_t Version, Entry, ProgramHeaderOffset, SectionHeaderOffset, Flags;
    uint16_t HeaderSize, ProgramHeaderEntrySize, ProgramHeaderCount;
    uint16_t SectionHeaderEntrySize, SectionHeaderCount, SectionNameIndex;
};
struct ELFHeader64 {
    uint8_t Ident[16];
    uint16_t Type, Machine;
    uint32_t Version;
    uint64_t Entry, ProgramHeaderOffset, SectionHeaderOffset;
    uint32_t Flags;
    uint16_t HeaderSize, ProgramHeaderEntrySize, ProgramHeaderCount;
    uint16_t SectionHeaderEntrySize, SectionHeaderCount, SectionNameIndex;
};
struct ELFSection32 {
    uint32_t Name, Type, Flags, Address, Offset, Size, Link, Info, Alignment, EntrySize;
};
struct ELFSection64 {
    uint32_t Name, Type;
    uint64_t Flags, Address, Offset, Size;
    uint32_t Link, Info;
    uint64_t Alignment, EntrySize;
};

// 1 (32-bit) or 2 (64-bit) with that header filled (the other cleared); 0 when not ELF or short.
// The stream's position at the call is the start of the file.
int64_t ELFFile_GetHeaders(Stream* stream, ELFHeader32* header32, ELFHeader64* header64);
// Reads the section header at the stream's position; ident is the header's Ident (class and byte
// order). 1 when a whole one arrived.
int64_t ELFFile_ReadSection(Stream* stream, const uint8_t* ident, ELFSection32* section32,
                            ELFSection64* section64);
// 1 with the file range of the first section named so (without case); 0 with both outs 0 when
// there is none or its range lies outside the file.
int64_t ELFFile_GetSectionOffset(Stream* stream, const char* name, uint64_t* offset, uint64_t* size);
int64_t ELFFile_IsValid(const char* path);
int64_t ELFFile_IsValidStream(Stream* stream);
// ".datastore" and ".skinstore": 0 with both outs 0 when absent or empty.
int64_t ELFFile_GetDataStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size);
int64_t ELFFile_GetSkinStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size);
// Merges the root object of the ".version.json" section into the dictionary (keys without case).
int64_t ELFFile_GetInfoDictionary(const char* path, Dictionary* dict);
// One value of that object as text, cut to the capacity; 0 (empty text) when absent.
int64_t ELFFile_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity);
