// Shared by the Mach-O and installer-package tests: the signer certificates and CMS signatures
// (made by openssl), a store trusting one certificate, and byte helpers.
#pragma once

#include <string>

#include "core/platform/memory_stream.h"
#include "tests/core/certs/trust_one.h"
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
