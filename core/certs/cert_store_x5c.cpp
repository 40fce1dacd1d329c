// The "x5c" header check shared by the stores that judge a document's chain with their own answers.
#include "core/certs/cert_store_x5c.h"

#include "core/certs/jws.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/runtime/debug.h"

int64_t CertStore_X509IsTrustedX5C(CertStoreInterface* store, Dictionary* header, CryptAsymmetric** key) {
    ASSERT_POINTER(key);
    *key = nullptr;
    if (!header) return 0;
    X509Chain* chain = nullptr;
    X509Chain_Create(&chain);
    int64_t result = 0;
    X509* first = nullptr;
    if (JWS_HeaderX509ChainHandleFromX5C(header, chain) == 1 && X509Chain_Get(chain, 0, &first) == 1 &&
        X509Chain_VerifyX509(chain, first, store) == 1) {
        CryptAsymmetric* publicKey = nullptr;
        if (X509_GetCryptAsymmetricHandle(first, &publicKey) == 1) {
            CryptAsymmetric_AddRef(publicKey);
            *key = publicKey;
            result = 1;
        }
    }
    X509Chain_Release(&chain);
    return result;
}
