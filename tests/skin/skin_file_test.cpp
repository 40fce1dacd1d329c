// Tests of the skin's files: stores made by the zip tool and by Python's zipfile read plain
// (against unzip -p) and as gzip (against gzip -d and the exact byte layout), names found without
// case, seeks, attaching, the directory skin's name rules, and damaged zip images.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/platform/stream.h"
#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

std::string Sh(const std::string& command) {
    auto out = RunOracle(command, "");
    EXPECT_TRUE(out.has_value()) << command;
    return out.value_or("");
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Runs a Python script (given on its standard input) with the arguments.
std::optional<std::string> Python(const std::string& script, const std::string& arguments) {
    return RunOracle("/usr/bin/python3 - " + arguments, script);
}

// Detaches whatever a test attached.
class SkinFileTest : public ::testing::Test {
  protected:
    void SetUp() override { SkinFile_Remove(); }
    void TearDown() override { SkinFile_Remove(); }

    bool AttachZip(const std::string& path) {
        const std::string image = ReadFile(path);
        return SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(),
                                    path.c_str()) == 1;
    }

    TempDir dir;
};

struct Opened {
    bool ok = false;
    bool raw = false;
    uint64_t size = 0;
    std::vector<uint32_t> counts;
    std::string data;
};

// Opens and reads to the end with reads of `chunk` bytes; bounded, so a reader that never ends
// fails the test instead of hanging it.
Opened ReadAll(const std::string& name, uint32_t chunk, bool raw) {
    Opened out;
    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetReadRaw(file, raw ? 1 : 0);
    out.ok = SkinFile_Open(file, name.c_str()) == 1;
    if (out.ok) {
        out.raw = SkinFile_IsOpenedRaw(file) == 1;
        SkinFile_GetFilesize(file, &out.size);
        std::vector<char> buffer(chunk);
        for (int32_t calls = 0; calls < 1000000; calls++) {
            uint32_t got = 0;
            const int64_t more = SkinFile_Read(file, buffer.data(), chunk, &got);
            out.counts.push_back(got);
            out.data.append(buffer.data(), got);
            if (!more) break;
        }
    }
    SkinFile_Delete(&file);
    return out;
}

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--) value = value << 8 | (uint8_t)bytes[at + i];
    return value;
}

// name -> {method, compressed size, CRC, local modification time in seconds}, as Python reads it.
std::map<std::string, std::vector<uint64_t>> ZipFacts(const std::string& zip) {
    const std::string script =
        "import sys, time, zipfile\n"
        "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
        "    print(i.filename, i.compress_type, i.compress_size, i.CRC, int(time.mktime(i.date_time + (0, 0, -1))))\n";
    std::istringstream lines(Python(script, Quote(zip)).value_or(""));
    std::map<std::string, std::vector<uint64_t>> facts;
    std::string name;
    uint64_t method, size, crc, time;
    while (lines >> name >> method >> size >> crc >> time) facts[name] = {method, size, crc, time};
    return facts;
}

TEST_F(SkinFileTest, ZipToolStoreReadsPlainAsUnzipAndRawAsGzip) {
    const std::string src = dir.file("src");
    ASSERT_EQ(mkdir(src.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((src + "/sub").c_str(), 0700), 0);
    std::string text, noise;
    for (int i = 0; i < 3000; i++) text += "line " + std::to_string(i % 97) + " of the page\n";
    for (uint32_t i = 0, x = 7; i < 5000; i++) x = x * 1103515245 + 12345, noise += char(x >> 23);
    ASSERT_TRUE(WriteText(src + "/deflated.txt", text) && WriteText(src + "/stored.bin", noise) &&
                WriteText(src + "/sub/Nested.html", "<p>" + text.substr(0, 700) + "</p>") &&
                WriteText(src + "/empty.txt", ""));
    const std::string zip = dir.file("tool.zip");
    Sh("cd " + Quote(src) + " && zip -q -X -r ../tool.zip deflated.txt sub empty.txt && zip -q -X -0 ../tool.zip stored.bin");
    const auto facts = ZipFacts(zip);
    ASSERT_EQ(facts.size(), 5u);
    ASSERT_TRUE(AttachZip(zip));

    for (const std::string name : {"deflated.txt", "stored.bin", "sub/Nested.html", "empty.txt"}) {
        const std::string expected = Sh("unzip -p " + Quote(zip) + " " + Quote(name));
        const auto& fact = facts.at(name);
        const bool deflated = fact[0] == 8;
        for (uint32_t chunk : {1u, 7u, 4096u, 70000u}) {
            const Opened plain = ReadAll(name, chunk, false);
            ASSERT_TRUE(plain.ok) << name;
            EXPECT_EQ(plain.data, expected) << name << " by " << chunk;
            EXPECT_EQ(plain.size, expected.size());
            EXPECT_EQ(plain.counts.back(), 0u) << "the end is a read of nothing";
        }
        for (uint32_t chunk : {4u, 9u, 10u, 13u, 4096u}) {
            const Opened raw = ReadAll(name, chunk, true);
            ASSERT_TRUE(raw.ok);
            EXPECT_EQ(raw.raw, deflated) << name;
            if (!deflated) {
                EXPECT_EQ(raw.data, expected) << "a stored entry is never raw";
                continue;
            }
            ASSERT_EQ(raw.data.size(), fact[1] + 18) << name << " by " << chunk;
            EXPECT_EQ(raw.size, raw.data.size());
            EXPECT_EQ(raw.data.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4));
            EXPECT_EQ(Le32(raw.data, 4), (uint32_t)fact[3]);
            EXPECT_EQ(raw.data.substr(8, 2), std::string(2, '\0'));
            EXPECT_EQ(Le32(raw.data, raw.data.size() - 8), (uint32_t)fact[2]);
            EXPECT_EQ(Le32(raw.data, raw.data.size() - 4), (uint32_t)expected.size());
            if (chunk == 4096) {
                ASSERT_TRUE(WriteText(dir.file("raw.gz"), raw.data));
                EXPECT_EQ(Sh("gzip -dc " + Quote(dir.file("raw.gz"))), expected) << name;
            }
        }
    }
    // The header comes over three calls of a 4-byte buffer before any data.
    const Opened small = ReadAll("deflated.txt", 4, true);
    ASSERT_GE(small.counts.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(small.counts.begin(), small.counts.begin() + 3), (std::vector<uint32_t> {4, 4, 2}));

    // The gzip form's compressed size counts its header and trailer; its stream cannot seek.
    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetReadRaw(file, 1);
    ASSERT_EQ(SkinFile_Open(file, "deflated.txt"), 1);
    uint64_t compressed = 0;
    EXPECT_EQ(SkinFile_GetCompressedSize(file, &compressed), 1);
    EXPECT_EQ(compressed, facts.at("deflated.txt")[1] + 18);
    Stream* stream = nullptr;
    SkinFile_GetStreamHandle(file, &stream);
    EXPECT_EQ(Stream_CanSeek(stream), 0);
    SkinFile_Delete(&file);
}

TEST_F(SkinFileTest, PythonStoreNamesIgnoreCaseAndDirectoriesDoNotOpen) {
    const std::string zip = dir.file("py.zip");
    const std::string script =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    z.writestr('Case.txt', 'first')\n"
        "    z.writestr('CASE.TXT', 'second')\n"
        "    z.writestr('dir/', '')\n"
        "    z.writestr('dir/A.txt', 'inside ' * 50)\n";
    ASSERT_TRUE(Python(script, Quote(zip)));
    ASSERT_TRUE(AttachZip(zip));

    // name, opens, content, exists
    const std::tuple<std::string, bool, std::string, bool> cases[] = {
        {"case.txt", true, "first", true},
        {"CASE.TXT", true, "first", true},
        {"DIR/a.TXT", true, Sh("unzip -p " + Quote(zip) + " dir/A.txt"), true},
        {"dir/", false, "", true},
        {"dir", false, "", false},
        {"missing.txt", false, "", false},
        {"", false, "", false},
    };
    for (const auto& [name, opens, content, exists] : cases) {
        const Opened got = ReadAll(name, 3, false);
        EXPECT_EQ(got.ok, opens) << name;
        EXPECT_EQ(got.data, content) << name;
        EXPECT_EQ(SkinFile_ContentExists(name.c_str()), exists ? 1 : 0) << name;
    }

    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetVerbose(file, 1);
    TakeLog();
    EXPECT_EQ(SkinFile_Open(file, "nothing.txt"), 0);
    EXPECT_NE(TakeLog().find("Cannot locate (nothing.txt -100)"), std::string::npos);
    EXPECT_EQ(SkinFile_Open(file, "dir/"), 0);
    EXPECT_NE(TakeLog().find("Cannot open entry (-102)"), std::string::npos);
    EXPECT_EQ(SkinFile_IsOpen(file), 0) << "a failed open leaves nothing open";
    ASSERT_EQ(SkinFile_Open(file, "case.txt"), 1) << "the handle stays usable";
    InstallTestAbortHook();
    EXPECT_DEATH(SkinFile_Open(file, "case.txt"),
                 AbortRegex("Assertion failed (SkinFile->ContentHandle == NULL)\nAlready open"));
    SkinFile_Delete(&file);
}

TEST_F(SkinFileTest, SeeksInStoreEntriesOnlyFromTheStart) {
    const std::string zip = dir.file("seek.zip");
    std::string text;
    for (int i = 0; i < 4000; i++) text += char('a' + i % 26);
    ASSERT_TRUE(WriteText(dir.file("text.txt"), text));
    Sh("cd " + Quote(dir.path()) + " && zip -q -X seek.zip text.txt");
    ASSERT_TRUE(AttachZip(zip));

    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    ASSERT_EQ(SkinFile_Open(file, "text.txt"), 1);
    TakeLog();
    EXPECT_EQ(SkinFile_Seek(file, 3, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_NE(TakeLog().find("Cannot seek from origin (3:1)"), std::string::npos);
    EXPECT_EQ(SkinFile_Seek(file, 3001, SEEK_ORIGIN_BEGIN), 1);
    std::string rest(2000, '\0');
    uint32_t got = 0, more = 0;
    SkinFile_Read(file, rest.data(), (uint32_t)rest.size(), &got);
    EXPECT_EQ(rest.substr(0, got), text.substr(3001));
    SkinFile_Close(file);

    ASSERT_EQ(SkinFile_Open(file, "text.txt"), 1);
    EXPECT_EQ(SkinFile_Seek(file, 1 << 20, SEEK_ORIGIN_BEGIN), 1) << "past the end";
    more = (uint32_t)SkinFile_Read(file, rest.data(), (uint32_t)rest.size(), &got);
    EXPECT_EQ(more, 0u);
    EXPECT_EQ(got, 0u);
    SkinFile_Delete(&file);
}

// A skin store as a program carries it: the zip image enciphered behind its tag by an
// independent PBKDF2 and AES-GCM.
bool WriteSkinStore(const std::string& zip, const std::string& out) {
    const std::string script = R"(
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from cryptography.hazmat.primitives import hashes
p, salt, nonce = 64, b'salt of the skin', b'twelve bytes'
given = bytes(i % 251 + 1 for i in range(p // 32))
plain = open(sys.argv[1], 'rb').read()
key = PBKDF2HMAC(algorithm=hashes.SHA1(), length=32, salt=salt, iterations=p).derive(given)
be = lambda v: v.to_bytes(4, 'big')
sealed = AESGCM(key).encrypt(nonce, plain, None)
open(sys.argv[2], 'wb').write(b'QVRSS1' + be(p) + be(len(salt)) + salt + be(len(nonce)) + nonce +
                              be(len(plain)) + given + sealed)
)";
    return Python(script, Quote(zip) + " " + Quote(out)).has_value();
}

TEST_F(SkinFileTest, AttachesOnceToADirectoryOrAProgramsStore) {
    ASSERT_TRUE(WriteText(dir.file("page.html"), "<html>store</html>"));
    Sh("cd " + Quote(dir.path()) + " && zip -q -X plain.zip page.html");
    ASSERT_TRUE(WriteSkinStore(dir.file("plain.zip"), dir.file("program"))) << "python3-cryptography";
    const std::string skin = dir.file("skin");
    ASSERT_EQ(mkdir(skin.c_str(), 0700), 0);
    ASSERT_EQ(symlink(skin.c_str(), dir.file("skin-link").c_str()), 0);

    EXPECT_EQ(SkinFile_Attach(dir.file("plain.zip").c_str()), 0) << "a zip without the store's tag";
    EXPECT_EQ(SkinFile_Attach(dir.file("missing").c_str()), 0);
    EXPECT_EQ(SkinFile_IsAttached(), 0);
    ASSERT_EQ(SkinFile_Attach(dir.file("program").c_str()), 1);
    EXPECT_EQ(SkinFile_IsAttached(), 1);
    EXPECT_EQ(SkinFile_Attach(skin.c_str()), 0) << "attached already";
    EXPECT_EQ(ReadAll("PAGE.html", 100, false).data, "<html>store</html>") << "the first root stays";
    SkinFile* open = nullptr;
    SkinFile_Create(&open);
    ASSERT_EQ(SkinFile_Open(open, "page.html"), 1);
    SkinFile_Remove();
    char page[64] = {};
    uint32_t got = 0;
    SkinFile_Read(open, page, sizeof(page), &got);
    EXPECT_EQ(std::string(page, got), "<html>store</html>") << "an open entry outlives the detach";
    SkinFile_Delete(&open);
    EXPECT_EQ(SkinFile_IsAttached(), 0);
    EXPECT_FALSE(ReadAll("page.html", 100, false).ok);

    ASSERT_TRUE(WriteText(skin + "/page.html", "<html>disk</html>"));
    ASSERT_EQ(SkinFile_Attach(dir.file("skin-link").c_str()), 1) << "a link to the skin is followed";
    EXPECT_EQ(ReadAll("page.html", 100, false).data, "<html>disk</html>");
}

TEST_F(SkinFileTest, DirectorySkinNamesNeverLeaveTheSkin) {
    const std::string skin = dir.file("skin");
    ASSERT_EQ(mkdir(skin.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((skin + "/sub").c_str(), 0700), 0);
    ASSERT_TRUE(WriteText(skin + "/index.html", "index") && WriteText(skin + "/sub/page.js", "page") &&
                WriteText(dir.file("secret.txt"), "secret"));
    ASSERT_EQ(symlink("../secret.txt", (skin + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("..", (skin + "/up").c_str()), 0);
    ASSERT_EQ(SkinFile_Attach(skin.c_str()), 1);

    // name, content read (empty: does not open), exists
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"index.html", "index", true},
        {"sub/page.js", "page", true},
        {"sub\\page.js", "page", true},
        {"./sub//page.js", "page", true},
        {"sub/../index.html", "", false},
        {"../secret.txt", "", false},
        {"..\\secret.txt", "", false},
        {"sub/../../secret.txt", "", false},
        {dir.file("secret.txt"), "", false},
        {"/index.html", "", false},
        {"\\index.html", "", false},
        {"up/secret.txt", "", false},
        {"link.txt", "", true},  // the link itself is there, but is not followed
        {"sub", "", true},
        {"Index.html", "", false},
        {"", "", false},
    };
    for (const auto& [name, content, exists] : cases) {
        const Opened got = ReadAll(name, 2, false);
        EXPECT_EQ(got.ok, !content.empty()) << name;
        EXPECT_EQ(got.data, content) << name;
        EXPECT_EQ(SkinFile_ContentExists(name.c_str()), exists ? 1 : 0) << name;
    }

    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetVerbose(file, 1);
    TakeLog();
    EXPECT_EQ(SkinFile_Open(file, "sub/../index.html"), 0);
    EXPECT_NE(TakeLog().find("Cannot find sub/../index.html"), std::string::npos);
    EXPECT_EQ(SkinFile_Open(file, "link.txt"), 0);
    EXPECT_NE(TakeLog().find("Cannot open link.txt"), std::string::npos);
    ASSERT_EQ(SkinFile_Open(file, "index.html"), 1);
    uint64_t size = 0;
    EXPECT_EQ(SkinFile_GetFilesize(file, &size), 1);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(SkinFile_GetCompressedSize(file, &size), 0);
    EXPECT_EQ(SkinFile_GetUncompressedSize(file, &size), 0);
    EXPECT_EQ(SkinFile_Seek(file, -3, SEEK_ORIGIN_END), 1);
    char tail[8] = {};
    uint32_t got = 0;
    EXPECT_EQ(SkinFile_Read(file, tail, sizeof(tail), &got), 1);
    EXPECT_EQ(std::string(tail, got), "dex");
    EXPECT_EQ(SkinFile_Read(file, tail, sizeof(tail), &got), 0);
    SkinFile_Delete(&file);
}

TEST_F(SkinFileTest, DamagedImagesFailWithoutHarm) {
    const std::string zip = dir.file("good.zip");
    const std::string script =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    z.writestr('a.txt', 'alpha ' * 400, zipfile.ZIP_DEFLATED)\n"
        "    z.writestr('b.txt', 'beta', zipfile.ZIP_STORED)\n";
    ASSERT_TRUE(Python(script, Quote(zip)));
    const std::string good = ReadFile(zip);
    const size_t central = good.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    auto patched = [&](size_t at, const std::string& bytes) {
        std::string image = good;
        image.replace(at, bytes.size(), bytes);
        return image;
    };
    std::vector<std::string> images;
    for (size_t cut = 0; cut < good.size(); cut += 11) images.push_back(good.substr(0, cut));
    images.push_back(patched(central + 20, "\xff\xff\xff\x7f"));  // compressed size
    images.push_back(patched(central + 20, "\x03\x00\x00\x00"));
    images.push_back(patched(central + 24, "\xff\xff\xff\xff"));  // uncompressed size
    images.push_back(patched(central + 24, "\x01\x00\x00\x00"));
    images.push_back(patched(central + 28, "\xff\xff"));          // name length
    images.push_back(patched(central + 42, "\xff\xff\xff\x7f"));  // local header offset
    images.push_back(patched(good.size() - 6, "\xff\xff\xff\x7f")); // central directory offset
    images.push_back(patched(central - 8, "garbage!"));           // deflate data

    for (const std::string& image : images) {
        SkinFile_Remove();
        if (SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(), "image") != 1)
            continue;
        for (const char* name : {"a.txt", "b.txt"})
            for (bool raw : {false, true}) {
                const Opened got = ReadAll(name, 512, raw);
                if (!got.ok) continue;
                EXPECT_LT(got.counts.size(), 100u) << "reading ends";
                EXPECT_LE(got.data.size(), 2400u + 18) << "never more than the entry holds";
            }
    }
    // The untouched image still reads.
    SkinFile_Remove();
    ASSERT_TRUE(AttachZip(zip));
    EXPECT_EQ(ReadAll("b.txt", 512, true).data, "beta");
}

} // namespace
