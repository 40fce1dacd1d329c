// Verifies fuzzed signatures and digests under fuzzed public keys (DER and integer pairs, moduli
// of every size and shape), and fuzzed blocks signed raw with two fixed private keys, checking each
// answer against the one block PKCS #1 v1.5 allows for the digest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/crypto/big_integer.h"
#include "core/crypto/rsa.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Check(bool ok) {
    if (!ok) abort();
}

struct Num {
    BigInt* p = nullptr;
    Num() { BigInt_Create(&p); }
    ~Num() { BigInt_Release(&p); }
    operator BigInt*() const { return p; }
};

// Fixed keys in PKCS #1 form: 520 bits with e = 65537, 576 bits with e = 3.
const char* const kKeys[] = {
    "3082013d020100024200c5b3258241e60964ca1415ff4bad95da8b5a860607a62f5e180b440a5d9d6414229913a36e08"
    "dc7d0ca4d20b5d7bd812813695b568ede3d6b039b31fe4b4f9fb3502030100010241493443a04edc6a000b1f92e19c59"
    "2352f024cdd9afbd666eb6027de844afc1ddf462530b3d6a15a417a106f4aa8039a3472680715d7434fa1ad71afbc3de"
    "a00a4502210e917387ffc73e87b3b749707aa5ebebb646ecabb1f74ec7ef2a803d09e513a6c702210d921751a3842ebc"
    "35a0edcec8a9f8fc1763aa2dbdddf1f0e41765bee77cfe622302202d11d05aeef57a7e5980b1b349be082333c8386af6"
    "2a2590665b1661c03af491022108450b82cb73648b7adecbac246a37f95f4373d4160ce73fd5af50686a66a81a230221"
    "05265a31c58eedb8560ae61afd8b90307f76187a032487ffa9cb911d2daacb2709",
    "3082015e020100024900c65e4409125e8443e9385c16f6b93cd07af274f8853c3b3a52e80a74fb9b0916d6eaa22b8357"
    "0cedea70891402c00de954775b9696b9b6b77e06c112f0d82b2fa2d73fda63d27edf020103024900843ed8060c3f02d7"
    "f0d03d64a47b7de051f6f8a5ae28277c37455c4dfd12060f39f1c1712b087ffe3dc352b2e57af7a2c06bcc4cbce0ef1b"
    "3784421703b560ca89851b3a3834ac5b022500e5f1b2f1719eae0e397c17f4178e0ae89b80022b369e53b2ca2a3a8873"
    "28fd913d5f27f3022500dcd899ff1c2cdef9710b82811c479e3adfe84de374220a3da11ddf7761669971d22454650225"
    "00994bcca0f669c95ed0fd654d65095c9b125556c779bee27731717c5af770a90b7e3f6ff7022500933b1154bd733f50"
    "f607ac5612da697c954589424d6c06d3c0be94fa40ef10f68c18384302242a25ae98cd65d808229ae4d2e0da26e0d823"
    "5dc82b64aed3675c140746b632769197a27a",
};

Bytes FromHex(const char* text) {
    Bytes out;
    auto v = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) out.push_back((uint8_t)(v(text[i]) << 4 | v(text[i + 1])));
    return out;
}

// The standard DigestInfo encodings up to the digest, by digest length.
const struct {
    uint32_t Length;
    const char* Prefix;
} kInfos[] = {
    {16, "3020300c06082a864886f70d020505000410"},   {16, "3020300c06082a864886f70d020205000410"},
    {20, "3021300906052b0e03021a05000414"},         {28, "302d300d06096086480165030402040500041c"},
    {32, "3031300d060960864801650304020105000420"}, {48, "3041300d060960864801650304020205000430"},
    {64, "3051300d060960864801650304020305000440"},
};

// True when the k-byte block is 00 01, at least 8 FF, 00, then the digest (version 1) or one of
// the DigestInfo encodings for its length around it (any other version).
bool Expected(const Bytes& block, const uint8_t* digest, uint32_t length, uint32_t version) {
    std::vector<Bytes> tails;
    const Bytes raw(digest, digest + length);
    if (version == RSA_SIGNATURE_VERSION_PCS15) {
        tails.push_back(raw);
    } else {
        for (const auto& info : kInfos) {
            if (info.Length != length) continue;
            Bytes tail = FromHex(info.Prefix);
            tail.insert(tail.end(), raw.begin(), raw.end());
            tails.push_back(tail);
        }
    }
    const size_t k = block.size();
    for (const Bytes& tail : tails) {
        if (k < tail.size() + 11) continue;
        Bytes want(k, 0xFF);
        want[0] = 0;
        want[1] = 1;
        want[k - tail.size() - 1] = 0;
        if (!tail.empty()) memcpy(want.data() + k - tail.size(), tail.data(), tail.size());
        if (want == block) return true;
    }
    return false;
}

Bytes Export(const BigInt* a, uint32_t k) {
    Bytes out(k);
    Check(BigInt_ExportBinaryFixedSize(a, out.data(), k) == 1);
    return out;
}

// Takes bytes from the front of the input, fewer at its end.
struct Reader {
    const uint8_t* Data;
    size_t Size;
    const uint8_t* Take(size_t* count) {
        if (*count > Size) *count = Size;
        const uint8_t* at = Data;
        Data += *count;
        Size -= *count;
        return at;
    }
    size_t Byte() {
        size_t one = 1;
        const uint8_t* p = Take(&one);
        return one ? *p : 0;
    }
};

// A verification answer is right when only the expected block opened, found here with the plain
// power (where that is quick, or the answer was yes).
void CheckAnswer(RSA* rsa, const uint8_t* digest, uint32_t length, const uint8_t* signature, uint32_t count,
                 uint32_t version, int64_t answer) {
    Check(answer == 0 || answer == 1);
    if (rsa->Modulus == nullptr) {
        Check(answer == 0);
        return;
    }
    const uint32_t k = (uint32_t)BigInt_MontgomeryGetModuloByteCount(rsa->Modulus);
    Num s, m;
    BigInt_ImportBinary(s, signature, count);
    if (count != k || BigInt_Compare(s, &rsa->Modulus->M) >= 0) {
        Check(answer == 0);
        return;
    }
    if (k > 160 && answer == 0) return;
    Check(BigInt_ModuloPower(m, s, &rsa->E, &rsa->Modulus->M) == 1);
    Check(answer == (Expected(Export(m, k), digest, length, version) ? 1 : 0));
}

// Keys are accepted exactly when n is odd of 512 to 8,192 bits and e is odd and at least 3.
bool KeyValid(const BigInt* e, const BigInt* n) {
    const int32_t bits = BigInt_BitCount(n);
    return BigInt_IsBitSet(n, 0) && bits >= 512 && bits <= 8192 && BigInt_IsBitSet(e, 0) &&
           BigInt_BitCount(e) >= 2;
}

// A fixed key signs the rest of the input raw (reduced below n) and the digest through its own
// block; both signatures are verified.
void SignAndVerify(RSA* rsa, Reader& in, uint32_t version, uint32_t key) {
    const Bytes der = FromHex(kKeys[key]);
    Check(RSA_SetPrivateKey(rsa, der.data(), (uint32_t)der.size()) == 1);
    const uint32_t k = (uint32_t)BigInt_MontgomeryGetModuloByteCount(rsa->Modulus);
    size_t length = in.Byte();
    const uint8_t* digest = in.Take(&length);
    size_t count = in.Size;
    const uint8_t* block = in.Take(&count);
    Num b, s;
    BigInt_ImportBinary(b, block, (uint32_t)count);
    BigInt_Modulo(b, b, &rsa->Modulus->M);
    Check(BigInt_MontgomeryPower(s, b, &rsa->D, rsa->Modulus) == 1);
    const Bytes signature = Export(s, k);
    const int64_t answer = RSA_Verify(rsa, digest, (uint32_t)length, signature.data(), k, version);
    Check(answer == (Expected(Export(b, k), digest, (uint32_t)length, version) ? 1 : 0));
    Bytes out(k + 1);
    uint32_t outLength = 0;
    const int64_t made = RSA_Sign(rsa, digest, (uint32_t)length, out.data(), k + 1, &outLength);
    Check(made == (length + 11 <= k ? 1 : 0));
    if (made) {
        Check(outLength == k);
        Check(RSA_Verify(rsa, digest, (uint32_t)length, out.data(), k, RSA_SIGNATURE_VERSION_PCS15) == 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    Reader in{data + 1, size - 1};
    const uint8_t selector = data[0];
    // Versions 1, 2, 3 and 4: all but 1 read a DigestInfo.
    const uint32_t version = (selector & 3) + 1;
    RSA* rsa = nullptr;
    RSA_Create(&rsa);
    const uint32_t mode = (selector >> 2) & 3;
    if (mode == 0) {
        // A public key in DER.
        size_t count = in.Byte() << 8;
        count |= in.Byte();
        const uint8_t* der = in.Take(&count);
        const int64_t ok = RSA_SetPublicKey(rsa, der, (uint32_t)count);
        Check(ok == (rsa->Modulus != nullptr ? 1 : 0));
        if (ok) Check(KeyValid(&rsa->E, &rsa->Modulus->M) && !RSA_HasPrivateKey(rsa));
    } else if (mode == 1) {
        // A key pair from bytes: n of up to 1,100 bytes (past the largest allowed), e of up to 8.
        size_t nCount = in.Byte() << 8;
        nCount = (nCount | in.Byte()) % 1101;
        size_t eCount = in.Byte() % 9;
        const uint8_t* nBytes = in.Take(&nCount);
        const uint8_t* eBytes = in.Take(&eCount);
        Num n, e;
        BigInt_ImportBinary(n, nBytes, (uint32_t)nCount);
        BigInt_ImportBinary(e, eBytes, (uint32_t)eCount);
        const int64_t ok = RSA_SetPublicKeyPair(rsa, e, n);
        Check(ok == (KeyValid(e, n) ? 1 : 0));
        Check(ok == (rsa->Modulus != nullptr ? 1 : 0));
    } else {
        SignAndVerify(rsa, in, version, (selector >> 4) & 1);
        RSA_Delete(&rsa);
        return 0;
    }
    size_t length = in.Byte();
    const uint8_t* digest = in.Take(&length);
    size_t count = in.Size;
    const uint8_t* signature = in.Take(&count);
    const int64_t answer = RSA_Verify(rsa, digest, (uint32_t)length, signature, (uint32_t)count, version);
    CheckAnswer(rsa, digest, (uint32_t)length, signature, (uint32_t)count, version, answer);
    // Padded to the modulus's length, the same number is a signature of the right length.
    if (rsa->Modulus) {
        const uint32_t k = (uint32_t)BigInt_MontgomeryGetModuloByteCount(rsa->Modulus);
        if (count < k) {
            Bytes padded(k - count, 0);
            padded.insert(padded.end(), signature, signature + count);
            const int64_t again = RSA_Verify(rsa, digest, (uint32_t)length, padded.data(), k, version);
            CheckAnswer(rsa, digest, (uint32_t)length, padded.data(), k, version, again);
        }
    }
    RSA_Delete(&rsa);
    return 0;
}
