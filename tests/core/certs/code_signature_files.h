// Shared by the Mach-O and installer-package tests: the signer certificates (made by openssl),
// a store trusting one root by its bytes, CMS signatures made by openssl, and byte helpers.
#pragma once

#include <string>

#include "core/certs/cert_store.h"
#include "core/certs/x509.h"
#include "core/platform/memory_stream.h"
#include "tests/support/cert_chains.h"
#include "tests/support/oracle_process.h"

inline void PutBe32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + i] = (char)(v >> (24 - 8 * i));
}
inline void PutLe32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + i] = (char)(v >> (8 * i));
}
inline std::string Be32(uint32_t v) {
    std::string s(4, '\0');
    PutBe32(s, 0, v);
    return s;
}
inline std::string Le32(uint32_t v) {
    std::string s(4, '\0');
    PutLe32(s, 0, v);
    return s;
}

// A store that trusts exactly one certificate (by its encoding), or none.
struct TrustOne {
    CertStoreInterface* Interface = nullptr;
    std::string Der;
    explicit TrustOne(std::string der) : Der(std::move(der)) {
        CertStoreInterface_Create(&Interface);
        CertStoreInterface_SetAddRefCallback(Interface, this, [](CertStoreInterface* h, void*) { return h; });
        CertStoreInterface_SetReleaseCallback(Interface, this, [](CertStoreInterface** h, void*) -> int64_t {
            *h = nullptr;
            return 1;
        });
        CertStoreInterface_SetX509IsTrustedCallback(
            Interface, this, [](CertStoreInterface*, void* s, X509* cert, uint32_t* stop) -> int64_t {
                const uint8_t* der = nullptr;
                uint32_t length = 0;
                X509_GetASN1(cert, &der, &length);
                *stop = 0;
                return static_cast<TrustOne*>(s)->Der == std::string(reinterpret_cast<const char*>(der), length);
            });
        CertStoreInterface_SetX509IsTrustedJWSCallback(
            Interface, this,
            [](CertStoreInterface*, void*, Dictionary*, CryptAsymmetric**, uint32_t*) -> int64_t { return 0; });
    }
    ~TrustOne() { CertStoreInterface_Delete(&Interface); }
};

// A detached CMS signature (DER) by the RSA leaf over the content, the intermediate carried.
inline std::string CmsSign(CertChains& certs, const std::string& content, const char* digest = "sha256") {
    const std::string dir = certs.Dir.path();
    auto out = RunOracle("cd '" + dir + "' && openssl cms -sign -binary -signer leaf_rsa.pem -inkey rsaleaf.key" +
                             " -certfile ica_rsa.pem -md " + digest + " -outform DER",
                         content, 60);
    return out ? *out : std::string();
}

// A memory stream holding the bytes, positioned at the start.
struct BytesStream {
    MemoryStream* Memory = nullptr;
    Stream* Handle = nullptr;
    explicit BytesStream(const std::string& bytes) {
        MemoryStream_Create(&Memory);
        MemoryStream_SetAutoGrow(Memory, 1);
        uint32_t written = 0;
        MemoryStream_Write(Memory, bytes.data(), (uint32_t)bytes.size(), &written);
        MemoryStream_Seek(Memory, 0, SEEK_ORIGIN_BEGIN);
        MemoryStream_GetStreamHandle(Memory, &Handle);
    }
    ~BytesStream() { MemoryStream_Release(&Memory); }
};
