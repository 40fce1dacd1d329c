// Reads arbitrary bytes as a JWK set and a JWS header (split at the first NUL) and asks the JWKS
// store for the header's key and, when the header carries a certificate, whether it is trusted.
#include <cstdint>
#include <cstring>

#include "core/certs/cert_store.h"
#include "core/certs/cert_store_jwks.h"
#include "core/certs/jws.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

namespace {

struct Document {
    JSON* Json = nullptr;
    Dictionary* Dict = nullptr;
    Document() {
        JSON_Create(&Json);
        Dictionary_Create(&Dict);
        JSON_SetDictionaryHandle(Json, Dict);
    }
    ~Document() {
        JSON_Release(&Json);
        Dictionary_Release(&Dict);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t setLength = split ? (size_t)(split - data) : size;
    Document keySet, header;
    if (JSON_LoadBuffer(keySet.Json, data, (uint32_t)setLength) != 1) return 0;
    CertStoreJWKS* store = nullptr;
    CertStoreJWKS_Create(&store);
    CertStoreJWKS_SetJWKSHandle(store, keySet.Dict);
    CertStoreInterface* handle = CertStoreJWKS_GetInterfaceHandle(store);
    if (split && JSON_LoadBuffer(header.Json, split + 1, (uint32_t)(size - setLength - 1)) == 1) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(header.Dict, &root);
        CryptAsymmetric* key = nullptr;
        uint32_t stop = 0;
        if (CertStoreInterface_X509IsTrustedJWS(handle, root, &key, &stop) == 1 && key) {
            uint8_t signature[64] = {1};
            static const char kInput[] = "e30.e30";
            for (uint32_t code = JWS_ALGORITHM_RS256; code <= JWS_ALGORITHM_ES512; code++)
                JWS_CASignatureVerify(key, code, reinterpret_cast<const uint8_t*>(kInput), 7, signature, sizeof signature);
            CryptAsymmetric_Release(&key);
        }
        X509Chain* chain = nullptr;
        X509Chain_Create(&chain);
        X509* cert = nullptr;
        if (JWS_HeaderX509ChainHandleFromX5C(root, chain) && X509Chain_Get(chain, 0, &cert) && cert)
            CertStoreInterface_X509IsTrusted(handle, cert, &stop);
        X509Chain_Release(&chain);
    }
    CertStoreInterface_Release(&handle);
    CertStoreJWKS_Release(&store);
    return 0;
}
