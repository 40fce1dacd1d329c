// Reads arbitrary bytes as signed data and runs every verification over them against a store
// that trusts every certificate or none (the first byte picks), with content and digests taken
// from the input; nothing may crash, read out of bounds or succeed against the store of none.
#include <cstdint>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/certs/pkcs7.h"

namespace {

int64_t Quiet(void*, const char*, ...) { return 1; }

CertStoreInterface* MakeStore(bool trustAll) {
    CertStoreInterface* store = nullptr;
    CertStoreInterface_Create(&store);
    CertStoreInterface_SetAddRefCallback(store, nullptr, [](CertStoreInterface* h, void*) { return h; });
    CertStoreInterface_SetReleaseCallback(store, nullptr, [](CertStoreInterface** h, void*) -> int64_t {
        *h = nullptr;
        return 1;
    });
    if (trustAll) {
        CertStoreInterface_SetX509IsTrustedCallback(store, nullptr,
                                                    [](CertStoreInterface*, void*, X509*, uint32_t* stop) -> int64_t {
                                                        *stop = 0;
                                                        return 1;
                                                    });
    } else {
        CertStoreInterface_SetX509IsTrustedCallback(store, nullptr,
                                                    [](CertStoreInterface*, void*, X509*, uint32_t* stop) -> int64_t {
                                                        *stop = 1;
                                                        return 0;
                                                    });
    }
    CertStoreInterface_SetX509IsTrustedJWSCallback(
        store, nullptr, [](CertStoreInterface*, void*, Dictionary*, CryptAsymmetric**, uint32_t*) -> int64_t { return 0; });
    return store;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    static CertStoreInterface* all = MakeStore(true);
    static CertStoreInterface* none = MakeStore(false);
    const bool trustAll = data[0] & 1;
    CertStoreInterface* store = trustAll ? all : none;
    PKCS7* pkcs7 = nullptr;
    PKCS7_Create(&pkcs7);
    PKCS7_SetPrintCallback(pkcs7, nullptr, Quiet);
    if (PKCS7_BuildFromBuffer(pkcs7, data + 1, (uint32_t)(size - 1)) == 1) {
        const HashInterface* record = nullptr;
        PKCS7_GetSignerInfoHashInterface(pkcs7, &record);
        PKCS7_IsDetached(pkcs7);
        // The last bytes of the input stand for the content, and the digest of the right size.
        const uint32_t tail = (uint32_t)(size - 1) < 64 ? (uint32_t)(size - 1) : 64;
        const uint8_t* end = data + size - tail;
        int64_t ok = PKCS7_Verify(pkcs7, store, end, tail);
        if (record && tail >= record->DigestSize)
            ok |= PKCS7_VerifyDigest(pkcs7, store, end, record->DigestSize);
        if (ok && !trustAll && Authenticate_Enabled()) __builtin_trap();
        X509* signer = nullptr;
        if (PKCS7_VerifyChain(pkcs7, store, &signer) == 1) {
            PKCS7_VerifySignature(pkcs7, signer);
            if (record && tail >= record->DigestSize) {
                PKCS7_VerifyEncryptedDigest(pkcs7, signer, end);
                PKCS7_VerifySignedDigest(pkcs7, end);
            }
        }
        // A rebuild from the same bytes must read them again from scratch.
        PKCS7_BuildFromBuffer(pkcs7, data + 1, (uint32_t)(size - 1));
    }
    PKCS7_Release(&pkcs7);
    return 0;
}
