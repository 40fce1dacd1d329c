// Tests of the stored data in program files: the data store's text and checked binary forms, the
// enciphered skin store (built by an independent implementation) and where each is found in an
// ELF program (sections added with objcopy) or a disk image.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <optional>
#include <string>

#include "core/certs/executable.h"
#include "core/certs/executable_internal.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Printed(const char* format, uint32_t a, uint32_t b) {
    char text[128];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

// A binary data store: header, CRC over header + zeroed CRC field + data area, data area.
struct Binary {
    char version;
    uint16_t capacity;
    std::string stored;
    std::optional<uint32_t> uncompressed;
    std::string Header(uint32_t storedLength) const {
        std::string header = std::string("QVRDS") + version + char(capacity >> 8) + char(capacity) + Be32(storedLength);
        if (uncompressed) header += Be32(*uncompressed);
        return header;
    }
    std::string Area() const {
        std::string area = stored;
        area.resize(size_t(capacity) * 1024, '\0');
        return area;
    }
    uint32_t Crc(uint32_t storedLength) const {
        const std::string covered = Header(storedLength) + std::string(4, '\0') + Area();
        return (uint32_t)crc32(0, reinterpret_cast<const Bytef*>(covered.data()), (uInt)covered.size());
    }
    std::string Bytes() const { return Header((uint32_t)stored.size()) + Be32(Crc((uint32_t)stored.size())) + Area(); }
};

std::string Deflate(const std::string& text) {
    uLongf size = compressBound(text.size());
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()), text.size());
    out.resize(size);
    return out;
}

struct Answer {
    int64_t result;
    std::string data;
};

Answer ReadStore(const std::string& region) {
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 7;
    const int64_t result = Executable_ReadDataStore(reinterpret_cast<const uint8_t*>(region.data()),
                                                    (uint32_t)region.size(), &buffer, &length);
    Answer answer {result, buffer ? std::string(reinterpret_cast<char*>(buffer), length) : std::string()};
    if (buffer) {
        EXPECT_EQ(buffer[length], 0) << "a zero follows the data";
    }
    if (!result) {
        EXPECT_TRUE(buffer == nullptr && length == 0) << "outs cleared";
    }
    Executable_ReleaseDataStore(nullptr, &buffer, &length);
    return answer;
}

TEST(ExecutableStore, DataStoreForms) {
    const std::string text = "ZERIZODIDUZI";
    const Binary five {'1', 1, "hello", std::nullopt};
    std::string badPadding = five.Bytes();
    badPadding[16 + 700] = 'x';
    const std::string zipped = Deflate(std::string(3000, 'q') + "end");
    const Binary packed {'3', 1, zipped, 3003u};
    const Binary packedShort {'3', 1, zipped, 3100u};  // declares more than the stream holds
    const Binary huge {'3', 1, zipped, 0xffffffffu};
    const Binary tooLong {'1', 1, std::string(2000, 'a'), std::nullopt};
    const std::string cut = five.Bytes().substr(0, five.Bytes().size() - 1);
    const std::string longText = text + std::string(5000, 't');

    // region, answer, data, log text expected (empty: nothing logged)
    const std::tuple<std::string, int64_t, std::string, std::string> cases[] = {
        {"junk" + text + std::string("abc\0rest", 8), 1, "abc", ""},
        {text + "to the end", 1, "to the end", ""},
        {longText, 1, std::string(4096, 't'), ""},
        {text + five.Bytes(), 1, "QVRDS1", ""},  // the text form wins, up to its first zero
        {"lead" + five.Bytes(), 1, "hello", ""},
        {badPadding, 0, "",
         Printed("Data store crc hash invalid (0x%08x != 0x%08x)", five.Crc(5), five.Crc(5) ^ 1) + "?"},
        {Binary {'3', 1, "as is", 0u}.Bytes(), 1, "as is", ""},
        {packed.Bytes(), 1, std::string(3000, 'q') + "end", ""},
        {packedShort.Bytes(), 0, "", "Data store uncompress error (-5)"},
        {huge.Bytes(), 0, "", "Data store uncompress error"},
        {tooLong.Header(2000) + Be32(0) + tooLong.Area(), 0, "", "Data store size greater than allowed (2000 > 1)"},
        {cut, 0, "", ""},
        {five.Bytes().substr(0, 11), 0, "", ""},
        {Binary {'3', 1, "x", 0u}.Bytes().substr(0, 19), 0, "", ""},
        {"nothing here", 0, "", ""},
    };
    for (const auto& [region, answer, data, log] : cases) {
        TakeLog();
        const Answer got = ReadStore(region);
        EXPECT_EQ(got.result, answer) << region.substr(0, 24);
        EXPECT_EQ(got.data, data) << region.substr(0, 24);
        const std::string printed = TakeLog();
        if (log.empty()) {
            EXPECT_EQ(printed.find("Data store"), std::string::npos) << printed;
        } else if (log.back() == '?') {
            // The CRC line names the stored value first and the computed one second.
            const uint32_t stored = five.Crc(5);
            const std::string prefix = Printed("Data store crc hash invalid (0x%08x != ", stored, 0);
            EXPECT_NE(printed.find(prefix), std::string::npos) << printed;
        } else {
            EXPECT_NE(printed.find(log), std::string::npos) << printed;
        }
    }
}

// A skin store made by an independent PBKDF2 and AES-GCM: magic, parameters, input, cipher, tag.
std::optional<std::string> MakeSkin(uint32_t iterations, const std::string& plain, const std::string& nonce) {
    const char* script = R"(
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from cryptography.hazmat.primitives import hashes
p, plain, nonce = sys.stdin.read().split()
p = int(p); plain = bytes.fromhex(plain); nonce = bytes.fromhex(nonce)
salt = b'salty salt'
given = bytes(i % 251 + 1 for i in range(p // 32))
password = given
if p >= 96:
    password = bytearray(given)
    for i in range(0, len(password) - 1, 2):
        password[i], password[i + 1] = password[i + 1], password[i]
    password = bytes(password)
key = PBKDF2HMAC(algorithm=hashes.SHA1(), length=32, salt=salt, iterations=p).derive(password)
sealed = AESGCM(key).encrypt(nonce, plain, None)
be = lambda v: v.to_bytes(4, 'big')
out = b'QVRSS1' + be(p) + be(len(salt)) + salt + be(len(nonce)) + nonce + be(len(plain)) + given + sealed
print(out.hex())
)";
    auto hex = [](const std::string& bytes) {
        std::string out;
        char two[3];
        for (unsigned char c : bytes) snprintf(two, sizeof(two), "%02x", c), out += two;
        return out;
    };
    auto printed = RunOracle(std::string("python3 -c \"$(cat <<'PY'\n") + script + "\nPY\n)\"",
                             std::to_string(iterations) + " " + hex(plain) + " " + hex(nonce));
    if (!printed) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i + 1 < printed->size() && (*printed)[i] != '\n'; i += 2)
        bytes += char(std::stoi(printed->substr(i, 2), nullptr, 16));
    return bytes;
}

Answer ReadSkin(const std::string& range) {
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    const int64_t result = Executable_ReadSkinStore(reinterpret_cast<const uint8_t*>(range.data()),
                                                    (uint32_t)range.size(), &buffer, &length);
    Answer answer {result, buffer ? std::string(reinterpret_cast<char*>(buffer), length) : std::string()};
    Executable_ReleaseSkinStore(nullptr, &buffer, &length);
    return answer;
}

TEST(ExecutableStore, SkinStoreOpensOnlyWhenWholeAndTagged) {
    const std::string nonce = "twelve bytes";
    const auto swapped = MakeSkin(100, "skin settings", nonce);
    const auto plain = MakeSkin(64, "other skin", nonce.substr(0, 8));
    const auto slow = MakeSkin(1000001, "never read", nonce);
    ASSERT_TRUE(swapped && plain && slow) << "python3 with python3-cryptography";
    std::string badTag = *swapped;
    badTag.back() ^= 1;
    std::string hugeSalt = *plain;
    hugeSalt.replace(10, 4, Be32(0xffffffffu));
    std::string longNonce = *plain;
    longNonce.replace(24, 4, Be32(13));

    const std::tuple<std::string, int64_t, std::string> cases[] = {
        {"lead" + *swapped + "tail", 1, "skin settings"},
        {*plain, 1, "other skin"},
        {badTag, 0, ""},
        {hugeSalt, 0, ""},
        {longNonce, 0, ""},
        // A count this large is refused before any derivation runs.
        {*slow, 0, ""},
        {"QVRSS", 0, ""},
    };
    for (const auto& [range, answer, data] : cases) {
        const Answer got = ReadSkin(range);
        EXPECT_EQ(got.result, answer) << data;
        EXPECT_EQ(got.data, data);
    }
    for (size_t size = 0; size < swapped->size(); size += 7)
        EXPECT_EQ(ReadSkin(swapped->substr(0, size)).result, 0) << "cut at " << size;
}

// A copy of a small system program with the named sections added.
std::string ElfWith(const TempDir& dir, const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& sections) {
    const std::string out = dir.file(name);
    std::string command = "objcopy";
    for (size_t i = 0; i < sections.size(); i++) {
        const std::string content = dir.file(name + ".s" + std::to_string(i));
        EXPECT_TRUE(WriteText(content, sections[i].second));
        command += " --add-section " + sections[i].first + "=" + content;
    }
    command += " /bin/true " + out + " 2>&1";
    EXPECT_EQ(system(command.c_str()), 0) << command;
    return out;
}

TEST(ExecutableStore, FoundThroughElfSectionsAndDiskImageTrailer) {
    TempDir dir;
    const std::string nonce = "twelve bytes";
    const auto skin = MakeSkin(40, "skin", nonce);
    ASSERT_TRUE(skin);
    const std::string text = std::string("ZERIZODIDUZIin section") + '\0';
    const std::string both = ElfWith(dir, "both", {{".datastore", text}, {".skinstore", *skin}});
    // The magic texts elsewhere in the program are not the stores.
    const std::string elsewhere = ElfWith(dir, "elsewhere", {{".notes.x", text + *skin}});

    std::string image = "data before" + text;
    std::string trailer(512, '\0');
    trailer.replace(0, 4, "koly");
    trailer.replace(296 + 4, 4, Be32(11));
    trailer.replace(304 + 4, 4, Be32((uint32_t)text.size()));
    std::string emptyTrailer(512, '\0');
    emptyTrailer.replace(0, 4, "koly");
    const std::string dmg = dir.file("image.dmg"), empty = dir.file("empty.dmg"), plainFile = dir.file("plain");
    ASSERT_TRUE(WriteText(dmg, image + trailer) && WriteText(empty, image + emptyTrailer) &&
                WriteText(plainFile, text + *skin));

    // path, data store, skin store (empty: none)
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {both, "in section", "skin"},
        {elsewhere, "", ""},
        {dmg, "in section", ""},
        {empty, "", ""},
        {plainFile, "", "skin"},  // no container: no data store; the file is searched for a skin
        {dir.file("missing"), "", ""},
        {dir.path(), "", ""},
    };
    for (const auto& [path, data, skinText] : cases) {
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(Executable_GetDataStore(path.c_str(), &buffer, &length), data.empty() ? 0 : 1) << path;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer ? buffer : (uint8_t*)""), length), data) << path;
        Executable_ReleaseDataStore(nullptr, &buffer, &length);
        EXPECT_EQ(Executable_GetSkinStore(path.c_str(), &buffer, &length), skinText.empty() ? 0 : 1) << path;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer ? buffer : (uint8_t*)""), length), skinText) << path;
        Executable_ReleaseSkinStore(nullptr, &buffer, &length);
    }

    char value[8] = "same";
    char argument[1024];
    snprintf(argument, sizeof(argument), "%s", both.c_str());
    EXPECT_EQ(Executable_ExpandKey(nullptr, "FileDataStore", argument, value, sizeof(value)), 1);
    EXPECT_STREQ(value, "in sect") << "cut to the capacity";
    snprintf(argument, sizeof(argument), "%s", elsewhere.c_str());
    EXPECT_EQ(Executable_ExpandKey(nullptr, "DataStore", argument, value, sizeof(value)), 1);
    EXPECT_STREQ(value, "in sect") << "untouched without a store";
}

} // namespace
