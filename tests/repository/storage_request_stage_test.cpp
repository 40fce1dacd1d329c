#include "repository/storage_request.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"
#include "tests/support/hex.h"
#include "tests/support/oracle_process.h"

namespace {

// A request whose buffer holds the given content.
struct Request {
    StorageRequest* request = nullptr;
    explicit Request(const Bytes& content, uint32_t flags) {
        EXPECT_EQ(StorageRequest_Create(&request), 1);
        EXPECT_EQ(StorageRequest_Alloc(request), 1);
        Load(content);
        StorageRequest_SetFlags(request, flags);
    }
    ~Request() { StorageRequest_Release(&request); }
    void Load(const Bytes& content) {
        uint8_t* p = nullptr;
        ASSERT_EQ(StorageRequest_GetPointer(request, &p), 1);
        if (!content.empty()) memcpy(p, content.data(), content.size());
        StorageRequest_ReleasePointer(request, &p);
        StorageRequest_SetContentLength(request, (uint32_t)content.size());
    }
    Bytes Content() {
        uint32_t length = 0;
        StorageRequest_GetContentLength(request, &length);
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(request, &p);
        Bytes out(p, p + length);
        StorageRequest_ReleasePointer(request, &p);
        return out;
    }
    uint32_t Flags() {
        uint32_t flags = 0;
        for (uint32_t bit : {1u, 2u, 4u, 8u})
            if (StorageRequest_HasFlag(request, bit)) flags |= bit;
        return flags;
    }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(StorageRequestHeader, DeltaHeaderGivesFlagsAndSourceWindow) {
    Request r(FromHex("6e2b3b6100050000000702" "41424344"), 0);
    EXPECT_EQ(StorageRequest_HeaderRemove(r.request), 1);
    EXPECT_EQ(r.Flags(), 5u);
    EXPECT_EQ(r.Content(), Text("ABCD"));
    // The decoder holds the window; a delta without its own piece fields keeps it.
    StorageRequest_SetContentLength(r.request, 0);
    r.Load(FromHex("0000000000010201" "41" "0214" "00"));
    int32_t index = -1, count = -1;
    EXPECT_EQ(StorageRequest_VCDiffLoad(r.request, &index, &count), 1);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(count, 2);
}

TEST(StorageRequestHeader, OnlyAWholeHeaderIsTaken) {
    const struct {
        const char* hex;
        int64_t found;
        uint32_t flags;
        const char* rest;
    } rows[] = {
        {"6e2b3b610003" "5859", 1, 3, "5859"},
        {"6e2b3b610002", 1, 2, ""},
        {"6e2b3b61000500000007", 0, 9, "6e2b3b61000500000007"}, // announces 11 bytes, has 10
        {"6e2b3b6100", 0, 9, "6e2b3b6100"},
        {"6e2b3b620003", 0, 9, "6e2b3b620003"},
    };
    for (const auto& row : rows) {
        Request r(FromHex(row.hex), 9);
        EXPECT_EQ(StorageRequest_HeaderRemove(r.request), row.found) << row.hex;
        EXPECT_EQ(r.Flags(), row.flags) << row.hex;
        EXPECT_EQ(ToHex(r.Content()), row.rest) << row.hex;
    }
}

TEST(StorageRequestGZip, InflatesGzipAndZlibAndReportsZlibErrors) {
    const Bytes plain = Text(std::string(3000, 'q') + "tail");
    for (int bits : {15 + 16, 15}) {
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
        Bytes packed(4096);
        z.next_in = const_cast<uint8_t*>(plain.data());
        z.avail_in = (uInt)plain.size();
        z.next_out = packed.data();
        z.avail_out = (uInt)packed.size();
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        packed.resize(z.total_out);
        deflateEnd(&z);

        Request r(packed, 3);
        EXPECT_EQ(StorageRequest_GZipInflate(r.request), Z_OK);
        EXPECT_EQ(r.Content(), plain);
        EXPECT_EQ(r.Flags(), 1u);
        // A second pass with the flag cleared leaves the content alone.
        EXPECT_EQ(StorageRequest_GZipInflate(r.request), Z_OK);
        EXPECT_EQ(r.Content(), plain);

        Bytes cut(packed.begin(), packed.begin() + (long)packed.size() / 2);
        Request broken(cut, 2);
        EXPECT_EQ(StorageRequest_GZipInflate(broken.request), Z_BUF_ERROR);
        EXPECT_EQ(broken.Flags(), 2u);
        EXPECT_EQ(broken.Content(), cut);
    }
    Request garbage(Text("not compressed at all"), 2);
    EXPECT_EQ(StorageRequest_GZipInflate(garbage.request), Z_DATA_ERROR);
}

TEST(StorageRequestEncoders, PassOnlyDataAlreadyEncoded) {
    Request r(Text("x"), 2 | 8);
    const char* reason = "unset";
    EXPECT_EQ(StorageRequest_GZipDeflate(r.request, &reason), 1);
    EXPECT_EQ(reason, nullptr);
    EXPECT_EQ(StorageRequest_AESEncrypt(r.request, &reason), 1);
    StorageRequest_SetFlags(r.request, 1);
    EXPECT_EQ(StorageRequest_GZipDeflate(r.request, &reason), 0);
    EXPECT_STREQ(reason, "GZip deflate not implemeted");
    EXPECT_EQ(StorageRequest_AESEncrypt(r.request, &reason), 0);
    EXPECT_STREQ(reason, "AES encrypt not implemeted");
}

// ---- Encrypted containers, built with Python's PBKDF2 and openssl's AES-256-CBC ----

std::string Shell(const std::string& command) {
    auto out = RunOracle(command, "");
    EXPECT_TRUE(out.has_value()) << command;
    std::string text = out.value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

Bytes Pbkdf2(const std::string& password, const Bytes& salt, int iterations) {
    return FromHex(Shell("/usr/bin/python3 -c \"import hashlib;print(hashlib.pbkdf2_hmac('sha1', b'" + password +
                         "', bytes.fromhex('" + ToHex(salt) + "'), " + std::to_string(iterations) +
                         ", 32).hex())\""));
}

// Bytes in and out of a pipe of outside tools, carried as hexadecimal text.
std::string Unhex(const Bytes& data) {
    return "/usr/bin/python3 -c \"import sys;sys.stdout.buffer.write(bytes.fromhex('" + ToHex(data) + "'))\" | ";
}
const char* kHex = " | /usr/bin/python3 -c \"import sys;print(sys.stdin.buffer.read().hex())\"";

Bytes OpensslCbc(const Bytes& key, const Bytes& iv, const Bytes& plain) {
    return FromHex(Shell(Unhex(plain) + "openssl enc -aes-256-cbc -nopad -K " + ToHex(key) + " -iv " +
                         ToHex(Bytes(iv.begin(), iv.begin() + 16)) + kHex));
}

Bytes Digest(const std::string& name, const Bytes& data) {
    return FromHex(Shell(Unhex(data) + "openssl dgst -" + name + " -r | cut -d' ' -f1"));
}

Bytes Be(uint32_t value, int bytes) {
    Bytes out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back((uint8_t)(value >> (8 * i)));
    return out;
}

struct ContainerParts {
    Bytes Salt = FromHex("0011223344556677");
    Bytes IV = FromHex("000102030405060708090a0b0c0d0e0f");
    int Iterations = 1000;
    Bytes Plain = Text("piece bytes that are not a whole number of blocks");
    std::string CheckHash = "SHA256";
    std::string ContainerHash = "SHA1";

    // The container up to its end; `signedPart` gets the part its digest covers.
    Bytes Build(const std::string& password, Bytes* signedPart = nullptr) const {
        const Bytes key = Pbkdf2(password, Salt, Iterations);
        const Bytes checkPlain = Text("key check block!key check block!");
        const Bytes check = OpensslCbc(key, IV, checkPlain);
        const uint32_t pad = (16 - Plain.size() % 16) % 16;
        Bytes padded = Plain;
        padded.resize(Plain.size() + pad, 0xAA);
        const Bytes payload = OpensslCbc(key, IV, padded);
        const Bytes head = Cat({Be(Iterations, 2), Be((uint32_t)Salt.size(), 2), Salt, Be((uint32_t)IV.size(), 2), IV,
                                Be((uint32_t)check.size(), 2), check, Be((uint32_t)CheckHash.size(), 1),
                                Text(CheckHash), Digest(CheckHash, checkPlain), Be(pad, 1),
                                Be((uint32_t)payload.size(), 4), payload});
        if (signedPart) *signedPart = head;
        return Cat({head, Be((uint32_t)ContainerHash.size(), 1), Text(ContainerHash), Digest(ContainerHash, head)});
    }
};

int32_t Decrypt(Request& r, const std::string& password) {
    return StorageRequest_AESDecrypt(r.request, 256, password.data(), (uint32_t)password.size());
}

TEST(StorageRequestAES, DecryptsAContainerOfOutsideTools) {
    ContainerParts parts;
    Request r(parts.Build("secret"), 8 | 2);
    EXPECT_EQ(Decrypt(r, "secret"), 0);
    EXPECT_EQ(r.Content(), parts.Plain);
    EXPECT_EQ(r.Flags(), 2u);
}

TEST(StorageRequestAES, WrongPasswordAndCorruptContainerAreTold) {
    ContainerParts parts;
    const Bytes container = parts.Build("secret");
    Request wrong(container, 8);
    EXPECT_EQ(Decrypt(wrong, "Secret"), 8);
    EXPECT_EQ(wrong.Content(), container);
    EXPECT_EQ(wrong.Flags(), 8u);

    Bytes flipped = container;
    flipped[60] ^= 1;
    Request corrupt(flipped, 8);
    EXPECT_EQ(Decrypt(corrupt, "secret"), 7);

    Request plain(Text("plain"), 1);
    EXPECT_EQ(Decrypt(plain, "secret"), 0);
    EXPECT_EQ(plain.Content(), Text("plain"));
}

TEST(StorageRequestAES, MalformedContainersAnswerSix) {
    ContainerParts parts;
    Bytes signedPart;
    const Bytes good = parts.Build("pw", &signedPart);
    // Offsets into the container: salt length 2, IV length 12, check length 30, check hash
    // name 65, then the trailing pad count and the payload length.
    auto with = [&](size_t at, const Bytes& bytes) {
        Bytes out = good;
        std::copy(bytes.begin(), bytes.end(), out.begin() + (long)at);
        return out;
    };
    const size_t padAt = 2 + 2 + 8 + 2 + 16 + 2 + 32 + 1 + 6 + 32;
    ASSERT_EQ(signedPart.size(), padAt + 1 + 4 + 64);
    const struct {
        const char* what;
        Bytes container;
    } rows[] = {
        {"cut inside the container digest", Bytes(good.begin(), good.end() - 1)},
        {"salt past the end", with(2, Be(0xFFFF, 2))},
        {"IV of 321 bytes", with(12, Be(321, 2))},
        {"IV shorter than a block", with(12, Be(8, 2))},
        {"check block not whole blocks", with(30, Be(31, 2))},
        {"unknown check hash", with(65, Text("SHA257"))},
        {"payload length not whole blocks", with(padAt + 1, Be(65, 4))},
        {"trailing pad above payload", with(padAt, Be(255, 1)) },
        {"payload past the end", with(padAt + 1, Be(0xFFFFFFF0u, 4))},
        {"empty", Bytes()},
    };
    for (const auto& row : rows) {
        Request r(row.container, 8);
        EXPECT_EQ(Decrypt(r, "pw"), 6) << row.what;
    }
    // The rows differ from a sound container only where they say.
    Request sound(good, 8);
    EXPECT_EQ(Decrypt(sound, "pw"), 0);
}

TEST(StorageRequestAESDeath, BitsMustBeWholeBlocks) {
    InstallTestAbortHook();
    EXPECT_DEATH(
        {
            Request r(Text("x"), 8);
            StorageRequest_AESDecrypt(r.request, 250, "p", 1);
        },
        AbortRegex("Assertion failed (Bits % AES_BLOCKSIZE == 0)\nBits must be a multiple of AES_BLOCKSIZE"));
}

} // namespace
