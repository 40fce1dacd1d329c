// Decodes arbitrary bytes as a JWS compact token against a secret, a public key and a key set,
// checked and unchecked, with the time claims; and reads them as a header for its "x5c" list.
#include <cstdint>
#include <cstring>

#include "core/certs/cert_store.h"
#include "core/certs/cert_store_jwks.h"
#include "core/certs/jws.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/sha1.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

namespace {

// The RFC 7515 A.3 public key and its coordinates.
const char kEcKey[] = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEf83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEXH8UTNG72bfocs3+"
                      "257rn0s2ldbqkLJK2KRiMohYjlrQ==";
const char kKeySet[] = R"({"keys":[{"use":"sig","alg":"ES256","kid":"k","x5t":"t","x5t#S256":"s",)"
                       R"("x":"f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU","y":"x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0"}]})";

struct Stores {
    CertStoreInterface* Handles[3] = {};
    JWSClaims* Claims = nullptr;
    Stores() {
        CertStoreKey* secret = nullptr;
        CertStoreKey_Create(&secret);
        CertStoreKey_Decode(secret, "c2VjcmV0IGtleSBmb3IgZnV6emluZw==");
        Handles[0] = CertStoreKey_GetInterfaceHandle(secret);
        CertStoreKey* ec = nullptr;
        CertStoreKey_Create(&ec);
        CertStoreKey_Decode(ec, kEcKey);
        Handles[1] = CertStoreKey_GetInterfaceHandle(ec);
        CertStoreJWKS* jwks = nullptr;
        CertStoreJWKS_Create(&jwks);
        JSON* json = nullptr;
        Dictionary* dict = nullptr;
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
        JSON_LoadBuffer(json, kKeySet, sizeof kKeySet - 1);
        CertStoreJWKS_SetJWKSHandle(jwks, dict);
        Handles[2] = CertStoreJWKS_GetInterfaceHandle(jwks);
        JSON_Release(&json);
        Dictionary_Release(&dict);
        JWSClaims_Create(&Claims);
        JWSClaims_Add(Claims, 1, JWSClaim_Exp);
        JWSClaims_Add(Claims, 1, JWSClaim_Nbf);
        // The stores live on through their handles.
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Stores stores;
    if (size > (1u << 16)) return 0;
    const char* token = reinterpret_cast<const char*>(data);
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    JSON_SetDictionaryHandle(json, dict);
    for (CertStoreInterface* store : stores.Handles) {
        JWS_Decode(json, stores.Claims, store, token, (uint32_t)size, 1);
        JWS_Decode(json, nullptr, store, token, (uint32_t)size, 1);
    }
    JWS_Decode(json, nullptr, stores.Handles[0], token, (uint32_t)size, 0);
    // The same bytes as a header: its certificates and their thumbprint.
    if (JSON_LoadBuffer(json, data, (uint32_t)size) == 1) {
        Dictionary* header = nullptr;
        Dictionary_SkipRoot(dict, &header);
        char text[CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE];
        JWS_HeaderBase64ThumbprintFromX5C(header, &SHA1_INTERFACE, text, (int32_t)sizeof text);
        X509Chain* chain = nullptr;
        X509Chain_Create(&chain);
        JWS_HeaderX509ChainHandleFromX5C(header, chain);
        X509Chain_Release(&chain);
        uint32_t code = 0;
        JWS_HeaderGetAlgorithm(header, &code);
    }
    JSON_Release(&json);
    Dictionary_Release(&dict);
    return 0;
}
