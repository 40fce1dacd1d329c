// Reads arbitrary zip images as the skin store: every entry named in the central directory is
// opened plain or raw, sought and read with buffer sizes that the input's first 8 bytes choose.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"

namespace {

struct Choices {
    uint64_t State;
    uint32_t Next(uint32_t bound) {
        State = State * 6364136223846793005ull + 1442695040888963407ull;
        return bound ? (uint32_t)(State >> 33) % bound : 0;
    }
};

// The names of the central directory records, found without the zip reader.
std::vector<std::string> Names(const uint8_t* image, size_t length) {
    std::vector<std::string> names;
    for (size_t at = 0; at + 46 <= length && names.size() < 16; at++) {
        if (memcmp(image + at, "PK\x01\x02", 4) != 0) continue;
        const size_t nameLength = image[at + 28] | (size_t)image[at + 29] << 8;
        if (at + 46 + nameLength > length) continue;
        names.emplace_back(reinterpret_cast<const char*>(image + at + 46), nameLength);
    }
    names.push_back("missing");
    return names;
}

void ReadEntry(SkinFile* file, const std::string& name, Choices& choices) {
    SkinFile_SetReadRaw(file, choices.Next(2));
    if (!SkinFile_Open(file, name.c_str())) return;
    if (!SkinFile_ContentExists(name.c_str())) abort();
    uint64_t size = 0;
    if (!SkinFile_GetFilesize(file, &size)) abort();
    if (choices.Next(4) == 0) SkinFile_Seek(file, (int64_t)choices.Next(70000) - 10, choices.Next(3));
    static uint8_t buffer[9000];
    uint64_t total = 0;
    // A deflate stream may inflate far beyond its input; what the entry yields is bounded here.
    for (uint32_t calls = 0; calls < 100000 && total < (16u << 20); calls++) {
        const uint32_t want = 1 + choices.Next(sizeof(buffer));
        uint32_t got = 0;
        const int64_t more = SkinFile_Read(file, buffer, want, &got);
        if (got > want) abort();
        total += got;
        if (!more) break;
    }
    SkinFile_Close(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    Choices choices {0};
    memcpy(&choices.State, data, 8);
    const uint8_t* image = data + 8;
    const size_t length = size - 8;
    SkinFile_Remove();
    if (!SkinFile_AttachImage(image, (uint32_t)length, "fuzz")) return 0;
    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    for (const std::string& name : Names(image, length)) {
        ReadEntry(file, name, choices);
        std::string folded = name;
        for (char& c : folded) c = (char)toupper((unsigned char)c);
        ReadEntry(file, folded, choices);
    }
    SkinFile_Delete(&file);
    SkinFile_Remove();
    return 0;
}
