// Whether a certificate names a host. With a subjectAltName extension only its entries count: a
// host name against the dNSNames (at most one left-most wildcard label), an address against the
// iPAddress entries. Without the extension a host name is compared with the subject common name;
// an address never is.
#include <cstring>

#include "core/certs/x509_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"

namespace {

// Names longer than a name text holds are never matched (a cut name could match a host it does
// not name).
constexpr uint32_t kNameSize = X500_TEXT_SIZE;
constexpr uint32_t kTagSequence = 0x30;
constexpr uint32_t kTagDnsName = 0x82;
constexpr uint32_t kTagIpAddress = 0x87;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool EqualWithoutCase(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; i++)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// Dotted decimal only: a wildcard never stands for part of an address.
bool IsIPv4(const char* host) {
    for (const char* p = host; *p; p++)
        if (!(*p >= '0' && *p <= '9') && *p != '.') return false;
    return true;
}

// Second-level labels that registries under a two-letter country code hand out to the public
// ("co.uk", "com.au" ...): a wildcard right above them would cover unrelated owners. Without a
// full public-suffix list this catches the common registry layouts.
bool IsRegistrySuffix(const char* suffix, size_t length) {
    const char* dot = static_cast<const char*>(memchr(suffix, '.', length));
    if (!dot) return true;
    const size_t first = (size_t)(dot - suffix);
    const size_t last = length - first - 1;
    if (memchr(dot + 1, '.', last)) return false;
    if (last != 2) return false;
    static const char* const kSecondLevel[] = {"ac", "co", "com", "edu", "go", "gob", "gov", "gv", "ltd", "me",
                                                "mil", "ne", "net", "nic", "or", "org", "plc", "sch"};
    for (const char* label : kSecondLevel)
        if (EqualWithoutCase(suffix, first, label, strlen(label))) return true;
    return false;
}

bool EveryLabelFilled(const char* name, size_t length) {
    if (length == 0 || name[0] == '.' || name[length - 1] == '.') return false;
    for (size_t i = 1; i < length; i++)
        if (name[i] == '.' && name[i - 1] == '.') return false;
    return true;
}

// The host against one presented name. "*" is only ever the whole left-most label and stands
// for exactly one non-empty host label; the rest must hold at least two labels and not be a
// registry suffix. Every other character compares by itself, ASCII case ignored.
bool MatchName(const char* host, const char* name, size_t nameLength) {
    const size_t hostLength = strlen(host);
    if (hostLength == 0 || nameLength == 0) return false;
    if (!memchr(name, '*', nameLength)) return EqualWithoutCase(host, hostLength, name, nameLength);
    if (nameLength < 2 || name[0] != '*' || name[1] != '.') return false;
    const char* suffix = name + 2;
    const size_t suffixLength = nameLength - 2;
    if (memchr(suffix, '*', suffixLength) || !EveryLabelFilled(suffix, suffixLength) ||
        IsRegistrySuffix(suffix, suffixLength) || IsIPv4(host))
        return false;
    const char* dot = strchr(host, '.');
    if (!dot || dot == host) return false;
    return EqualWithoutCase(dot + 1, hostLength - (size_t)(dot + 1 - host), suffix, suffixLength);
}

// A dotted-quad IPv4 address: four decimal parts of 0 to 255 without leading zeros.
bool ParseIPv4(const char* host, uint8_t out[4]) {
    const char* p = host;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;
        uint32_t value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9' && digits < 4; p++, digits++) value = value * 10 + (uint32_t)(*p - '0');
        if (value > 255) return false;
        out[part] = (uint8_t)value;
    }
    return *p == 0;
}

// A host given as an address (or something only an address could look like: digits and dots, or
// an IPv6 literal) is never matched against a name, whatever the name holds.
bool LooksLikeAddress(const char* host) {
    return IsIPv4(host) || strchr(host, ':') != nullptr;
}

// The subjectAltName's entries in order: -1 without the extension, else 1 when an entry of the
// host's kind matches and 0 when none does (also when the extension cannot be read).
int32_t MatchAltNames(X509* cert, const char* host) {
    if (!cert->SubjectAltName) return -1;
    const bool address = LooksLikeAddress(host);
    uint8_t ip[4] = {};
    const bool ipv4 = address && ParseIPv4(host, ip);
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    int32_t result = 0;
    if (ASN1_Decode(tree, cert->SubjectAltName, cert->SubjectAltNameLength) == 1 && tree->Head &&
        tree->Head->Tag == kTagSequence) {
        for (ASN1* name = tree->Head->Head; name && result != 1; name = name->Next) {
            const size_t length = (size_t)name->ValueSize;
            if (address) {
                // IPv6 hosts are not reached by this client; their entries are never compared.
                if (ipv4 && name->Tag == kTagIpAddress && length == sizeof(ip) && name->ValuePtr &&
                    memcmp(name->ValuePtr, ip, sizeof(ip)) == 0)
                    result = 1;
                continue;
            }
            if (name->Tag != kTagDnsName) continue;
            const char* text = reinterpret_cast<const char*>(name->ValuePtr);
            // An embedded NUL would let "good.example\0.evil" pass as its prefix elsewhere.
            if (length >= kNameSize || memchr(text, 0, length)) continue;
            if (MatchName(host, text, length)) result = 1;
        }
    }
    ASN1_Release(&tree);
    return result;
}

} // namespace

int64_t X509_CompareSubjectName(X509* cert, const char* host) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(host);
    if (!cert->Built || strlen(host) >= kNameSize) return 0;
    const int32_t alt = MatchAltNames(cert, host);
    if (alt >= 0) return alt;
    if (LooksLikeAddress(host)) return 0;
    char cn[kNameSize];
    X500_GetCN(cert->Subject, cn, (int32_t)sizeof(cn));
    return MatchName(host, cn, strlen(cn));
}
