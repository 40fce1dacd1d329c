// Reading Windows PE images through a stream. Every offset and size comes from the file, so each
// is checked against the file's length before it is used, in 64-bit arithmetic.
#include "core/certs/pe_file.h"

#include <algorithm>
#include <cstring>

#include "core/certs/image_reader_internal.h"
#include "core/crypto/hash.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/unicode.h"

namespace {

constexpr uint32_t kSectionSize = 40;
constexpr uint32_t kMaxLength = 0x80000000u;
// A resource section larger than this is taken as damage rather than read whole.
constexpr uint64_t kMaxResource = 64u << 20;

struct Section {
    uint8_t Name[8];
    uint32_t RawSize, RawOffset;
};

// What the readers below need of the headers, whatever the form.
struct Image {
    ImageReader Reader;
    uint32_t HeaderOffset = 0;
    uint32_t Bits = 0;
    PEFileHeader FileHeader{};
    PEOptionalHeader Optional{};
    uint32_t Directories = 0; // data directories present in the optional header as declared

    uint64_t SectionTable() const { return (uint64_t)HeaderOffset + 24 + FileHeader.SizeOfOptionalHeader; }
    uint64_t CertificateEntry() const { return (uint64_t)HeaderOffset + (Bits == 32 ? 152 : 168); }
    bool HasCertificateEntry() const { return Directories > PE_CERTIFICATE_DIRECTORY; }
};

int64_t ReadHeaders(ImageReader& reader, uint32_t* headerOffset, PEHeaders32* h32, PEHeaders64* h64) {
    uint8_t dos[64];
    if (!reader.Read(0, dos, sizeof(dos)) || ImageU16(dos) != 0x5a4d) return -1;
    const uint32_t at = ImageU32(dos + 60);
    uint8_t raw[24 + 240];
    if (!reader.Read(at, raw, 26) || ImageU32(raw) != 0x00004550) return -1;
    const uint16_t magic = ImageU16(raw + 24);
    if (magic != 0x10b && magic != 0x20b) return -1;
    const bool plus = magic == 0x20b;
    if (!reader.Read(at, raw, 24 + (plus ? 240 : 224))) return -1;

    PEFileHeader file;
    file.Machine = ImageU16(raw + 4);
    file.NumberOfSections = ImageU16(raw + 6);
    file.TimeDateStamp = ImageU32(raw + 8);
    file.PointerToSymbolTable = ImageU32(raw + 12);
    file.NumberOfSymbols = ImageU32(raw + 16);
    file.SizeOfOptionalHeader = ImageU16(raw + 20);
    file.Characteristics = ImageU16(raw + 22);

    const uint8_t* o = raw + 24;
    PEOptionalHeader opt{};
    opt.Magic = magic;
    opt.SizeOfCode = ImageU32(o + 4);
    opt.AddressOfEntryPoint = ImageU32(o + 16);
    opt.BaseOfCode = ImageU32(o + 20);
    opt.ImageBase = plus ? ImageU64(o + 24) : ImageU32(o + 28);
    opt.SectionAlignment = ImageU32(o + 32);
    opt.FileAlignment = ImageU32(o + 36);
    opt.SizeOfImage = ImageU32(o + 56);
    opt.SizeOfHeaders = ImageU32(o + 60);
    opt.CheckSum = ImageU32(o + 64);
    opt.Subsystem = ImageU16(o + 68);
    opt.DllCharacteristics = ImageU16(o + 70);
    opt.NumberOfRvaAndSizes = ImageU32(o + (plus ? 108 : 92));
    const uint32_t first = plus ? 112 : 96;
    // Only the directories both counted and inside the declared optional header are real; the
    // bytes after a short optional header belong to the section table.
    uint32_t present = std::min<uint32_t>(opt.NumberOfRvaAndSizes, PE_DATA_DIRECTORY_COUNT);
    const uint32_t room = file.SizeOfOptionalHeader > first ? (file.SizeOfOptionalHeader - first) / 8 : 0;
    present = std::min(present, room);
    for (uint32_t i = 0; i < present; i++) {
        opt.DataDirectory[i].VirtualAddress = ImageU32(o + first + 8 * i);
        opt.DataDirectory[i].Size = ImageU32(o + first + 8 * i + 4);
    }
    *headerOffset = at;
    PEHeaders32* target32 = plus ? nullptr : h32;
    PEHeaders64* target64 = plus ? h64 : nullptr;
    if (target32) *target32 = PEHeaders32{0x00004550, file, opt};
    if (target64) *target64 = PEHeaders64{0x00004550, file, opt};
    return plus ? 64 : 32;
}

bool LoadImage(Stream* stream, Image* image) {
    if (!image->Reader.Start(stream)) return false;
    PEHeaders32 h32{};
    PEHeaders64 h64{};
    const int64_t bits = ReadHeaders(image->Reader, &image->HeaderOffset, &h32, &h64);
    if (bits < 0) return false;
    image->Bits = (uint32_t)bits;
    image->FileHeader = bits == 32 ? h32.FileHeader : h64.FileHeader;
    image->Optional = bits == 32 ? h32.OptionalHeader : h64.OptionalHeader;
    const uint32_t first = bits == 32 ? 96 : 112;
    const uint32_t size = image->FileHeader.SizeOfOptionalHeader;
    image->Directories = std::min<uint32_t>({image->Optional.NumberOfRvaAndSizes, PE_DATA_DIRECTORY_COUNT,
                                             size > first ? (size - first) / 8 : 0});
    return true;
}

// The whole section table, or null. The caller frees count * sizeof(Section) bytes.
Section* ReadSections(Image& image, uint32_t* count) {
    *count = image.FileHeader.NumberOfSections;
    if (*count == 0) return nullptr;
    const uint64_t bytes = (uint64_t)*count * kSectionSize;
    if (!image.Reader.Fits(image.SectionTable(), bytes)) return nullptr;
    uint8_t* raw = static_cast<uint8_t*>(Memory_Alloc(bytes));
    Section* sections = nullptr;
    if (image.Reader.Read(image.SectionTable(), raw, bytes)) {
        sections = static_cast<Section*>(Memory_Alloc((uint64_t)*count * sizeof(Section)));
        for (uint32_t i = 0; i < *count; i++) {
            const uint8_t* p = raw + (uint64_t)i * kSectionSize;
            memcpy(sections[i].Name, p, 8);
            sections[i].RawSize = ImageU32(p + 16);
            sections[i].RawOffset = ImageU32(p + 20);
        }
    }
    Memory_Free(raw, bytes);
    return sections;
}

void FreeSections(Section* sections, uint32_t count) {
    if (sections) Memory_Free(sections, (uint64_t)count * sizeof(Section));
}

bool CertificateEntry(Image& image, uint32_t* offset, uint32_t* size) {
    if (!image.HasCertificateEntry()) return false;
    *offset = image.Optional.DataDirectory[PE_CERTIFICATE_DIRECTORY].VirtualAddress;
    *size = image.Optional.DataDirectory[PE_CERTIFICATE_DIRECTORY].Size;
    return image.Reader.Fits(*offset, *size);
}

// The record length at the entry: at least the 8-byte record header, at most the entry, below
// 2 GiB, and inside the file.
bool CertificateRecord(Image& image, uint32_t* offset, uint32_t* length) {
    uint32_t size = 0;
    if (!CertificateEntry(image, offset, &size) || size < 8) return false;
    uint8_t head[4];
    if (!image.Reader.Read(*offset, head, 4)) return false;
    *length = ImageU32(head);
    return *length >= 8 && *length <= size && *length < kMaxLength;
}

struct StreamImage {
    File* FileHandle = nullptr;
    Stream* Source = nullptr;
    bool Open(const char* path) { return ImageOpenFile(path, &FileHandle, &Source); }
    ~StreamImage() { ImageCloseFile(&FileHandle); }
};

bool HashRange(ImageReader& reader, Hash* hash, uint64_t from, uint64_t to) {
    if (to < from || !reader.Fits(from, to - from)) return false;
    uint8_t chunk[65536];
    while (from < to) {
        const uint32_t part = (uint32_t)std::min<uint64_t>(sizeof(chunk), to - from);
        uint32_t done = 0;
        if (!reader.Read(from, chunk, part) || !Hash_Process(hash, chunk, part, &done)) return false;
        from += part;
    }
    return true;
}

// The Authenticode image digest. Beyond the classic walk, the layout must leave no byte outside
// the digest except the checksum, the certificate entry and the certificate table itself: the
// sections follow the headers and each other without gaps or overlaps, and the certificate table
// ends the file. Otherwise bytes the signature does not cover could be changed freely.
bool ImageDigest(Image& image, Hash* hash) {
    if (!image.HasCertificateEntry() || image.Optional.FileAlignment == 0) return false;
    uint32_t count = 0;
    Section* sections = ReadSections(image, &count);
    if (count > 0 && !sections) return false;
    bool ok = true;
    const uint64_t checksum = (uint64_t)image.HeaderOffset + 88;
    const uint64_t entry = image.CertificateEntry();
    const uint64_t alignment = image.Optional.FileAlignment;
    const uint64_t tableEnd = image.SectionTable() + (uint64_t)count * kSectionSize;
    const uint64_t headerEnd = (tableEnd + alignment - 1) / alignment * alignment;
    ok = HashRange(image.Reader, hash, 0, checksum) && HashRange(image.Reader, hash, checksum + 4, entry) &&
         HashRange(image.Reader, hash, entry + 8, headerEnd);
    if (ok && count > 0)
        std::stable_sort(sections, sections + count,
                         [](const Section& a, const Section& b) { return a.RawOffset < b.RawOffset; });
    uint64_t hashed = headerEnd;
    for (uint32_t i = 0; ok && i < count; i++) {
        if (sections[i].RawSize == 0 || sections[i].RawOffset == 0) continue;
        if (sections[i].RawOffset != hashed) ok = false;
        ok = ok && HashRange(image.Reader, hash, hashed, hashed + sections[i].RawSize);
        hashed += sections[i].RawSize;
    }
    FreeSections(sections, count);
    if (!ok) return false;
    const uint32_t certOffset = image.Optional.DataDirectory[PE_CERTIFICATE_DIRECTORY].VirtualAddress;
    const uint32_t certSize = image.Optional.DataDirectory[PE_CERTIFICATE_DIRECTORY].Size;
    uint64_t end = image.Reader.Length;
    if (certSize > 0) {
        if ((uint64_t)certOffset + certSize != image.Reader.Length || certOffset < hashed) return false;
        end = certOffset;
    }
    return hashed >= end || HashRange(image.Reader, hash, hashed, end);
}

// ---- Version resource ----------------------------------------------------------------------

uint64_t Align4(uint64_t at) {
    return (at + 3) & ~(uint64_t)3;
}

// Position of the UTF-16LE key with its terminator, or UINT64_MAX.
uint64_t FindKey(const uint8_t* data, uint64_t size, const char* key) {
    const uint64_t length = strlen(key);
    const uint64_t bytes = (length + 1) * 2;
    for (uint64_t at = 0; at + bytes <= size; at++) {
        bool match = true;
        for (uint64_t i = 0; i <= length && match; i++)
            match = ImageU16(data + at + 2 * i) == (i < length ? (uint8_t)key[i] : 0);
        if (match) return at;
    }
    return UINT64_MAX;
}

// UTF-16LE units from `at` up to a terminator or `end` as UTF-8 (allocated); *next is just past
// the terminator, or `end` without one.
char* ConvertText(const uint8_t* data, uint64_t at, uint64_t end, uint64_t* next, int32_t* size) {
    uint64_t units = 0;
    while (at + 2 * units + 2 <= end && ImageU16(data + at + 2 * units) != 0) units++;
    *next = at + 2 * units + 2 <= end ? at + 2 * units + 2 : end;
    uint16_t* wide = static_cast<uint16_t*>(Memory_Alloc((units + 1) * 2));
    for (uint64_t i = 0; i < units; i++) wide[i] = ImageU16(data + at + 2 * i);
    wide[units] = 0;
    *size = (int32_t)(units * 3 + 1);
    char* text = static_cast<char*>(Memory_Alloc(*size));
    StringUtf16_CopyLengthToUtf8(text, *size, wide, (int32_t)units);
    Memory_Free(wide, (units + 1) * 2);
    return text;
}

bool ReadStringTables(const uint8_t* data, uint64_t size, Dictionary* dict) {
    const uint64_t key = FindKey(data, size, "StringFileInfo");
    if (key == UINT64_MAX || key < 6) return false;
    const uint64_t blockEnd = std::min<uint64_t>(key - 6 + ImageU16(data + key - 6), size);
    bool read = false;
    uint64_t table = Align4(key + 30);
    while (table + 24 <= blockEnd) {
        const uint64_t tableLength = ImageU16(data + table);
        // A table shorter than its own header would never move the walk on.
        if (tableLength < 24) break;
        const uint64_t tableEnd = std::min(table + tableLength, blockEnd);
        read = true;
        uint64_t entry = Align4(table + 24);
        while (entry + 6 <= tableEnd) {
            const uint64_t valueUnits = ImageU16(data + entry + 2);
            uint64_t after = 0;
            int32_t keySize = 0, valueSize = 0;
            char* name = ConvertText(data, entry + 6, tableEnd, &after, &keySize);
            const uint64_t value = Align4(after);
            const uint64_t valueEnd = std::min(value + valueUnits * 2, tableEnd);
            char* text = value <= valueEnd ? ConvertText(data, value, valueEnd, &after, &valueSize) : nullptr;
            if (name[0] && text) Dictionary_SetStringByKey(dict, name, text);
            Memory_Free(name, keySize);
            if (text) Memory_Free(text, valueSize);
            entry = Align4(value + valueUnits * 2);
        }
        table = Align4(table + tableLength);
    }
    return read;
}

bool ReadFixedVersions(const uint8_t* data, uint64_t size, Dictionary* dict) {
    const uint64_t key = FindKey(data, size, "VS_VERSION_INFO");
    if (key == UINT64_MAX || key + 58 > size || ImageU32(data + key + 34) != 0xfeef04bd) return false;
    const char* names[] = {"FileVersion", "ProductVersion"};
    for (uint32_t i = 0; i < 2; i++) {
        const uint32_t high = ImageU32(data + key + 42 + 8 * i);
        const uint32_t low = ImageU32(data + key + 46 + 8 * i);
        Dictionary_SetStringByKeyPrint(dict, names[i], "%d.%d.%d.%d", (int32_t)(high >> 16),
                                       (int32_t)(high & 0xffff), (int32_t)(low >> 16),
                                       (int32_t)(low & 0xffff));
    }
    return true;
}

} // namespace

int64_t PEFile_GetHeaders(Stream* stream, uint32_t* headerOffset, PEHeaders32* headers32,
                          PEHeaders64* headers64) {
    ASSERT_POINTER(headerOffset);
    ASSERT_POINTER(headers32);
    ASSERT_POINTER(headers64);
    *headerOffset = 0;
    *headers32 = PEHeaders32{};
    *headers64 = PEHeaders64{};
    ImageReader reader;
    if (!reader.Start(stream)) return -1;
    return ReadHeaders(reader, headerOffset, headers32, headers64);
}

int64_t PEFile_GetEntryPointStream(Stream* stream, uint32_t relative, uint64_t* address) {
    if (address) *address = 0;
    Image image;
    if (!LoadImage(stream, &image)) return 0;
    if (address)
        *address = image.Optional.AddressOfEntryPoint + (relative == 1 ? 0 : image.Optional.ImageBase);
    return 1;
}

int64_t PEFile_GetEntryPoint(const char* path, uint32_t relative, uint64_t* address) {
    if (address) *address = 0;
    StreamImage file;
    return file.Open(path) ? PEFile_GetEntryPointStream(file.Source, relative, address) : 0;
}

int64_t PEFile_IsValidStream(Stream* stream) {
    Image image;
    return LoadImage(stream, &image) ? 1 : 0;
}

int64_t PEFile_IsValid(const char* path) {
    StreamImage file;
    return file.Open(path) ? PEFile_IsValidStream(file.Source) : 0;
}

int64_t PEFile_GetImageSize(Stream* stream, uint64_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    Image image;
    if (!LoadImage(stream, &image)) return 0;
    uint32_t count = 0;
    Section* sections = ReadSections(image, &count);
    if (!sections) return 0;
    uint32_t largest = 0;
    for (uint32_t i = 1; i < count; i++)
        if (sections[i].RawOffset > sections[largest].RawOffset) largest = i;
    *size = (uint64_t)sections[largest].RawOffset + sections[largest].RawSize;
    FreeSections(sections, count);
    return *size > 0;
}

int64_t PEFile_GetDataDirectoryOffset(Stream* stream, uint32_t* offset, uint32_t* size) {
    ASSERT_POINTER(offset);
    ASSERT_POINTER(size);
    *offset = 0;
    *size = 0;
    Image image;
    if (!LoadImage(stream, &image) || !CertificateEntry(image, offset, size)) {
        *offset = 0;
        *size = 0;
        return 0;
    }
    return 1;
}

int64_t PEFile_GetDataStoreOffset(Stream* stream, uint32_t* offset, uint32_t* size) {
    if (!PEFile_GetDataDirectoryOffset(stream, offset, size) || *size == 0) {
        *offset = 0;
        *size = 0;
        return 0;
    }
    return 1;
}

int64_t PEFile_GetCertificateOffset(Stream* stream, uint32_t* offset, uint32_t* length) {
    ASSERT_POINTER(offset);
    ASSERT_POINTER(length);
    *offset = 0;
    *length = 0;
    Image image;
    if (!LoadImage(stream, &image) || !CertificateRecord(image, offset, length)) {
        *offset = 0;
        *length = 0;
        return 0;
    }
    return 1;
}

int64_t PEFile_GetCertificateLength(Stream* stream, uint32_t* length) {
    ASSERT_POINTER(length);
    uint32_t offset = 0;
    if (!PEFile_GetCertificateOffset(stream, &offset, length) || *length < 11) {
        *length = 0;
        return 0;
    }
    return 1;
}

int64_t PEFile_GetCertificate(Stream* stream, uint8_t* buffer, uint32_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    Image image;
    uint32_t offset = 0;
    if (!LoadImage(stream, &image) || !CertificateRecord(image, &offset, length) || *length < 11) {
        *length = 0;
        return 0;
    }
    return buffer ? (image.Reader.Read(offset, buffer, *length) ? 1 : 0) : 1;
}

int64_t PEFile_HasCertificateData(Stream* stream) {
    uint32_t offset = 0, length = 0;
    return PEFile_GetCertificateOffset(stream, &offset, &length) && length > 0;
}

int64_t PEFile_HasCertificate(const char* path) {
    StreamImage file;
    return file.Open(path) ? PEFile_HasCertificateData(file.Source) : 0;
}

int64_t PEFile_GetImageDigest(Stream* stream, const HashInterface* record, uint8_t* digest,
                              uint32_t capacity) {
    ASSERT_POINTER(record);
    ASSERT_POINTER(digest);
    if (capacity > 0) memset(digest, 0, capacity);
    if (capacity < record->DigestSize) return 0;
    Image image;
    if (!LoadImage(stream, &image)) return 0;
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, record);
    const bool ok = ImageDigest(image, hash) && Hash_Generate(hash) && Hash_GetDigest(hash, digest, capacity);
    Hash_Release(&hash);
    if (!ok) memset(digest, 0, capacity);
    return ok ? 1 : 0;
}

int64_t PEFile_GetInfoDictionary(const char* path, Dictionary* dict) {
    ASSERT_POINTER(dict);
    StreamImage file;
    Image image;
    if (!file.Open(path) || !LoadImage(file.Source, &image)) return 0;
    uint32_t count = 0;
    Section* sections = ReadSections(image, &count);
    int64_t result = 0;
    for (uint32_t i = 0; sections && i < count; i++) {
        char name[9] = {};
        memcpy(name, sections[i].Name, 8);
        if (!String_CompareWithoutCase(name, ".rsrc")) continue;
        const uint64_t size = sections[i].RawSize;
        if (size == 0 || size > kMaxResource || !image.Reader.Fits(sections[i].RawOffset, size)) break;
        uint8_t* data = static_cast<uint8_t*>(Memory_Alloc(size));
        if (image.Reader.Read(sections[i].RawOffset, data, size)) {
            const bool tables = ReadStringTables(data, size, dict);
            const bool fixed = ReadFixedVersions(data, size, dict);
            result = tables || fixed;
        }
        Memory_Free(data, size);
        break;
    }
    FreeSections(sections, count);
    return result;
}

int64_t PEFile_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetCaseSensitive(dict, 0);
    const int64_t found =
        PEFile_GetInfoDictionary(path, dict) && Dictionary_GetStringByKey(dict, key, text, capacity);
    Dictionary_Release(&dict);
    return found;
}
