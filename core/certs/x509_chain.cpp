// X509Chain: the bag of certificates that arrived together, its lookups, and the trust walk from
// a certificate up through its issuers, asking a store at every step.
#include "core/certs/x509_chain.h"

#include <ctime>

#include "core/certs/authenticate.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

namespace {

struct Entry {
    X509* Cert; // owned copy
    Entry* Next;
};

} // namespace

struct X509Chain {
    Class Header;
    Entry* Head;
    Entry* Tail;
    uint32_t Count;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return X509Chain_Delete(reinterpret_cast<X509Chain**>(handle));
}

template <typename Fits> int64_t FindFirst(X509Chain* chain, X509** out, Fits fits) {
    for (Entry* entry = chain->Head; entry; entry = entry->Next) {
        if (fits(entry->Cert)) {
            *out = entry->Cert;
            return 1;
        }
    }
    return 0;
}

bool IsSelfIssued(X509* cert) {
    return X509_CompareIssuer(cert, cert) == 1;
}

// The store's answer; a final no sets *finalNo.
bool Ask(CertStoreInterface* store, X509* cert, bool* finalNo) {
    uint32_t stop = 0;
    if (CertStoreInterface_X509IsTrusted(store, cert, &stop) == 1) return true;
    *finalNo = stop == 1;
    return false;
}

} // namespace

int64_t X509Chain_Create(X509Chain** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* chain = static_cast<X509Chain*>(Memory_AllocZero(sizeof(X509Chain)));
    chain->Header.ClassId = X509CHAIN_CLASS_ID;
    chain->Header.RefCount = 1;
    chain->Header.Delete = DeleteHandle;
    *handle = chain;
    return 1;
}

int64_t X509Chain_Delete(X509Chain** handle) {
    ASSERT_POINTER(handle);
    X509Chain* chain = *handle;
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    X509Chain_Reset(chain);
    chain->Header.ClassId = 0;
    Memory_Free(chain, sizeof(X509Chain));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(X509Chain, X509Chain, X509CHAIN_CLASS_ID)

int64_t X509Chain_Reset(X509Chain* chain) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    for (Entry* entry = chain->Head; entry;) {
        Entry* next = entry->Next;
        X509_Release(&entry->Cert);
        Memory_Free(entry, sizeof(Entry));
        entry = next;
    }
    chain->Head = chain->Tail = nullptr;
    chain->Count = 0;
    return 1;
}

int64_t X509Chain_Add(X509Chain* chain, X509* cert) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    auto* entry = static_cast<Entry*>(Memory_AllocZero(sizeof(Entry)));
    X509_Create(&entry->Cert);
    // A copy that does not build matches no lookup: its names stay empty and nothing verifies
    // with it.
    X509_Copy(entry->Cert, cert);
    if (chain->Tail)
        chain->Tail->Next = entry;
    else
        chain->Head = entry;
    chain->Tail = entry;
    chain->Count++;
    return 1;
}

int64_t X509Chain_Build(X509Chain* chain, ASN1* node) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    CLASS_CHECK(node, ASN1_CLASS_ID);
    X509Chain_Reset(chain);
    X509* cert = nullptr;
    X509_Create(&cert);
    int64_t result = 1;
    for (ASN1* child = node->Head; child; child = child->Next) {
        if (!child->Head) break;
        if (X509_Build(cert, child) != 1) {
            X509Chain_Reset(chain);
            result = 0;
            break;
        }
        X509Chain_Add(chain, cert);
    }
    X509_Release(&cert);
    return result;
}

uint32_t X509Chain_Count(X509Chain* chain) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    return chain->Count;
}

int64_t X509Chain_Get(X509Chain* chain, int32_t index, X509** cert) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    ASSERT_POINTER(cert);
    *cert = nullptr;
    if (index < 0) return 0;
    int32_t at = 0;
    return FindFirst(chain, cert, [&](X509*) { return at++ == index; });
}

int64_t X509Chain_IssuerFind(X509Chain* chain, X509* cert, X509** issuer) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(issuer);
    *issuer = nullptr;
    return FindFirst(chain, issuer, [&](X509* candidate) { return X509_CompareIssuer(cert, candidate) == 1; });
}

int64_t X509Chain_SubjectAndSerialNumberFind(X509Chain* chain, X500* subject, BigInt* serial, X509** cert) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    ASSERT_POINTER(cert);
    *cert = nullptr;
    return FindFirst(chain, cert, [&](X509* candidate) {
        return X509_CompareBySubjectAndSerialNumber(candidate, subject, serial) == 1;
    });
}

int64_t X509Chain_IssuerAndSerialNumberFind(X509Chain* chain, X500* issuer, BigInt* serial, X509** cert) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    ASSERT_POINTER(cert);
    *cert = nullptr;
    return FindFirst(chain, cert, [&](X509* candidate) {
        return X509_CompareByIssuerAndSerialNumber(candidate, issuer, serial) == 1;
    });
}

X509IssuerKind X509Chain_IssuerKind(X509* cert) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    uint32_t usage = 0;
    if (X509_GetKeyUsage(cert, &usage) && !(usage & X509_KEY_USAGE_KEY_CERT_SIGN)) return X509_ISSUER_NONE;
    uint32_t isCA = 0;
    int32_t pathLength = -1;
    if (X509_GetBasicConstraints(cert, &isCA, &pathLength)) return isCA ? X509_ISSUER_CA : X509_ISSUER_NONE;
    // Without basicConstraints a version 3 certificate is no CA; a version 1 certificate can
    // state nothing, so it is taken only where a store vouches for it as a root.
    int32_t version = 0;
    X509_GetVersion(cert, &version);
    return version < 2 ? X509_ISSUER_ANCHOR : X509_ISSUER_NONE;
}

int64_t X509Chain_IsTimeValid(X509* cert, double now) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    double notBefore = 0, notAfter = 0;
    if (!X509_GetValidity(cert, &notBefore, &notAfter)) return 0;
    return notBefore <= now && now <= notAfter;
}

double X509Chain_Now() {
    return (double)std::time(nullptr);
}

int64_t X509Chain_VerifyX509(X509Chain* chain, X509* cert, CertStoreInterface* store) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    CLASS_CHECK(store, CERTSTOREINTERFACE_CLASS_ID);
    const double now = X509Chain_Now();
    // With checking off the store answers yes at once, before any rule below could refuse.
    if (Authenticate_Enabled() && !X509Chain_IsTimeValid(cert, now)) return 0;
    bool finalNo = false;
    if (Ask(store, cert, &finalNo)) return 1;
    if (finalNo) return 0;

    // The certificates walked so far, to see a loop in the issuer relation.
    X509* path[X509CHAIN_MAX_PATH];
    uint32_t pathCount = 0;
    path[pathCount++] = cert;
    // Intermediates below the issuer being checked that are not self-issued (path length).
    int32_t below = 0;
    X509* current = cert;
    X509* issuer = nullptr;
    X509Chain_IssuerFind(chain, current, &issuer);
    while (issuer && issuer != current) {
        for (uint32_t i = 0; i < pathCount; i++)
            if (path[i] == issuer) return 0;
        if (pathCount == X509CHAIN_MAX_PATH) return 0;
        path[pathCount++] = issuer;

        const X509IssuerKind kind = X509Chain_IssuerKind(issuer);
        if (kind == X509_ISSUER_NONE || !X509Chain_IsTimeValid(issuer, now)) return 0;
        uint32_t isCA = 0;
        int32_t pathLength = -1;
        X509_GetBasicConstraints(issuer, &isCA, &pathLength);
        if (pathLength >= 0 && below > pathLength) return 0;
        if (X509_VerifyIssued(issuer, current) != 1) return 0;
        if (Ask(store, issuer, &finalNo)) return 1;
        if (finalNo) return 0;
        // A version 1 certificate can only end the path: nothing above it may rely on it.
        if (kind == X509_ISSUER_ANCHOR) break;

        if (!IsSelfIssued(issuer)) below++;
        current = issuer;
        X509Chain_IssuerFind(chain, current, &issuer);
    }
    if (issuer && issuer != current) current = issuer;
    return Ask(store, current, &finalNo) ? 1 : 0;
}

int64_t X509Chain_Dump(X509Chain* chain) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    for (Entry* entry = chain->Head; entry; entry = entry->Next) X509_Dump(entry->Cert);
    return 1;
}
