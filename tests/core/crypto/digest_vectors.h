// Helpers of the digest tests: hex text, one-call digests through a record, the checks every digest
// object shares, and the reader of the published NIST and RFC response files (Len/Msg/MD records),
// found under QVR_CRYPTO_VECTORS or where Debian's python3-cryptography-vectors installs them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/crypto/hash.h"
#include "tests/support/abort_hook.h"

inline std::string ToHex(const uint8_t* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

inline std::string ToHex(const std::string& bytes) {
    return ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

inline std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) out += piece;
    return out;
}

inline std::string FromHex(const std::string& hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 0;
    };
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    return out;
}

// The lowercase hex digest of bytes through the record's one-call form.
inline std::string Digest(const HashInterface* record, const std::string& bytes) {
    std::vector<char> text(2 * record->DigestSize + 1, 'X');
    if (Hash_QuickString(record, bytes.data(), (int32_t)bytes.size(), 0, text.data(), (int32_t)text.size()) !=
        1)
        return "failed";
    return text.data();
}

// The same digest through a Hash object fed in pieces of the given sizes, in turn.
inline std::string DigestInPieces(const HashInterface* record, const std::string& bytes,
                                  const std::vector<size_t>& pieces) {
    Hash* h = nullptr;
    Hash_Create(&h);
    Hash_SetInterface(h, record);
    size_t done = 0;
    for (size_t i = 0; done < bytes.size(); i++) {
        size_t n = pieces[i % pieces.size()];
        if (n > bytes.size() - done) n = bytes.size() - done;
        Hash_Process(h, bytes.data() + done, (uint32_t)n, nullptr);
        done += n;
    }
    Hash_Generate(h);
    std::vector<char> text(2 * record->DigestSize + 1);
    Hash_GetString(h, 0, text.data(), (uint32_t)text.size());
    Hash_Delete(&h);
    return text.data();
}

// The folder of the published vectors, or empty when they are not installed.
inline std::string VectorRoot() {
    const char* overridden = getenv("QVR_CRYPTO_VECTORS");
    std::string root =
        overridden && *overridden ? overridden : "/usr/lib/python3/dist-packages/cryptography_vectors";
    struct stat st;
    return stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? root : std::string();
}

// One record of a response file: its "Name = value" lines by name.
typedef std::map<std::string, std::string> VectorRecord;

// Reads the records of a response file; a record ends at a blank line. Header lines (# ..., [..])
// are dropped; an indented line ("\tM = ...") is kept as a record line of its own.
inline std::vector<VectorRecord> ReadVectors(const std::string& path) {
    std::vector<VectorRecord> records;
    std::ifstream in(path);
    VectorRecord current;
    std::string line;
    auto flush = [&]() {
        if (!current.empty()) records.push_back(current);
        current.clear();
    };
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) {
            flush();
            continue;
        }
        if (line[start] == '#' || line[start] == '[') continue;
        size_t eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        std::string name = line.substr(start, eq - start);
        // Monte Carlo files list intermediate steps indented inside a record; they are not needed.
        if (start > 0) continue;
        current[name] = line.substr(eq + 3);
    }
    flush();
    return records;
}

// The NIST byte-oriented message: Len counts bits, and Len 0 comes with the placeholder Msg 00.
inline std::string VectorMessage(const VectorRecord& r) {
    std::string msg = FromHex(r.at("Msg"));
    msg.resize((size_t)std::stoul(r.at("Len")) / 8);
    return msg;
}

// The Monte Carlo test of the NIST hash validation: 100 checkpoints of 1000 chained digests of
// the last three results.
inline int32_t CheckMonteCarlo(const HashInterface* record, const std::string& path,
                               std::string* firstFailure) {
    std::vector<VectorRecord> records = ReadVectors(path);
    std::string seed;
    int32_t checked = 0;
    for (const VectorRecord& r : records) {
        if (r.count("Seed")) {
            seed = FromHex(r.at("Seed"));
            continue;
        }
        if (!r.count("COUNT") || !r.count("MD")) continue;
        std::string md[3] = {seed, seed, seed};
        std::vector<uint8_t> out(record->DigestSize);
        for (int i = 3; i < 1003; i++) {
            std::string m = md[0] + md[1] + md[2];
            Hash_QuickDigest(record, m.data(), (int32_t)m.size(), out.data(), (int32_t)out.size());
            md[0] = md[1];
            md[1] = md[2];
            md[2] = std::string(out.begin(), out.end());
        }
        seed = md[2];
        if (ToHex(seed) != r.at("MD") && firstFailure->empty()) *firstFailure = "COUNT " + r.at("COUNT");
        checked++;
    }
    return checked;
}

struct KnownAnswer {
    std::string Message;
    const char* Digest;
};

// The whole message at once, then the same bytes through a Hash object in uneven pieces.
inline void ExpectKnownAnswers(const HashInterface* record, const std::vector<KnownAnswer>& cases) {
    for (const KnownAnswer& c : cases) {
        EXPECT_EQ(Digest(record, c.Message), c.Digest) << record->Name << " of \"" << c.Message << "\"";
        EXPECT_EQ(DigestInPieces(record, c.Message, {1, 3, 7}), c.Digest) << record->Name;
    }
}

// One million bytes of 'a' fed in pieces of 1, 63, 64 and 65 bytes (and a mix) give the digest of
// one call.
inline void ExpectMillionInPieces(const HashInterface* record, const char* digest) {
    const std::string million(1000000, 'a');
    EXPECT_EQ(Digest(record, million), digest) << record->Name;
    for (const std::vector<size_t>& pieces :
         std::vector<std::vector<size_t>>{{1}, {63}, {64}, {65}, {1, 63, 64, 65, 4096}})
        EXPECT_EQ(DigestInPieces(record, million, pieces), digest)
            << record->Name << " pieces of " << pieces[0];
}

// A copy taken in the middle of a message and fed the same rest on both sides ends equal, and
// feeding the copy something else makes it differ.
inline void ExpectCopyMidMessage(const HashInterface* record) {
    Hash* a = nullptr;
    Hash* b = nullptr;
    Hash* c = nullptr;
    Hash_Create(&a);
    Hash_Create(&b);
    Hash_Create(&c);
    Hash_SetInterface(a, record);
    Hash_SetInterface(b, record);
    Hash_SetInterface(c, record);
    const std::string head(150, 'h'), tail = "the rest of the message";
    Hash_Process(a, head.data(), (uint32_t)head.size(), nullptr);
    EXPECT_EQ(Hash_CopyTo(a, b), 1);
    EXPECT_EQ(Hash_CopyTo(a, c), 1);
    Hash_Process(a, tail.data(), (uint32_t)tail.size(), nullptr);
    Hash_Process(b, tail.data(), (uint32_t)tail.size(), nullptr);
    Hash_Process(c, "other", 5, nullptr);
    Hash_Generate(a);
    Hash_Generate(b);
    Hash_Generate(c);
    char ta[160], tb[160], tc[160];
    Hash_GetString(a, 0, ta, sizeof(ta));
    Hash_GetString(b, 0, tb, sizeof(tb));
    Hash_GetString(c, 0, tc, sizeof(tc));
    EXPECT_STREQ(ta, tb) << record->Name;
    EXPECT_STREQ(ta, Digest(record, head + tail).c_str()) << record->Name;
    EXPECT_STRNE(ta, tc) << record->Name;
    // A copy of a finished instance carries the digest and the ready flag.
    Hash* d = nullptr;
    Hash_Create(&d);
    Hash_SetInterface(d, record);
    EXPECT_EQ(Hash_CopyTo(a, d), 1);
    EXPECT_EQ(Hash_IsGenerated(d), 1);
    char td[160];
    Hash_GetString(d, 0, td, sizeof(td));
    EXPECT_STREQ(td, ta);
    Hash_Delete(&a);
    Hash_Delete(&b);
    Hash_Delete(&c);
    Hash_Delete(&d);
}

// Every response file record of one kind (Len/Msg/MD) under the root; answers the count checked.
inline int32_t CheckMessageFile(const HashInterface* record, const std::string& path) {
    int32_t checked = 0;
    for (const VectorRecord& r : ReadVectors(path)) {
        if (!r.count("Len") || !r.count("Msg") || !r.count("MD")) continue;
        const std::string msg = VectorMessage(r);
        EXPECT_EQ(Digest(record, msg), r.at("MD")) << path << " Len " << r.at("Len");
        checked++;
    }
    return checked;
}

// For the digests of 64-byte blocks: 55 bytes leave room for the count in the same block, 56 to 63
// need one more; byte by byte gives the same digest as one call on every length around them.
inline void ExpectPaddingAroundTheLengthField(const HashInterface* record) {
    for (size_t n = 50; n <= 130; n++) {
        const std::string m(n, 'z');
        EXPECT_EQ(Digest(record, m), DigestInPieces(record, m, {1})) << record->Name << " " << n;
    }
}

// The digest of "abc" read through the record into a buffer of the given capacity: the answer,
// the leading bytes copied, and nothing written past them.
inline void ExpectDigestOfAbcInto(const HashInterface* record, int32_t capacity, uint32_t answer,
                                  size_t copied) {
    alignas(16) uint8_t memory[512];
    ASSERT_LE(record->SizeOf(), sizeof(memory));
    uint8_t out[96];
    ASSERT_LT(copied, sizeof(out));
    ASSERT_LE(capacity, (int32_t)sizeof(out));
    record->Stack(memory);
    record->Process(memory, "abc", 3);
    record->Generate(memory);
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(record->GetDigest(memory, out, capacity), answer) << record->Name << " " << capacity;
    EXPECT_EQ(ToHex(out, copied), Digest(record, "abc").substr(0, 2 * copied)) << record->Name;
    EXPECT_EQ(out[copied], 0xEE) << record->Name << " " << capacity;
    record->Unstack(memory);
}

// For the digests of fixed length: a short buffer gets the leading bytes and still 1, and a short
// text buffer the leading digits and 0.
inline void ExpectShortBuffersGetLeadingBytes(const HashInterface* record) {
    const int32_t size = (int32_t)record->DigestSize;
    const struct {
        int32_t Capacity;
        size_t Copied;
    } cases[] = {{8, 8}, {size, (size_t)size}, {size + 24, (size_t)size}, {0, 0}, {-5, 0}};
    for (const auto& c : cases) ExpectDigestOfAbcInto(record, c.Capacity, 1, c.Copied);
    const std::string abc = Digest(record, "abc");
    alignas(16) uint8_t memory[512];
    ASSERT_LE(record->SizeOf(), sizeof(memory));
    record->Stack(memory);
    record->Process(memory, "abc", 3);
    record->Generate(memory);
    std::vector<char> text(abc.size() + 1);
    EXPECT_EQ(record->GetString(memory, 0, text.data(), (int32_t)text.size()), 1u) << record->Name;
    EXPECT_EQ(std::string(text.data()), abc);
    EXPECT_EQ(record->GetString(memory, 0, text.data(), 10), 0u) << record->Name;
    EXPECT_EQ(std::string(text.data()), abc.substr(0, 9));
    record->Unstack(memory);
}

// For the digests that count bits in two 32-bit words: a wrap of the low word carries into the
// high word.
template <typename Object> void ExpectBitCountCarries(const HashInterface* record) {
    Object object;
    record->Stack(&object);
    object.BitCount[0] = 0xFFFFFE00u; // a whole number of blocks, 512 bits short of the wrap
    uint8_t block[64] = {};
    EXPECT_EQ(record->Process(&object, block, sizeof(block)), 1);
    EXPECT_EQ(object.BitCount[0], 0u) << record->Name;
    EXPECT_EQ(object.BitCount[1], 1u) << record->Name;
    EXPECT_EQ(record->Process(&object, block, 3), 1);
    EXPECT_EQ(object.BitCount[0], 24u) << record->Name;
    EXPECT_EQ(object.BitCount[1], 1u) << record->Name;
    record->Unstack(&object);
}

// For the same digests: a copy takes the count, the state and the bytes waiting in the block, and
// copying an instance onto itself is allowed.
template <typename Object> void ExpectCopyTakesCountStateAndBlock(const HashInterface* record) {
    Object* a = nullptr;
    Object* b = nullptr;
    record->Create(reinterpret_cast<void**>(&a));
    record->Create(reinterpret_cast<void**>(&b));
    record->Process(a, "abcdefghij", 10);
    EXPECT_EQ(record->CopyTo(a, b), 1);
    EXPECT_EQ(record->CopyTo(a, a), 1);
    EXPECT_EQ(b->BitCount[0], 80u) << record->Name;
    EXPECT_EQ(memcmp(a->State, b->State, sizeof(a->State)), 0) << record->Name;
    EXPECT_EQ(memcmp(a->Block, b->Block, 10), 0) << record->Name;
    record->Delete(reinterpret_cast<void**>(&a));
    record->Delete(reinterpret_cast<void**>(&b));
}

// Reading the digest, as bytes or as text, before it was generated stops the program with the
// class's text (`className` is the engine's name, e.g. "SHA256" for the SHA-224 record too).
inline void ExpectReadingBeforeGeneratingAborts(const HashInterface* record, const std::string& className) {
    const std::string text =
        "Assertion failed (" + className + "->DigestReady)\n" + className + " must be generated first!";
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t memory[512];
            record->Stack(memory);
            uint8_t out[64];
            record->GetDigest(memory, out, (int32_t)record->DigestSize);
        },
        AbortRegex(text))
        << record->Name;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t memory[512];
            record->Stack(memory);
            char out[160];
            record->GetString(memory, 0, out, (int32_t)sizeof(out));
        },
        AbortRegex(text))
        << record->Name;
}

// Data to process is required, even for no bytes.
inline void ExpectNullDataAborts(const HashInterface* record) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t memory[512];
            record->Stack(memory);
            record->Process(memory, nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"))
        << record->Name;
}
