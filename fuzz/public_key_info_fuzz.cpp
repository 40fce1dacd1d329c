// Reads arbitrary bytes as a SubjectPublicKeyInfo through the public-key front object and, when a
// key loads, verifies a fixed digest against a signature taken from the tail of the input.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "core/certs/asn1.h"
#include "core/crypto/crypt_asymmetric.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    ASN1* root = nullptr;
    ASN1_Create(&root);
    CryptAsymmetric* crypt = nullptr;
    CryptAsymmetric_Create(&crypt);
    // The last 80 bytes double as a signature, so that verification meets the key it loaded.
    const size_t split = size > 80 ? size - 80 : size;
    if (ASN1_Decode(root, data, (uint32_t)split) && ASN1_GetElement(root, 0) &&
        CryptAsymmetric_SetPublicKeyFromASN1(crypt, ASN1_GetElement(root, 0))) {
        uint8_t digest[32];
        memset(digest, 0x5A, sizeof digest);
        for (uint32_t version : {RSA_SIGNATURE_VERSION_PCS15, RSA_SIGNATURE_VERSION_PCS21})
            CryptAsymmetric_Verify(crypt, digest, sizeof digest, data + split, (uint32_t)(size - split), version);
    }
    CryptAsymmetric_Release(&crypt);
    ASN1_Release(&root);
    return 0;
}
