// Trust evaluation of one certificate against the system's CA bundle: the PEM file read once into
// certificates indexed by subject, and the check of a certificate against them.
#include "core/linux/platform_trust.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/runtime/debug.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/memory.h"

namespace {

// A bundle far larger than any real one is refused rather than read.
constexpr off_t kMaxBundleSize = 64 * 1024 * 1024;
constexpr uint32_t kBuckets = 256;
constexpr const char kBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr const char kEnd[] = "-----END CERTIFICATE-----";

struct Anchor {
    X509* Cert;
    // The next anchor with the same subject key.
    Anchor* SameSubject;
    Anchor* Next;
};

struct Bundle {
    bool Loaded = false;
    Anchor* All = nullptr;
    HashTable* BySubject = nullptr;
};

std::mutex g_lock;
Bundle g_bundle;
std::string g_path;

uint32_t SubjectKey(X500* name) {
    char text[X500_TEXT_SIZE];
    uint32_t hash = 2166136261u;
    for (auto get : {X500_GetCN, X500_GetO, X500_GetOU}) {
        get(name, text, (int32_t)sizeof(text));
        for (const char* p = text;; p++) {
            hash = (hash ^ (uint8_t)*p) * 16777619u;
            if (!*p) break;
        }
    }
    return hash;
}

void Drop(Bundle* bundle) {
    for (Anchor* anchor = bundle->All; anchor;) {
        Anchor* next = anchor->Next;
        X509_Release(&anchor->Cert);
        Memory_Free(anchor, sizeof(Anchor));
        anchor = next;
    }
    if (bundle->BySubject) HashTable_Delete(&bundle->BySubject);
    *bundle = Bundle();
}

Anchor* FirstWithSubject(Bundle* bundle, X500* name) {
    uint64_t value = 0;
    if (!HashTable_GetValue(bundle->BySubject, (HashTableKey)(uintptr_t)SubjectKey(name), &value)) return nullptr;
    return reinterpret_cast<Anchor*>((uintptr_t)value);
}

void Add(Bundle* bundle, X509* cert) {
    auto* anchor = static_cast<Anchor*>(Memory_AllocZero(sizeof(Anchor)));
    anchor->Cert = cert;
    anchor->Next = bundle->All;
    bundle->All = anchor;
    X500* subject = nullptr;
    X509_GetSubjectHandle(cert, &subject);
    const HashTableKey key = (HashTableKey)(uintptr_t)SubjectKey(subject);
    HashTableMember* member = nullptr;
    if (HashTable_MemberFindByKey(bundle->BySubject, key, &member) && member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(bundle->BySubject, member, &value);
        anchor->SameSubject = reinterpret_cast<Anchor*>((uintptr_t)value);
        HashTable_MemberSetValue(bundle->BySubject, member, (uint64_t)(uintptr_t)anchor);
    } else {
        HashTable_Add(bundle->BySubject, key, (uint64_t)(uintptr_t)anchor);
    }
}

// The whole file, or empty when it cannot be read.
std::string ReadBundle(const char* path) {
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 && info.st_size <= kMaxBundleSize) {
        text.resize((size_t)info.st_size);
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
        }
        text.resize(got);
    }
    close(fd);
    return text;
}

// Reads every PEM certificate of the text; those that do not build are skipped.
void LoadText(Bundle* bundle, const char* text, size_t length) {
    HashTable_Create(&bundle->BySubject, sizeof(uint32_t), kBuckets);
    HashTable_SetKeyAssignCallback(bundle->BySubject, nullptr, HashTable_Int32KeyAssign);
    HashTable_SetValueCallback(bundle->BySubject, nullptr, HashTable_Int32Value);
    HashTable_SetCompareCallback(bundle->BySubject, nullptr, HashTable_Int32Compare);
    const std::string_view all(text, length);
    size_t pos = 0;
    while ((pos = all.find(kBegin, pos)) != std::string_view::npos) {
        const size_t start = pos + sizeof(kBegin) - 1;
        const size_t end = all.find(kEnd, start);
        if (end == std::string_view::npos) break;
        pos = end + sizeof(kEnd) - 1;
        X509* cert = nullptr;
        X509_Create(&cert);
        if (end - start < X509_MAX_DER_SIZE && X509_BuildFromBase64(cert, text + start, (uint32_t)(end - start)) == 1)
            Add(bundle, cert);
        else
            X509_Release(&cert);
    }
    bundle->Loaded = true;
}

} // namespace

int64_t Platform_AuthenticateCertificate(const uint8_t* der, uint32_t length, uint32_t, uint32_t* denied) {
    ASSERT_POINTER(denied);
    *denied = 0;
    if (!der || length == 0) return 0;
    X509* cert = nullptr;
    X509_Create(&cert);
    int64_t trusted = 0;
    if (X509_BuildFromBuffer(cert, der, length) == 1) {
        const double now = X509Chain_Now();
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_bundle.Loaded) {
            const std::string text = ReadBundle(g_path.empty() ? PLATFORM_TRUST_BUNDLE_PATH : g_path.c_str());
            LoadText(&g_bundle, text.data(), text.size());
        }
        X500* subject = nullptr;
        X500* issuer = nullptr;
        X509_GetSubjectHandle(cert, &subject);
        X509_GetIssuerHandle(cert, &issuer);
        if (X509Chain_IsTimeValid(cert, now)) {
            for (Anchor* a = FirstWithSubject(&g_bundle, subject); a && !trusted; a = a->SameSubject)
                trusted = X509_Compare(a->Cert, cert);
            for (Anchor* a = FirstWithSubject(&g_bundle, issuer); a && !trusted; a = a->SameSubject) {
                trusted = X509_CompareIssuer(cert, a->Cert) && X509Chain_IssuerKind(a->Cert) != X509_ISSUER_NONE &&
                          X509Chain_IsTimeValid(a->Cert, now) && X509_VerifyIssued(a->Cert, cert) == 1;
            }
        }
    }
    X509_Release(&cert);
    return trusted;
}

int64_t Platform_CertificateIsError(uint32_t status) {
    constexpr uint32_t kTolerated[] = {0, 0x8001210A, 0x8001210B, 0x8001240D, 0x80012421, 0x80012423};
    for (uint32_t code : kTolerated)
        if (code == status) return 0;
    return 1;
}

int64_t Platform_SetTrustBundlePath(const char* path) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_path = path ? path : "";
    Drop(&g_bundle);
    return 1;
}
