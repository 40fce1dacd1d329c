// The X509 object's layout, shared by the files of the certificate module only.
#pragma once

#include "core/certs/x509.h"

struct X509 {
    Class Header;
    ClassPrint Print;
    // The certificate's own encoding; Tbs points into it.
    uint8_t* Der;
    uint32_t DerLength;
    uint32_t DerCapacity;
    const uint8_t* Tbs;
    uint32_t TbsLength;
    int32_t Version;
    uint8_t* SubjectAltName;
    uint32_t SubjectAltNameLength;
    BigInt* Serial;
    X500* Issuer;
    X500* Subject;
    double NotBefore;
    double NotAfter;
    uint32_t ValidityRead;
    const HashInterface* SignatureHash;
    uint8_t* Signature;
    uint32_t SignatureLength;
    ASN1* Tree;
    CryptAsymmetric* PublicKey;
    // 1 only after a build that succeeded: nothing verifies with a certificate half built.
    uint32_t Built;
    uint32_t HasBasicConstraints;
    uint32_t IsCA;
    int32_t PathLength;
    uint32_t HasKeyUsage;
    uint32_t KeyUsage;
};

// Releases every buffer a build made and empties the values.
void X509_ClearBuilt(X509* cert);
