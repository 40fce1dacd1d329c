// Reading ELF files of either class and byte order: headers, section lookup by name, and the
// sections that carry version information, the data store and the skin store.
#include "core/certs/elf_file.h"

#include <cstring>

#include "core/certs/image_reader_internal.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr uint32_t kHeaderSize32 = 52, kHeaderSize64 = 64;
constexpr uint32_t kSectionSize32 = 40, kSectionSize64 = 64;
// Name tables and version documents are small; a larger one is taken as damage.
constexpr uint64_t kMaxTable = 16u << 20;

bool IsBig(const uint8_t* ident) {
    return ident[5] == 2;
}

void DecodeSection(const uint8_t* p, const uint8_t* ident, ELFSection32* s32, ELFSection64* s64) {
    const bool big = IsBig(ident);
    if (ident[4] == 1) {
        uint32_t* fields[] = {&s32->Name, &s32->Type, &s32->Flags, &s32->Address,   &s32->Offset,
                              &s32->Size, &s32->Link, &s32->Info,  &s32->Alignment, &s32->EntrySize};
        for (uint32_t i = 0; i < 10; i++) *fields[i] = ImageU32(p + 4 * i, big);
        return;
    }
    s64->Name = ImageU32(p, big);
    s64->Type = ImageU32(p + 4, big);
    s64->Flags = ImageU64(p + 8, big);
    s64->Address = ImageU64(p + 16, big);
    s64->Offset = ImageU64(p + 24, big);
    s64->Size = ImageU64(p + 32, big);
    s64->Link = ImageU32(p + 40, big);
    s64->Info = ImageU32(p + 44, big);
    s64->Alignment = ImageU64(p + 48, big);
    s64->EntrySize = ImageU64(p + 56, big);
}

// The facts of the header the lookups need, whatever the class.
struct SectionTable {
    uint8_t Ident[16];
    uint64_t Offset;
    uint32_t EntrySize, Count, NameIndex;
};

bool ReadTableHeader(ImageReader& reader, SectionTable* table) {
    ELFHeader32 h32;
    ELFHeader64 h64;
    if (!Stream_Seek(reader.Source, (int64_t)reader.Base, SEEK_ORIGIN_BEGIN)) return false;
    const int64_t kind = ELFFile_GetHeaders(reader.Source, &h32, &h64);
    if (kind == 1) {
        memcpy(table->Ident, h32.Ident, 16);
        table->Offset = h32.SectionHeaderOffset;
        table->EntrySize = h32.SectionHeaderEntrySize;
        table->Count = h32.SectionHeaderCount;
        table->NameIndex = h32.SectionNameIndex;
        return table->EntrySize >= kSectionSize32;
    }
    if (kind == 2) {
        memcpy(table->Ident, h64.Ident, 16);
        table->Offset = h64.SectionHeaderOffset;
        table->EntrySize = h64.SectionHeaderEntrySize;
        table->Count = h64.SectionHeaderCount;
        table->NameIndex = h64.SectionNameIndex;
        return table->EntrySize >= kSectionSize64;
    }
    return false;
}

// A table that does not lie wholly inside the file is damage, whatever entry is looked for.
bool ReadTable(ImageReader& reader, SectionTable* table) {
    return ReadTableHeader(reader, table) &&
           reader.Fits(table->Offset, (uint64_t)table->Count * table->EntrySize);
}

// Section number index: its file range. Entries are found by the declared entry size, so larger
// entries are stepped over correctly.
bool ReadSectionAt(ImageReader& reader, const SectionTable& table, uint32_t index, uint64_t* offset,
                   uint64_t* size) {
    if (index >= table.Count) return false;
    const uint64_t at = (uint64_t)index * table.EntrySize;
    if (table.Offset > UINT64_MAX - at) return false;
    uint8_t raw[kSectionSize64];
    const uint32_t need = table.Ident[4] == 1 ? kSectionSize32 : kSectionSize64;
    if (!reader.Read(table.Offset + at, raw, need)) return false;
    ELFSection32 s32{};
    ELFSection64 s64{};
    DecodeSection(raw, table.Ident, &s32, &s64);
    *offset = table.Ident[4] == 1 ? s32.Offset : s64.Offset;
    *size = table.Ident[4] == 1 ? s32.Size : s64.Size;
    return true;
}

uint32_t SectionName(ImageReader& reader, const SectionTable& table, uint32_t index) {
    uint8_t raw[4];
    if (index >= table.Count || !reader.Read(table.Offset + (uint64_t)index * table.EntrySize, raw, 4))
        return 0;
    return ImageU32(raw, IsBig(table.Ident));
}

int64_t FindSection(Stream* stream, const char* name, uint64_t* offset, uint64_t* size) {
    ImageReader reader;
    if (!reader.Start(stream)) return 0;
    SectionTable table;
    if (!ReadTable(reader, &table)) return 0;
    uint64_t namesOffset = 0, namesSize = 0;
    if (!ReadSectionAt(reader, table, table.NameIndex, &namesOffset, &namesSize)) return 0;
    if (namesSize == 0 || namesSize > kMaxTable || !reader.Fits(namesOffset, namesSize)) return 0;
    char* names = static_cast<char*>(Memory_Alloc(namesSize));
    int64_t found = 0;
    if (reader.Read(namesOffset, names, namesSize)) {
        const size_t wanted = strlen(name);
        for (uint32_t i = 0; i < table.Count && !found; i++) {
            const uint32_t at = SectionName(reader, table, i);
            if (at >= namesSize) continue;
            const char* candidate = names + at;
            const size_t length = strnlen(candidate, namesSize - at);
            if (length == namesSize - at || length != wanted) continue;
            if (!String_CompareLengthWithoutCase(candidate, name, (int32_t)length)) continue;
            uint64_t o = 0, s = 0;
            if (!ReadSectionAt(reader, table, i, &o, &s)) break;
            // A range past the end of the file names no bytes the caller could read.
            if (reader.Fits(o, s)) {
                *offset = o;
                *size = s;
                found = 1;
            } else {
                break;
            }
        }
    }
    Memory_Free(names, namesSize);
    return found;
}

int64_t NonEmptySection(Stream* stream, const char* name, uint64_t* offset, uint64_t* size) {
    ASSERT_POINTER(offset);
    ASSERT_POINTER(size);
    *offset = 0;
    *size = 0;
    if (!FindSection(stream, name, offset, size) || *size == 0) {
        *offset = 0;
        *size = 0;
        return 0;
    }
    return 1;
}

} // namespace

int64_t ELFFile_GetHeaders(Stream* stream, ELFHeader32* header32, ELFHeader64* header64) {
    ASSERT_POINTER(header32);
    ASSERT_POINTER(header64);
    *header32 = ELFHeader32{};
    *header64 = ELFHeader64{};
    ImageReader reader;
    if (!reader.Start(stream)) return 0;
    uint8_t raw[kHeaderSize64];
    if (!reader.Read(0, raw, 18)) return 0;
    if (raw[0] != 0x7f || raw[1] != 'E' || raw[2] != 'L' || raw[3] != 'F') return 0;
    const uint8_t elfClass = raw[4];
    if (elfClass != 1 && elfClass != 2) return 0;
    if (!reader.Read(0, raw, elfClass == 1 ? kHeaderSize32 : kHeaderSize64)) return 0;
    const bool big = IsBig(raw);
    if (elfClass == 1) {
        ELFHeader32* h = header32;
        memcpy(h->Ident, raw, 16);
        h->Type = ImageU16(raw + 16, big);
        h->Machine = ImageU16(raw + 18, big);
        h->Version = ImageU32(raw + 20, big);
        h->Entry = ImageU32(raw + 24, big);
        h->ProgramHeaderOffset = ImageU32(raw + 28, big);
        h->SectionHeaderOffset = ImageU32(raw + 32, big);
        h->Flags = ImageU32(raw + 36, big);
        uint16_t* tail[] = {&h->HeaderSize,         &h->ProgramHeaderEntrySize,
                            &h->ProgramHeaderCount, &h->SectionHeaderEntrySize,
                            &h->SectionHeaderCount, &h->SectionNameIndex};
        for (uint32_t i = 0; i < 6; i++) *tail[i] = ImageU16(raw + 40 + 2 * i, big);
        return 1;
    }
    ELFHeader64* h = header64;
    memcpy(h->Ident, raw, 16);
    h->Type = ImageU16(raw + 16, big);
    h->Machine = ImageU16(raw + 18, big);
    h->Version = ImageU32(raw + 20, big);
    h->Entry = ImageU64(raw + 24, big);
    h->ProgramHeaderOffset = ImageU64(raw + 32, big);
    h->SectionHeaderOffset = ImageU64(raw + 40, big);
    h->Flags = ImageU32(raw + 48, big);
    uint16_t* tail[] = {&h->HeaderSize,         &h->ProgramHeaderEntrySize,
                        &h->ProgramHeaderCount, &h->SectionHeaderEntrySize,
                        &h->SectionHeaderCount, &h->SectionNameIndex};
    for (uint32_t i = 0; i < 6; i++) *tail[i] = ImageU16(raw + 52 + 2 * i, big);
    return 2;
}

int64_t ELFFile_ReadSection(Stream* stream, const uint8_t* ident, ELFSection32* section32,
                            ELFSection64* section64) {
    ASSERT_POINTER(ident);
    ASSERT_POINTER(section32);
    ASSERT_POINTER(section64);
    *section32 = ELFSection32{};
    *section64 = ELFSection64{};
    if (ident[4] != 1 && ident[4] != 2) return 0;
    uint8_t raw[kSectionSize64];
    const uint32_t need = ident[4] == 1 ? kSectionSize32 : kSectionSize64;
    uint32_t got = 0;
    while (got < need) {
        uint32_t part = 0;
        Stream_Read(stream, raw + got, need - got, &part);
        if (part == 0) return 0;
        got += part;
    }
    DecodeSection(raw, ident, section32, section64);
    return 1;
}

int64_t ELFFile_GetSectionOffset(Stream* stream, const char* name, uint64_t* offset, uint64_t* size) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(offset);
    ASSERT_POINTER(size);
    *offset = 0;
    *size = 0;
    return FindSection(stream, name, offset, size);
}

int64_t ELFFile_IsValidStream(Stream* stream) {
    ELFHeader32 h32;
    ELFHeader64 h64;
    return ELFFile_GetHeaders(stream, &h32, &h64) != 0;
}

int64_t ELFFile_IsValid(const char* path) {
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(path, &file, &stream)) return 0;
    const int64_t valid = ELFFile_IsValidStream(stream);
    ImageCloseFile(&file);
    return valid;
}

int64_t ELFFile_GetDataStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size) {
    return NonEmptySection(stream, ".datastore", offset, size);
}

int64_t ELFFile_GetSkinStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size) {
    return NonEmptySection(stream, ".skinstore", offset, size);
}

int64_t ELFFile_GetInfoDictionary(const char* path, Dictionary* dict) {
    ASSERT_POINTER(dict);
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(path, &file, &stream)) return 0;
    uint64_t offset = 0, size = 0;
    int64_t result = 0;
    if (FindSection(stream, ".version.json", &offset, &size) && size > 0 && size <= kMaxTable) {
        char* text = static_cast<char*>(Memory_Alloc(size));
        ImageReader reader;
        if (reader.Start(stream) && reader.Read(offset, text, size)) {
            Dictionary* parsed = nullptr;
            Dictionary_Create(&parsed);
            JSON* json = nullptr;
            JSON_Create(&json);
            JSON_SetDictionaryHandle(json, parsed);
            Dictionary* root = nullptr;
            uint32_t type = 0;
            DictionaryItem* first = nullptr;
            if (JSON_LoadBuffer(json, text, (uint32_t)size) && Dictionary_ItemGetFirst(parsed, &first) &&
                Dictionary_ItemGetType(parsed, first, &type) && type == DICTIONARY_TYPE_DICTIONARY &&
                Dictionary_SkipRoot(parsed, &root) && root != parsed) {
                Dictionary_SetCaseSensitive(dict, 0);
                result = Dictionary_Merge(dict, root, DICTIONARY_MERGE_OVERWRITE) ? 1 : 0;
            }
            JSON_Release(&json);
            Dictionary_Release(&parsed);
        }
        Memory_Free(text, size);
    }
    ImageCloseFile(&file);
    return result;
}

int64_t ELFFile_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetCaseSensitive(dict, 0);
    int64_t found = 0;
    DictionaryItem* item = nullptr;
    const char* value = nullptr;
    if (ELFFile_GetInfoDictionary(path, dict) && Dictionary_ItemFindByKey(dict, key, nullptr, &item) &&
        !Dictionary_ItemIsContainer(dict, item) && Dictionary_ItemGetBufferPtr(dict, item, &value, nullptr) &&
        value) {
        String_CopyLength(text, value, capacity);
        found = 1;
    }
    Dictionary_Release(&dict);
    return found;
}
