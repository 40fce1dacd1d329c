#include "core/certs/elf_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/runtime/dictionary.h"
#include "tests/support/image_stream.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

bool HaveTool(const std::string& tool) {
    return RunOracle("command -v " + tool + " >/dev/null", "", 10).has_value();
}

// An object file made by the assembler, with sections added by objcopy.
bool MakeObject(const TempDir& dir, const std::string& as, const std::string& objcopy,
                const std::string& out) {
    std::ofstream(dir.file("store.bin"), std::ios::binary) << "STORE-BYTES";
    std::ofstream(dir.file("skin.bin"), std::ios::binary) << "SKIN";
    std::ofstream(dir.file("version.json"), std::ios::binary) << R"({"ProductName":"Quill","Build":7})";
    const std::string command = as + " /dev/null -o " + dir.file("empty.o") + " && " + objcopy +
                                " --add-section .DataStore=" + dir.file("store.bin") +
                                " --add-section .skinstore=" + dir.file("skin.bin") +
                                " --add-section .version.json=" + dir.file("version.json") + " " +
                                dir.file("empty.o") + " " + out;
    return RunOracle(command + " 2>/dev/null", "", 60).has_value();
}

std::string Slice(const std::string& path, uint64_t offset, uint64_t size) {
    return ReadFile(path).substr(offset, size);
}

TEST(ELFFile, AddedSectionsAreFoundInEveryClassAndByteOrder) {
    struct Case {
        const char* as;
        const char* objcopy;
        int64_t kind;
    };
    const Case cases[] = {
        {"as --64", "objcopy", 2},
        {"as --32", "objcopy", 1},
        {"powerpc-linux-gnu-as -a64", "powerpc-linux-gnu-objcopy", 2},
        {"powerpc-linux-gnu-as -a32", "powerpc-linux-gnu-objcopy", 1},
    };
    int ran = 0;
    uint64_t ranges[2][2] = {};
    for (const Case& c : cases) {
        const std::string tool = std::string(c.objcopy);
        if (!HaveTool(tool) || !HaveTool(std::string(c.as).substr(0, std::string(c.as).find(' ')))) continue;
        TempDir dir;
        const std::string path = dir.file("sections.o");
        ASSERT_TRUE(MakeObject(dir, c.as, c.objcopy, path)) << c.as;
        ran++;
        FileStreamFixture file(path);
        ELFHeader32 h32;
        ELFHeader64 h64;
        EXPECT_EQ(ELFFile_GetHeaders(file.stream(), &h32, &h64), c.kind) << c.as;
        uint64_t offset = 0, size = 0;
        ASSERT_EQ(ELFFile_GetDataStoreOffset(file.stream(), &offset, &size), 1) << c.as;
        EXPECT_EQ(Slice(path, offset, size), "STORE-BYTES") << c.as;
        // Both byte orders of one class place the section alike: the ranges must agree.
        uint64_t* range = ranges[c.kind - 1];
        if (range[1] == 0) {
            range[0] = offset;
            range[1] = size;
        } else {
            EXPECT_EQ(range[0], offset) << c.as;
            EXPECT_EQ(range[1], size) << c.as;
        }
        ASSERT_EQ(ELFFile_GetSkinStoreOffset(file.stream(), &offset, &size), 1) << c.as;
        EXPECT_EQ(Slice(path, offset, size), "SKIN");
        EXPECT_EQ(ELFFile_GetSectionOffset(file.stream(), ".absent", &offset, &size), 0);
        EXPECT_EQ(offset + size, 0u);
        EXPECT_EQ(ELFFile_IsValid(path.c_str()), 1);

        char text[32];
        EXPECT_EQ(ELFFile_GetInfoValue(path.c_str(), "productname", text, sizeof(text)), 1);
        EXPECT_STREQ(text, "Quill");
        EXPECT_EQ(ELFFile_GetInfoValue(path.c_str(), "Build", text, sizeof(text)), 1);
        EXPECT_STREQ(text, "7");
        EXPECT_EQ(ELFFile_GetInfoValue(path.c_str(), "Missing", text, sizeof(text)), 0);
        EXPECT_STREQ(text, "");
    }
    if (ran == 0) GTEST_SKIP() << "no assembler and objcopy";
}

TEST(ELFFile, TheTestProgramItselfIsAnElfFile) {
    EXPECT_EQ(ELFFile_IsValid("/proc/self/exe"), 1);
    EXPECT_EQ(ELFFile_IsValid("/"), 0);
    EXPECT_EQ(ELFFile_IsValid("/nonexistent/file"), 0);
    FileStreamFixture self("/proc/self/exe");
    uint64_t offset = 0, size = 0;
    EXPECT_EQ(ELFFile_GetSectionOffset(self.stream(), ".text", &offset, &size), 1);
    EXPECT_GT(size, 0u);
    EXPECT_EQ(ELFFile_GetDataStoreOffset(self.stream(), &offset, &size), 0);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    EXPECT_EQ(ELFFile_GetInfoDictionary("/proc/self/exe", dict), 0);
    Dictionary_Release(&dict);
}

// A little-endian 64-bit file: header, the name table, one ".datastore" section of 4 bytes, and
// three section headers (null, names, data store).
std::string HandMade() {
    std::string names("\0.shstrtab\0.datastore\0", 22);
    std::string bytes(64, '\0');
    bytes += names;
    const uint64_t dataAt = bytes.size();
    bytes += "DATA";
    while (bytes.size() % 8) bytes += '\0';
    const uint64_t tableAt = bytes.size();
    auto put = [](std::string& s, size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; i++) s[at + i] = (char)(value >> (8 * i));
    };
    memcpy(bytes.data(),
           "\x7f"
           "ELF\x02\x01\x01",
           7);
    put(bytes, 40, tableAt, 8);
    put(bytes, 58, 64, 2);
    put(bytes, 60, 3, 2);
    put(bytes, 62, 1, 2);
    bytes.resize(tableAt + 3 * 64);
    put(bytes, tableAt + 64 + 0, 1, 4);
    put(bytes, tableAt + 64 + 24, 64, 8);
    put(bytes, tableAt + 64 + 32, names.size(), 8);
    put(bytes, tableAt + 128 + 0, 11, 4);
    put(bytes, tableAt + 128 + 24, dataAt, 8);
    put(bytes, tableAt + 128 + 32, 4, 8);
    return bytes;
}

TEST(ELFFile, DamagedFilesFailWithoutReadingOutsideThem) {
    const std::string good = HandMade();
    const uint64_t table = good.size() - 3 * 64;
    struct Patch {
        const char* what;
        uint64_t at;
        uint64_t value;
        int width;
    };
    const Patch patches[] = {
        {"table offset past the end", 40, 0xfffffffffffff000ull, 8},
        {"table offset 4 GiB", 40, 0x100000000ull, 8},
        {"entry size below a section header", 58, 16, 2},
        {"more sections than the file holds", 60, 0xffff, 2},
        {"name table index past the count", 62, 7, 2},
        {"name table size 4 GiB", table + 64 + 32, 0x100000000ull, 8},
        {"name table past the end", table + 64 + 24, 0xffffffffffffff00ull, 8},
        {"name offset past the name table", table + 128, 4000, 4},
        {"data store size past the end", table + 128 + 32, 0xffffffffull, 8},
        {"data store offset wraps", table + 128 + 24, 0xfffffffffffffffeull, 8},
        {"unknown class", 4, 3, 1},
    };
    BytesStream intact(good);
    uint64_t offset = 0, size = 0;
    ASSERT_EQ(ELFFile_GetDataStoreOffset(intact.stream(), &offset, &size), 1);
    EXPECT_EQ(good.substr(offset, size), "DATA");
    for (const Patch& p : patches) {
        std::string bytes = good;
        for (int i = 0; i < p.width; i++) bytes[p.at + i] = (char)(p.value >> (8 * i));
        BytesStream damaged(bytes);
        EXPECT_EQ(ELFFile_GetDataStoreOffset(damaged.stream(), &offset, &size), 0) << p.what;
        EXPECT_EQ(offset + size, 0u) << p.what;
    }
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        BytesStream shortFile(good.substr(0, cut));
        EXPECT_EQ(ELFFile_GetDataStoreOffset(shortFile.stream(), &offset, &size), 0) << cut;
    }
}

} // namespace
