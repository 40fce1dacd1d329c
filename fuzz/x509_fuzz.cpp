// Builds a certificate from arbitrary bytes, as DER or (first byte odd) as Base64 text, and runs
// every reader, the dump, the host match and a self-signature check on whatever was built.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/certs/x509.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const bool text = data[0] & 1;
    data++;
    size--;
    // An exact-size copy, so that any read past the input is caught.
    uint8_t* buffer = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(buffer, data, size);
    X509* cert = nullptr;
    X509_Create(&cert);
    const int64_t built = text ? X509_BuildFromBase64(cert, reinterpret_cast<const char*>(buffer), (uint32_t)size)
                               : X509_BuildFromBuffer(cert, buffer, (uint32_t)size);

    const uint8_t* der = nullptr;
    uint32_t length = 0;
    if (X509_GetASN1(cert, &der, &length) != built) abort();
    if (built && !text && (length > size || memcmp(der, buffer, length) != 0)) abort();
    uint8_t digest[64];
    X509_Thumbprint(cert, &SHA1_INTERFACE, digest, (int32_t)sizeof(digest));
    X509_Thumbprint(cert, &SHA256_INTERFACE, digest, (int32_t)sizeof(digest));
    double notBefore = 0, notAfter = 0;
    X509_GetValidity(cert, &notBefore, &notAfter);
    uint32_t isCA = 0, usage = 0;
    int32_t pathLength = 0, version = 0;
    X509_GetBasicConstraints(cert, &isCA, &pathLength);
    if (!isCA && pathLength != -1) abort();
    X509_GetKeyUsage(cert, &usage);
    X509_GetVersion(cert, &version);
    const uint8_t* alt = nullptr;
    X509_GetSubjectAltName(cert, &alt, &length);
    X509_Dump(cert);

    X500* subject = nullptr;
    X509_GetSubjectHandle(cert, &subject);
    char cn[X500_TEXT_SIZE];
    X500_GetCN(subject, cn, (int32_t)sizeof(cn));
    if (strlen(cn) >= sizeof(cn)) abort();
    const char* hosts[] = {cn, "www.example.com", "a.b.example.org", "10.0.0.1", ""};
    for (const char* host : hosts) X509_CompareSubjectName(cert, host);

    X509* copy = nullptr;
    X509_Create(&copy);
    if (X509_Copy(copy, cert) != built) abort();
    if (built && X509_Compare(copy, cert) != 1) abort();
    X509_VerifyIssued(copy, cert);
    X509_Release(&copy);
    X509_Release(&cert);

    // The same bytes as key=value text.
    char* asText = static_cast<char*>(malloc(size + 1));
    memcpy(asText, buffer, size);
    asText[size] = 0;
    char value[64];
    X500_StringGet(asText, "CN", value, (int32_t)sizeof(value));
    free(asText);
    free(buffer);
    return 0;
}
