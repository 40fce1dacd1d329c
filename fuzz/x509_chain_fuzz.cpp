// Reads arbitrary bytes as a bag of DER certificates and walks them as a chain against a
// thumbprint store that trusts the entries the first byte picks; the walk must end, and a yes must
// come from a certificate the store trusts.
#include <cstdint>
#include <cstring>

#include "core/certs/asn1.h"
#include "core/certs/authenticate.h"
#include "core/certs/cert_store_thumbprint.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/sha256.h"
#include "core/formats/base64.h"
#include "core/runtime/dictionary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    const uint8_t picks = data[0];
    ASN1* root = nullptr;
    ASN1_Create(&root);
    X509Chain* chain = nullptr;
    X509Chain_Create(&chain);
    ASN1_Decode(root, data + 1, (uint32_t)(size - 1));
    if (X509Chain_Build(chain, root) != 1) {
        // One bad element empties a built chain: add the ones that build, one by one.
        X509* cert = nullptr;
        X509_Create(&cert);
        for (ASN1* child = root->Head; child; child = child->Next)
            if (X509_Build(cert, child) == 1) X509Chain_Add(chain, cert);
        X509_Release(&cert);
    }

    CertStoreThumbprint* store = nullptr;
    CertStoreThumbprint_Create(&store);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    const uint32_t count = X509Chain_Count(chain);
    for (uint32_t i = 0; i < count && i < 8; i++) {
        if (!(picks >> i & 1)) continue;
        X509* cert = nullptr;
        X509Chain_Get(chain, (int32_t)i, &cert);
        uint8_t digest[32];
        char text[64];
        uint32_t written = 0;
        if (X509_Thumbprint(cert, &SHA256_INTERFACE, digest, 32) &&
            Base64_Encode(digest, 32, text, (int32_t)sizeof(text), &written))
            Dictionary_SetStringByKey(dict, text, text);
    }
    CertStoreThumbprint_TrustDictionary(store, dict);
    Dictionary_Release(&dict);

    CertStoreInterface* iface = CertStoreThumbprint_GetInterfaceHandle(store);
    for (int32_t start = 0; start < 2; start++) {
        X509* cert = nullptr;
        if (!X509Chain_Get(chain, start, &cert)) break;
        X509Chain_VerifyX509(chain, cert, iface);
        CertStoreThumbprint_Trust(store, cert);
        if (CertStoreThumbprint_IsTrusted(store, cert, 1) != 1) __builtin_trap();
    }
    // With no thumbprint configured nothing can be trusted.
    if (picks == 0 && count > 0) {
        X509* cert = nullptr;
        X509Chain_Get(chain, 0, &cert);
        if (Authenticate_Enabled() && X509Chain_VerifyX509(chain, cert, iface) != 0) __builtin_trap();
    }
    CertStoreInterface_Release(&iface);
    CertStoreThumbprint_Release(&store);
    X509Chain_Release(&chain);
    ASN1_Release(&root);
    return 0;
}
