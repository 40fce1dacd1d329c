// Helpers of the digest tests: hex text, digests through a record whole or in chunks, and the
// reader of the published NIST response files (Len/Msg/MD records), found under
// QVR_CRYPTO_VECTORS or where Debian's python3-cryptography-vectors installs them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/crypto/hash.h"

inline std::string ToHex(const uint8_t* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++) out += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return out;
}
inline std::string ToHex(const std::string& bytes) {
    return ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

inline std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    return out;
}

inline std::string Repeat(const std::string& chunk, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) out += chunk;
    return out;
}

// The test message of the vectors around block and padding boundaries: byte i is (i * 31 + 7) mod
// 256. Their expected values were computed outside this code; each table names the tool.
inline std::string Pattern(size_t length) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; i++) out[i] = (char)(i * 31 + 7);
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

// The same digest through a Hash object fed in chunks of the given sizes, in turn.
inline std::string DigestInChunks(const HashInterface* record, const std::string& bytes,
                                  const std::vector<size_t>& chunks) {
    Hash* h = nullptr;
    Hash_Create(&h);
    Hash_SetInterface(h, record);
    for (size_t i = 0, done = 0; done < bytes.size(); i++) {
        const size_t n = std::min(chunks[i % chunks.size()], bytes.size() - done);
        Hash_Process(h, bytes.data() + done, (uint32_t)n, nullptr);
        done += n;
    }
    Hash_Generate(h);
    std::vector<char> text(2 * record->DigestSize + 1);
    Hash_GetString(h, 0, text.data(), (uint32_t)text.size());
    Hash_Delete(&h);
    return text.data();
}

struct KnownAnswer {
    std::string Message;
    const char* Digest;
};

// The whole message at once, then the same bytes through a Hash object in uneven chunks.
inline void ExpectKnownAnswers(const HashInterface* record, const std::vector<KnownAnswer>& cases) {
    for (const KnownAnswer& c : cases) {
        EXPECT_EQ(Digest(record, c.Message), c.Digest)
            << record->Name << " of " << c.Message.size() << " bytes";
        EXPECT_EQ(DigestInChunks(record, c.Message, {1, 3, 7}), c.Digest) << record->Name << " in chunks";
    }
}

// One million bytes of 'a' in one call, and fed in chunks of 1, 63, 64 and 65 bytes and a mix.
inline void ExpectMillionInChunks(const HashInterface* record, const char* digest) {
    const std::string million(1000000, 'a');
    EXPECT_EQ(Digest(record, million), digest) << record->Name;
    for (const std::vector<size_t>& chunks :
         std::vector<std::vector<size_t>>{{1}, {63}, {64}, {65}, {1, 63, 64, 65, 4096}})
        EXPECT_EQ(DigestInChunks(record, million, chunks), digest)
            << record->Name << " chunks of " << chunks[0];
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
// and the indented intermediate steps of Monte Carlo files are dropped.
inline std::vector<VectorRecord> ReadVectors(const std::string& path) {
    std::vector<VectorRecord> records;
    std::ifstream in(path);
    VectorRecord current;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        const size_t eq = line.find(" = ");
        if (line.find_first_not_of(" \t") == std::string::npos) {
            if (!current.empty()) records.push_back(current);
            current.clear();
        } else if (line[0] != '#' && line[0] != '[' && line[0] != ' ' && line[0] != '\t' &&
                   eq != std::string::npos) {
            current[line.substr(0, eq)] = line.substr(eq + 3);
        }
    }
    if (!current.empty()) records.push_back(current);
    return records;
}

// Every Len/Msg/MD record of a response file (Len counts bits; Len 0 comes with the placeholder
// Msg 00); answers the count checked.
inline int32_t CheckMessageFile(const HashInterface* record, const std::string& path) {
    int32_t checked = 0;
    for (const VectorRecord& r : ReadVectors(path)) {
        if (!r.count("Len") || !r.count("Msg") || !r.count("MD")) continue;
        const std::string msg = FromHex(r.at("Msg")).substr(0, (size_t)std::stoul(r.at("Len")) / 8);
        EXPECT_EQ(Digest(record, msg), r.at("MD")) << path << " Len " << r.at("Len");
        checked++;
    }
    return checked;
}

// The Monte Carlo test of the NIST hash validation: 100 checkpoints of 1000 chained digests of
// the last three results. Answers the checkpoints checked; the first that failed goes to
// *firstFailure.
inline int32_t CheckMonteCarlo(const HashInterface* record, const std::string& path,
                               std::string* firstFailure) {
    std::string seed;
    int32_t checked = 0;
    for (const VectorRecord& r : ReadVectors(path)) {
        if (r.count("Seed")) seed = FromHex(r.at("Seed"));
        if (!r.count("COUNT") || !r.count("MD")) continue;
        std::string md[3] = {seed, seed, seed};
        std::vector<uint8_t> out(record->DigestSize);
        for (int i = 3; i < 1003; i++) {
            const std::string m = md[0] + md[1] + md[2];
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

// The NIST message and Monte Carlo files of one algorithm ("SHA1/SHA1", "SHA2/SHA256", ...): at
// least the given numbers of short and long messages, and all 100 checkpoints.
inline void ExpectNistFiles(const HashInterface* record, const std::string& base, int32_t shortCount,
                            int32_t longCount) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    const std::string prefix = root + "/hashes/" + base;
    EXPECT_GE(CheckMessageFile(record, prefix + "ShortMsg.rsp"), shortCount) << base;
    EXPECT_GE(CheckMessageFile(record, prefix + "LongMsg.rsp"), longCount) << base;
    std::string failure;
    EXPECT_EQ(CheckMonteCarlo(record, prefix + "Monte.rsp", &failure), 100) << base;
    EXPECT_EQ(failure, "") << base;
}
