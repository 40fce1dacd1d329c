// A certificate store for the signature tests that trusts exactly one certificate, by its bytes.
#pragma once

#include <string>
#include <utility>

#include "core/certs/cert_store.h"
#include "core/certs/x509.h"

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
