#include "core/crypto/rsa.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "tests/support/hex.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wycheproof.h"

namespace {

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
}

// Runs a shell command with a bounded wait; true when it ended with status 0.
bool RunTool(const std::string& command) {
    return system(("timeout 60 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes Sha256(const Bytes& data) {
    Bytes out(32);
    Hash_QuickDigest(&SHA256_INTERFACE, data.data(), (int32_t)data.size(), out.data(), 32);
    return out;
}

// DigestInfo of SHA-256 up to the digest (RFC 8017, 9.2, note 1).
const Bytes kSha256Info = FromHex("3031300d060960864801650304020105000420");

struct Num {
    BigInt* p = nullptr;
    Num() { BigInt_Create(&p); }
    explicit Num(const Bytes& bytes) : Num() { BigInt_ImportBinary(p, bytes.data(), (uint32_t)bytes.size()); }
    ~Num() { BigInt_Release(&p); }
    operator BigInt*() const { return p; }
};

Bytes BytesOf(const BigInt* a, uint32_t size) {
    Bytes out(size);
    EXPECT_EQ(1, BigInt_ExportBinaryFixedSize(a, out.data(), size));
    return out;
}

struct Rsa {
    RSA* R = nullptr;
    Rsa() { RSA_Create(&R); }
    ~Rsa() { RSA_Delete(&R); }
    operator RSA*() const { return R; }
    uint32_t K() const { return (uint32_t)BigInt_MontgomeryGetModuloByteCount(R->Modulus); }
    Bytes Sign(const Bytes& data) {
        Bytes out(K() + 1);
        uint32_t length = 0;
        if (!RSA_Sign(R, data.data(), (uint32_t)data.size(), out.data(), (uint32_t)out.size(), &length)) return {};
        out.resize(length);
        return out;
    }
    // The block raised to d as it is, whatever its shape.
    Bytes RawPrivate(const Bytes& block) {
        Num x(block), y;
        EXPECT_EQ(1, BigInt_MontgomeryPower(y, x, &R->D, R->Modulus));
        return BytesOf(y, K());
    }
    int64_t Verify(const Bytes& digest, const Bytes& signature, uint32_t version) {
        return RSA_Verify(R, digest.data(), (uint32_t)digest.size(), signature.data(), (uint32_t)signature.size(),
                          version);
    }
};

// DER pieces for building keys.
Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 128) {
        out.push_back((uint8_t)n);
    } else {
        Bytes length;
        for (size_t v = n; v; v >>= 8) length.insert(length.begin(), (uint8_t)v);
        out.push_back((uint8_t)(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Integer(const BigInt* a) {
    Bytes magnitude = BytesOf(a, (uint32_t)BigInt_ByteCount(a));
    if (magnitude.empty() || magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0);
    return Tlv(0x02, magnitude);
}

Bytes Sequence(const std::vector<Bytes>& items) {
    Bytes content;
    for (const Bytes& item : items) content.insert(content.end(), item.begin(), item.end());
    return Tlv(0x30, content);
}

// Keys made once per run by OpenSSL: PEM for the tool, PKCS #1 DER for us.
struct Key {
    std::string Pem;
    Bytes Der;
};

class Keys {
  public:
    static Keys& Get() {
        static Keys keys;
        return keys;
    }
    bool Ok() const { return ok_; }
    TempDir Dir;
    Key Rsa2048, Rsa2048E3, Rsa1024;

  private:
    Keys() {
        ok_ = Make(&Rsa2048, "k2048", 2048, 65537) && Make(&Rsa2048E3, "k2048e3", 2048, 3) &&
              Make(&Rsa1024, "k1024", 1024, 65537);
    }
    bool Make(Key* key, const std::string& name, int bits, int e) {
        key->Pem = Dir.file(name + ".pem");
        const std::string der = Dir.file(name + ".der");
        if (!RunTool("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
                 " -pkeyopt rsa_keygen_pubexp:" + std::to_string(e) + " -out " + key->Pem) ||
            !RunTool("openssl rsa -in " + key->Pem + " -traditional -outform DER -out " + der))
            return false;
        key->Der = ReadFile(der);
        return !key->Der.empty();
    }
    bool ok_ = false;
};

#define NEED_KEYS()                                                                   \
    if (!Keys::Get().Ok()) GTEST_SKIP() << "openssl could not make keys";

void LoadPrivate(Rsa& rsa, const Key& key) {
    ASSERT_EQ(1, RSA_SetPrivateKey(rsa, key.Der.data(), (uint32_t)key.Der.size()));
}

Bytes PublicDer(const Rsa& rsa) {
    return Sequence({Integer(&rsa.R->Modulus->M), Integer(&rsa.R->E)});
}

// A block 00 01 FF.. 00 tail of k bytes with `padding` FF bytes (the rest of the tail is zero).
Bytes Block(uint32_t k, uint32_t padding, const Bytes& tail, uint8_t type = 1) {
    Bytes block(k, 0);
    block[1] = type;
    for (uint32_t i = 0; i < padding; i++) block[2 + i] = 0xFF;
    std::copy(tail.begin(), tail.end(), block.begin() + 3 + padding);
    return block;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

uint32_t SwitchOff() {
    return 0;
}

TEST(Rsa, SwitchOffAcceptsWithoutKey) {
    Rsa rsa;
    const Bytes digest(32, 7), signature(3, 1);
    EXPECT_EQ(0, rsa.Verify(digest, signature, 2));
    Authenticate_EnabledOverride(SwitchOff);
    EXPECT_EQ(1, rsa.Verify(digest, signature, 2));
    EXPECT_EQ(1, RSA_Verify(rsa, nullptr, 0, nullptr, 0, 1));
    Authenticate_EnabledOverride(nullptr);
    EXPECT_EQ(0, rsa.Verify(digest, signature, 2));
}

// Every block shape against verification, signed by raising it to d: only the exact PKCS #1 v1.5
// block for the digest passes.
TEST(Rsa, VerifyAcceptsOnlyTheExactBlock) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa2048);
    const uint32_t k = rsa.K();
    const Bytes digest = Sha256(Bytes{'a', 'b', 'c'});
    const Bytes md5sha1(36, 0x5C);
    const Bytes info = Concat(kSha256Info, digest);
    // SHA-1's identifier around a SHA-256 digest, and SHA-256's without its NULL parameters.
    const Bytes sha1Oid = Concat(FromHex("302d300906052b0e03021a05000420"), digest);
    const Bytes noNull = Concat(FromHex("302f300b06096086480165030402010420"), digest);
    const struct {
        const char* Name;
        Bytes Block;
        Bytes Digest;
        uint32_t Version;
        int64_t Expected;
    } rows[] = {
        {"digest info", Block(k, k - 3 - (uint32_t)info.size(), info), digest, 2, 1},
        {"raw digest", Block(k, k - 3 - 36, md5sha1), md5sha1, 1, 1},
        {"other versions read as 2", Block(k, k - 3 - (uint32_t)info.size(), info), digest, 7, 1},
        {"raw digest read as digest info", Block(k, k - 3 - 36, md5sha1), md5sha1, 2, 0},
        {"digest info read as raw digest", Block(k, k - 3 - (uint32_t)info.size(), info), digest, 1, 0},
        {"hash named does not match length", Block(k, k - 3 - (uint32_t)sha1Oid.size(), sha1Oid), digest, 2, 0},
        {"parameters left out", Block(k, k - 3 - (uint32_t)noNull.size(), noNull), digest, 2, 0},
        {"block type 2", Block(k, k - 3 - (uint32_t)info.size(), info, 2), digest, 2, 0},
        {"raw digest, garbage after it", Block(k, k - 3 - 40, md5sha1), md5sha1, 1, 0},
        {"digest info, garbage after it", Block(k, k - 3 - (uint32_t)info.size() - 4, info), digest, 2, 0},
        {"no separator", Bytes(k - 1, 0xFF), digest, 2, 0},
    };
    for (const auto& row : rows) {
        Bytes block = row.Block;
        if (block.size() < k) block.insert(block.begin(), 1, 0x01); // 01 FF .. FF, no zero byte
        const Bytes signature = rsa.RawPrivate(block);
        EXPECT_EQ(row.Expected, rsa.Verify(row.Digest, signature, row.Version)) << row.Name;
    }
    // Fewer than 8 bytes of padding before the digest.
    const Bytes wide(k - 3 - 7, 0x11);
    EXPECT_EQ(0, rsa.Verify(wide, rsa.RawPrivate(Block(k, 7, wide)), 1));
    const Bytes fits(k - 3 - 8, 0x11);
    EXPECT_EQ(1, rsa.Verify(fits, rsa.RawPrivate(Block(k, 8, fits)), 1));
}

// The signature's length and value: exactly k bytes, below n.
TEST(Rsa, VerifyTakesOnlyReducedSignaturesOfModulusLength) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa1024);
    const uint32_t k = rsa.K();
    Num n;
    BigInt_Copy(n, &rsa.R->Modulus->M);
    // A signature that still fits k bytes after n is added to it.
    for (uint8_t i = 0;; i++) {
        ASSERT_LT(i, 100);
        const Bytes digest = Sha256(Bytes{i});
        const Bytes signature = rsa.Sign(Concat(kSha256Info, digest));
        ASSERT_EQ(1, rsa.Verify(digest, signature, 2));
        EXPECT_EQ(0, rsa.Verify(digest, Concat(Bytes{0}, signature), 2));
        Num s(signature), sum;
        BigInt_Add(sum, s, n);
        if ((uint32_t)BigInt_ByteCount(sum) > k) continue;
        EXPECT_EQ(0, rsa.Verify(digest, BytesOf(sum, k), 2));
        EXPECT_EQ(0, rsa.Verify(digest, BytesOf(n, k), 2));
        break;
    }
}

// Integer cube root, rounded up.
void CubeRootUp(BigInt* root, const BigInt* x) {
    Num bit, candidate, cube;
    BigInt_Reset(root);
    for (int32_t b = BigInt_BitCount(x) / 3 + 1; b >= 0; b--) {
        BigInt_SetWord(bit, 1);
        BigInt_ShiftLeft(bit, bit, b);
        BigInt_Add(candidate, root, bit);
        BigInt_Multiply(cube, candidate, candidate);
        BigInt_Multiply(bit, cube, candidate);
        if (BigInt_Compare(bit, x) <= 0) BigInt_Copy(root, candidate);
    }
    BigInt_SetWord(bit, 1);
    BigInt_Add(root, root, bit);
}

// With e = 3 a cube root forges a block whose front is right and whose end is garbage; such
// signatures must fail.
TEST(Rsa, CubeRootForgeriesRefused) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa2048E3);
    const uint32_t k = rsa.K();
    const Bytes digest = Sha256(Bytes{'f', 'o', 'r', 'g', 'e'});
    const Bytes md5sha1(36, 0xA5);
    const struct {
        uint32_t Padding;
        Bytes Tail;
        Bytes Digest;
        uint32_t Version;
    } rows[] = {
        {1, Concat(kSha256Info, digest), digest, 2},
        {8, Concat(kSha256Info, digest), digest, 2},
        {1, md5sha1, md5sha1, 1},
        {8, md5sha1, md5sha1, 1},
    };
    for (const auto& row : rows) {
        const Bytes target = Block(k, row.Padding, row.Tail);
        Num t(target), s, cube;
        CubeRootUp(s, t);
        BigInt_Multiply(cube, s, s);
        BigInt_Multiply(cube, cube, s);
        const Bytes opened = BytesOf(cube, k);
        const size_t front = 3 + row.Padding + row.Tail.size();
        ASSERT_EQ(Bytes(target.begin(), target.begin() + (long)front), Bytes(opened.begin(), opened.begin() + (long)front));
        EXPECT_EQ(0, rsa.Verify(row.Digest, BytesOf(s, k), row.Version)) << row.Padding << " " << row.Version;
    }
}

TEST(Rsa, SignAndEncryptNeedRoomForPadding) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa2048);
    const struct {
        uint32_t Length, Size;
        int64_t Expected;
    } rows[] = {
        {245, 257, 1}, {246, 257, 0}, {253, 257, 0}, {256, 257, 0}, {257, 300, 0}, {32, 256, 0}, {32, 257, 1},
    };
    for (const auto& row : rows) {
        const Bytes data(row.Length, 0x42);
        Bytes out(row.Size);
        uint32_t length = 99;
        EXPECT_EQ(row.Expected, RSA_Sign(rsa, data.data(), row.Length, out.data(), row.Size, &length)) << row.Length;
        EXPECT_EQ(row.Expected ? 256u : 0u, length);
        length = 99;
        EXPECT_EQ(row.Expected, RSA_PublicKeyEncrypt(rsa, data.data(), row.Length, out.data(), row.Size, &length))
            << row.Length;
        EXPECT_EQ(row.Expected ? 256u : 0u, length);
    }
}

// The 48-byte premaster secret: decrypting with d shows 00 02, 205 non-zero bytes, 00, secret.
TEST(Rsa, PremasterBlockShape) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa2048);
    Bytes secret(48);
    for (size_t i = 0; i < secret.size(); i++) secret[i] = (uint8_t)(i * 7);
    Bytes out(257);
    uint32_t length = 0;
    ASSERT_EQ(1, RSA_PublicKeyEncrypt(rsa, secret.data(), 48, out.data(), 257, &length));
    ASSERT_EQ(256u, length);
    Num c(Bytes(out.begin(), out.begin() + 256)), m;
    BigInt_MontgomeryPower(m, c, &rsa.R->D, rsa.R->Modulus);
    const Bytes block = BytesOf(m, 256);
    EXPECT_EQ(0, block[0]);
    EXPECT_EQ(2, block[1]);
    for (int i = 2; i < 207; i++) EXPECT_NE(0, block[i]) << i;
    EXPECT_EQ(0, block[207]);
    EXPECT_EQ(secret, Bytes(block.begin() + 208, block.end()));
}

TEST(Rsa, SignatureKeepsLeadingZeroBytes) {
    NEED_KEYS();
    Rsa rsa;
    LoadPrivate(rsa, Keys::Get().Rsa1024);
    for (uint32_t i = 0;; i++) {
        ASSERT_LT(i, 3000u);
        const Bytes digest = Sha256(Bytes{(uint8_t)i, (uint8_t)(i >> 8)});
        const Bytes signature = rsa.Sign(Concat(kSha256Info, digest));
        ASSERT_EQ(128u, signature.size());
        if (signature[0] != 0) continue;
        EXPECT_EQ(1, rsa.Verify(digest, signature, 2));
        break;
    }
}

// Keys that must be refused; each leaves the object without its earlier key.
TEST(Rsa, BadKeysRefused) {
    NEED_KEYS();
    Rsa good;
    LoadPrivate(good, Keys::Get().Rsa1024);
    const Bytes digest = Sha256(Bytes{1});
    const Bytes signature = good.Sign(Concat(kSha256Info, digest));
    const Bytes publicDer = PublicDer(good);
    Num n, e, d, one, even, tiny, big, sixteen;
    BigInt_Copy(n, &good.R->Modulus->M);
    BigInt_Copy(e, &good.R->E);
    BigInt_Copy(d, &good.R->D);
    BigInt_SetWord(one, 1);
    BigInt_Add(even, n, one);
    BigInt_ImportHex(tiny, "F123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDE1");
    BigInt_ShiftLeft(big, n, 8192 - 1024 + 1);
    BigInt_Add(big, big, one);
    BigInt_SetWord(sixteen, 0x10000);
    // Public exponents past 32 bits: 2^32 + 1, and one of 2,000,000 bits whose every use would
    // take the verifying thread for most of a minute.
    Num wide, huge;
    BigInt_SetWord(wide, 1);
    BigInt_ShiftLeft(wide, wide, 32);
    BigInt_Add(wide, wide, one);
    BigInt_SetWord(huge, 1);
    BigInt_ShiftLeft(huge, huge, 2000000 - 1);
    BigInt_Add(huge, huge, one);
    Num zero;
    Bytes negative = Integer(n);
    negative.erase(negative.begin() + 2); // drop the 00 that keeps it positive
    negative[1]--;
    Bytes tagged = Integer(n);
    tagged[0] = 0x82; // context tag [2]
    Bytes truncated = publicDer;
    truncated.pop_back();
    const struct {
        const char* Name;
        Bytes Der;
    } publicRows[] = {
        {"zero modulus", Sequence({Integer(zero), Integer(e)})},
        {"even modulus", Sequence({Integer(even), Integer(e)})},
        {"tiny modulus", Sequence({Integer(tiny), Integer(e)})},
        {"modulus beyond 8192 bits", Sequence({Integer(big), Integer(e)})},
        {"negative modulus", Sequence({negative, Integer(e)})},
        {"modulus not an INTEGER", Sequence({tagged, Integer(e)})},
        {"exponent 1", Sequence({Integer(n), Integer(one)})},
        {"even exponent", Sequence({Integer(n), Integer(sixteen)})},
        {"exponent of 33 bits", Sequence({Integer(n), Integer(wide)})},
        {"exponent of 2,000,000 bits", Sequence({Integer(n), Integer(huge)})},
        {"exponent missing", Sequence({Integer(n)})},
        {"truncated", truncated},
        {"trailing byte", Concat(publicDer, Bytes{0})},
        {"empty", {}},
    };
    for (const auto& row : publicRows) {
        Rsa rsa;
        ASSERT_EQ(1, RSA_SetPublicKey(rsa, publicDer.data(), (uint32_t)publicDer.size()));
        ASSERT_EQ(1, rsa.Verify(digest, signature, 2));
        EXPECT_EQ(0, RSA_SetPublicKey(rsa, row.Der.data(), (uint32_t)row.Der.size())) << row.Name;
        EXPECT_EQ(0, rsa.Verify(digest, signature, 2)) << row.Name;
    }
    const struct {
        const char* Name;
        Bytes Der;
    } privateRows[] = {
        {"private exponent missing", Sequence({Integer(zero), Integer(n), Integer(e)})},
        {"private exponent 0", Sequence({Integer(zero), Integer(n), Integer(e), Integer(zero)})},
        {"private exponent not below n", Sequence({Integer(zero), Integer(n), Integer(e), Integer(n)})},
        {"even modulus", Sequence({Integer(zero), Integer(even), Integer(e), Integer(d)})},
        {"exponent of 33 bits", Sequence({Integer(zero), Integer(n), Integer(wide), Integer(d)})},
    };
    for (const auto& row : privateRows) {
        Rsa rsa;
        EXPECT_EQ(0, RSA_SetPrivateKey(rsa, row.Der.data(), (uint32_t)row.Der.size())) << row.Name;
        EXPECT_EQ(0, RSA_HasPrivateKey(rsa)) << row.Name;
        EXPECT_TRUE(rsa.R->Modulus == nullptr) << row.Name;
    }
    Rsa pair;
    EXPECT_EQ(0, RSA_SetPublicKeyPair(pair, e, even));
    EXPECT_EQ(0, RSA_SetPublicKeyPair(pair, one, n));
    EXPECT_EQ(0, RSA_SetPublicKeyPair(pair, wide, n));
    EXPECT_EQ(0, RSA_SetPublicKeyPair(pair, huge, n));
    Num widest; // 2^32 - 1, the widest exponent taken
    BigInt_SetWord(widest, 0xFFFFFFFFu);
    EXPECT_EQ(1, RSA_SetPublicKeyPair(pair, widest, n));
    EXPECT_EQ(1, RSA_SetPublicKeyPair(pair, e, n));
    EXPECT_EQ(1, pair.Verify(digest, signature, 2));
}

// Without its factors, and with factors whose exponent is wrong, a key signs the same bytes.
TEST(Rsa, FactorsAndExponentSignAlike) {
    NEED_KEYS();
    Rsa full;
    LoadPrivate(full, Keys::Get().Rsa1024);
    const Bytes info = Concat(kSha256Info, Sha256(Bytes{9}));
    const Bytes expected = full.Sign(info);
    ASSERT_EQ(128u, expected.size());
    EXPECT_EQ(1u, full.R->HasFactors);
    Num version, two, wrongDp;
    BigInt_SetWord(two, 2);
    BigInt_Subtract(wrongDp, &full.R->DP, two);
    const Bytes bad = Sequence({Integer(version), Integer(&full.R->Modulus->M), Integer(&full.R->E),
                                Integer(&full.R->D), Integer(&full.R->P), Integer(&full.R->Q), Integer(wrongDp),
                                Integer(&full.R->DQ), Integer(&full.R->QInv)});
    const Bytes bare =
        Sequence({Integer(version), Integer(&full.R->Modulus->M), Integer(&full.R->E), Integer(&full.R->D)});
    const struct {
        Bytes Der;
        uint32_t HasFactors;
    } rows[] = {{bad, 1}, {bare, 0}};
    for (const auto& row : rows) {
        Rsa rsa;
        ASSERT_EQ(1, RSA_SetPrivateKey(rsa, row.Der.data(), (uint32_t)row.Der.size()));
        EXPECT_EQ(row.HasFactors, rsa.R->HasFactors);
        EXPECT_EQ(expected, rsa.Sign(info));
    }
    // A public key alone cannot sign.
    Rsa pub;
    const Bytes der = PublicDer(full);
    ASSERT_EQ(1, RSA_SetPublicKey(pub, der.data(), (uint32_t)der.size()));
    EXPECT_EQ(Bytes{}, pub.Sign(info));
}

TEST(Rsa, OpenSslSignsAndVerifies) {
    NEED_KEYS();
    const Key& key = Keys::Get().Rsa2048;
    Rsa rsa;
    LoadPrivate(rsa, key);
    const Bytes message = {'m', 'e', 's', 's', 'a', 'g', 'e'};
    const std::string messagePath = Keys::Get().Dir.file("message"), sigPath = Keys::Get().Dir.file("sig");
    WriteFile(messagePath, message);
    const Bytes digest = Sha256(message);
    // Theirs verified by us.
    ASSERT_TRUE(RunTool("openssl dgst -sha256 -sign " + key.Pem + " -out " + sigPath + " " + messagePath));
    const Bytes theirs = ReadFile(sigPath);
    EXPECT_EQ(1, rsa.Verify(digest, theirs, 2));
    // Ours verified by them under the public key alone, and equal to theirs: the padding is
    // deterministic.
    const Bytes ours = rsa.Sign(Concat(kSha256Info, digest));
    EXPECT_EQ(theirs, ours);
    WriteFile(sigPath, ours);
    const std::string publicPem = Keys::Get().Dir.file("public.pem");
    ASSERT_TRUE(RunTool("openssl pkey -in " + key.Pem + " -pubout -out " + publicPem));
    EXPECT_TRUE(RunTool("openssl dgst -sha256 -verify " + publicPem + " -signature " + sigPath + " " + messagePath));
    // A changed byte fails with them as with us.
    Bytes changed = ours;
    changed[100] ^= 1;
    WriteFile(sigPath, changed);
    EXPECT_FALSE(RunTool("openssl dgst -sha256 -verify " + publicPem + " -signature " + sigPath + " " + messagePath));
    EXPECT_EQ(0, rsa.Verify(digest, changed, 2));
}

TEST(Rsa, OpenSslDecryptsOurEncryption) {
    NEED_KEYS();
    const Key& key = Keys::Get().Rsa2048;
    Rsa rsa;
    const Bytes publicDer = [&] {
        Rsa full;
        LoadPrivate(full, key);
        return PublicDer(full);
    }();
    ASSERT_EQ(1, RSA_SetPublicKey(rsa, publicDer.data(), (uint32_t)publicDer.size()));
    for (uint32_t size : {48u, 245u}) {
        Bytes data(size);
        for (uint32_t i = 0; i < size; i++) data[i] = (uint8_t)(i ^ 0x3C);
        Bytes out(257);
        uint32_t length = 0;
        ASSERT_EQ(1, RSA_PublicKeyEncrypt(rsa, data.data(), size, out.data(), 257, &length));
        out.resize(length);
        const std::string in = Keys::Get().Dir.file("cipher"), plain = Keys::Get().Dir.file("plain");
        WriteFile(in, out);
        ASSERT_TRUE(RunTool("openssl pkeyutl -decrypt -inkey " + key.Pem + " -pkeyopt rsa_padding_mode:pkcs1 -in " + in +
                        " -out " + plain));
        EXPECT_EQ(data, ReadFile(plain)) << size;
    }
}

TEST(Rsa, RecordReachesTheKey) {
    NEED_KEYS();
    Rsa signer;
    LoadPrivate(signer, Keys::Get().Rsa1024);
    const Bytes digest = Sha256(Bytes{5});
    const Bytes signature = signer.Sign(Concat(kSha256Info, digest));
    const Bytes der = PublicDer(signer);
    EXPECT_STREQ("RSA", RSA_INTERFACE.Name);
    void* instance = nullptr;
    ASSERT_EQ(1, RSA_INTERFACE.Create(&instance));
    EXPECT_EQ(1, RSA_INTERFACE.InitParams(instance, "ignored", 0));
    EXPECT_EQ(1, RSA_INTERFACE.SetPublicKey(instance, der.data(), (uint32_t)der.size(), 0));
    EXPECT_EQ(0, RSA_INTERFACE.HasPrivateKey(instance));
    EXPECT_EQ(1, RSA_INTERFACE.Verify(instance, digest.data(), 32, signature.data(), (uint32_t)signature.size(), 2));
    EXPECT_EQ(1, RSA_INTERFACE.Reset(instance));
    EXPECT_EQ(0, RSA_INTERFACE.Verify(instance, digest.data(), 32, signature.data(), (uint32_t)signature.size(), 2));
    EXPECT_EQ(1, RSA_INTERFACE.Delete(&instance));
    EXPECT_EQ(nullptr, instance);
}

// Wycheproof PKCS #1 v1.5 signature files: every valid case passes, every invalid one fails.
TEST(Rsa, Wycheproof) {
    const char* files[] = {"rsa_signature_2048_sha256_test.json", "rsa_signature_2048_sha384_test.json",
                           "rsa_signature_2048_sha512_test.json", "rsa_signature_3072_sha256_test.json",
                           "rsa_signature_4096_sha512_test.json"};
    int valid = 0, invalid = 0;
    for (const char* name : files) {
        const std::vector<WycheproofGroup> groups = Wycheproof_Read(name);
        if (groups.empty()) GTEST_SKIP() << "no " << name;
        Rsa rsa;
        for (const WycheproofGroup& group : groups) {
            const Bytes der = FromHex(group["publicKeyAsn"]);
            ASSERT_EQ(1, RSA_SetPublicKey(rsa, der.data(), (uint32_t)der.size())) << name;
            const std::string& sha = group["sha"];
            const HashInterface* hash = sha == "SHA-256"   ? &SHA256_INTERFACE
                                        : sha == "SHA-384" ? &SHA384_INTERFACE
                                                           : &SHA512_INTERFACE;
            for (const WycheproofCase& c : group.Cases) {
                const Bytes msg = FromHex(c["msg"]), sig = FromHex(c["sig"]);
                const std::string& result = c["result"];
                Bytes digest(hash->DigestSize);
                Hash_QuickDigest(hash, msg.data(), (int32_t)msg.size(), digest.data(), (int32_t)digest.size());
                const int64_t verified = rsa.Verify(digest, sig, 2);
                if (result == "valid") {
                    EXPECT_EQ(1, verified) << name << " " << result;
                    valid++;
                } else if (result == "invalid") {
                    EXPECT_EQ(0, verified) << name << " " << result;
                    invalid++;
                }
            }
        }
    }
    EXPECT_EQ(39, valid);
    EXPECT_EQ(1250, invalid);
}

} // namespace
