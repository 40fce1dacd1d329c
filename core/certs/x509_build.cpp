// Building an X509 from DER: the fields of the tbsCertificate, the validity times, and the
// extensions the system acts on (subjectAltName, basicConstraints, keyUsage).
#include <cstring>

#include "core/certs/x509_internal.h"
#include "core/formats/base64.h"
#include "core/platform/file.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr int32_t kOidTextSize = 128;
constexpr uint32_t kTagInteger = 0x02;
constexpr uint32_t kTagBitString = 0x03;
constexpr uint32_t kTagOctetString = 0x04;
constexpr uint32_t kTagOid = 0x06;
constexpr uint32_t kTagBoolean = 0x01;
constexpr uint32_t kTagSequence = 0x30;
constexpr uint32_t kTagUtcTime = 0x17;
constexpr uint32_t kTagGeneralizedTime = 0x18;
constexpr uint32_t kTagVersion = 0xA0;
constexpr uint32_t kTagExtensions = 0xA3;

ASN1* Next(ASN1* node) {
    return node ? node->Next : nullptr;
}

bool ReadOid(ASN1* node, char* text) {
    text[0] = 0;
    if (!node || node->Tag != kTagOid) return false;
    return ASN1_ParseOid(node, text, kOidTextSize) == 1 && text[0];
}

// ---- Times -----------------------------------------------------------------------------------

bool Digits(const uint8_t* p, int32_t count, int32_t* value) {
    int32_t v = 0;
    for (int32_t i = 0; i < count; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
    static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// UTCTime YYMMDDHHMM[SS]Z, years 50-99 in the 1900s and 00-49 in the 2000s; GeneralizedTime
// YYYYMMDDHHMMSS[.fff]Z. Only UTC ("Z") is accepted: DER allows nothing else.
bool ReadTime(ASN1* node, double* time) {
    *time = 0;
    if (!node) return false;
    const uint8_t* v = node->ValuePtr;
    const int32_t n = node->ValueSize;
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int32_t pos = 0;
    if (node->Tag == kTagUtcTime) {
        if (n != 11 && n != 13) return false;
        if (!Digits(v, 2, &year)) return false;
        year += year < 50 ? 2000 : 1900;
        pos = 2;
    } else if (node->Tag == kTagGeneralizedTime) {
        if (n < 15) return false;
        if (!Digits(v, 4, &year)) return false;
        pos = 4;
    } else {
        return false;
    }
    if (!Digits(v + pos, 2, &month) || !Digits(v + pos + 2, 2, &day) || !Digits(v + pos + 4, 2, &hour) ||
        !Digits(v + pos + 6, 2, &minute))
        return false;
    pos += 8;
    if (node->Tag == kTagGeneralizedTime || n == 13) {
        if (!Digits(v + pos, 2, &second)) return false;
        pos += 2;
    }
    if (node->Tag == kTagGeneralizedTime && pos < n && v[pos] == '.') {
        int32_t digits = 0;
        for (pos++; pos < n && v[pos] >= '0' && v[pos] <= '9'; pos++) digits++;
        if (digits == 0) return false;
    }
    if (pos != n - 1 || v[pos] != 'Z') return false;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    *time = (double)(DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
    return true;
}

// ---- Extension values read by hand: small, and their decoding must not depend on whether the
// tree decoder chose to look inside an OCTET STRING.

struct Reader {
    const uint8_t* Pos;
    const uint8_t* End;
};

// One definite-length element: tag and contents. False when malformed or cut short.
bool ReadElement(Reader* r, uint8_t* tag, const uint8_t** value, uint32_t* length) {
    if (r->End - r->Pos < 2) return false;
    *tag = r->Pos[0];
    if ((*tag & 31) == 31) return false;
    uint32_t len = r->Pos[1];
    const uint8_t* p = r->Pos + 2;
    if (len & 0x80) {
        const uint32_t count = len & 0x7F;
        if (count == 0 || count > 4 || (uint32_t)(r->End - p) < count) return false;
        len = 0;
        for (uint32_t i = 0; i < count; i++) len = len << 8 | *p++;
    }
    if ((uint64_t)len > (uint64_t)(r->End - p)) return false;
    *value = p;
    *length = len;
    r->Pos = p + len;
    return true;
}

void ReadBasicConstraints(X509* cert, const uint8_t* value, uint32_t length) {
    cert->IsCA = 0;
    cert->PathLength = -1;
    Reader outer{value, value + length};
    uint8_t tag = 0;
    const uint8_t* body = nullptr;
    uint32_t size = 0;
    if (!ReadElement(&outer, &tag, &body, &size) || tag != kTagSequence || outer.Pos != outer.End) return;
    Reader inner{body, body + size};
    uint32_t isCA = 0;
    int32_t pathLength = -1;
    if (inner.Pos < inner.End && inner.Pos[0] == kTagBoolean) {
        const uint8_t* b = nullptr;
        uint32_t n = 0;
        if (!ReadElement(&inner, &tag, &b, &n) || n != 1) return;
        isCA = b[0] != 0;
    }
    if (inner.Pos < inner.End) {
        const uint8_t* b = nullptr;
        uint32_t n = 0;
        if (!ReadElement(&inner, &tag, &b, &n) || tag != kTagInteger || n < 1 || n > 4 || (b[0] & 0x80)) return;
        uint32_t v = 0;
        for (uint32_t i = 0; i < n; i++) v = v << 8 | b[i];
        if (v > 0x7FFFFFFF) return;
        pathLength = (int32_t)v;
    }
    if (inner.Pos != inner.End) return;
    cert->IsCA = isCA;
    cert->PathLength = isCA ? pathLength : -1;
}

void ReadKeyUsage(X509* cert, const uint8_t* value, uint32_t length) {
    cert->KeyUsage = 0;
    Reader r{value, value + length};
    uint8_t tag = 0;
    const uint8_t* bits = nullptr;
    uint32_t size = 0;
    if (!ReadElement(&r, &tag, &bits, &size) || tag != kTagBitString || r.Pos != r.End || size < 1 ||
        bits[0] > 7)
        return;
    uint32_t usage = 0;
    for (uint32_t bit = 0; bit < 9 && 1 + bit / 8 < size; bit++)
        if (bits[1 + bit / 8] & (0x80 >> (bit % 8))) usage |= 1u << bit;
    cert->KeyUsage = usage;
}

// Walks the Extensions SEQUENCE for basicConstraints and keyUsage. A repeated extension reads as
// malformed: a certificate saying two things about its own powers gets none.
void ReadConstraints(X509* cert, ASN1* extensions) {
    for (ASN1* ext = extensions ? extensions->Head : nullptr; ext; ext = ext->Next) {
        char oid[kOidTextSize];
        if (!ReadOid(ext->Head, oid)) continue;
        ASN1* value = Next(ext->Head);
        if (value && value->Tag == kTagBoolean) value = Next(value);
        const bool ok = value && value->Tag == kTagOctetString;
        if (strcmp(oid, "2.5.29.19") == 0) {
            const bool repeated = cert->HasBasicConstraints;
            cert->HasBasicConstraints = 1;
            if (ok && !repeated) {
                ReadBasicConstraints(cert, value->ValuePtr, (uint32_t)value->ValueSize);
            } else {
                cert->IsCA = 0;
                cert->PathLength = -1;
            }
        } else if (strcmp(oid, "2.5.29.15") == 0) {
            const bool repeated = cert->HasKeyUsage;
            cert->HasKeyUsage = 1;
            if (ok && !repeated)
                ReadKeyUsage(cert, value->ValuePtr, (uint32_t)value->ValueSize);
            else
                cert->KeyUsage = 0;
        }
    }
}

uint8_t* CopyBytes(const uint8_t* bytes, uint32_t length) {
    auto* copy = static_cast<uint8_t*>(Memory_Alloc(length ? length : 1));
    if (length) memcpy(copy, bytes, length);
    return copy;
}

int64_t PrintThroughCertificate(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = X509_VPrint(static_cast<X509*>(user), 0, format, args);
    va_end(args);
    return result;
}

// The steps after the DER copy was decoded into the tree.
int64_t BuildInt(X509* cert) {
    ASN1* certificate = cert->Tree->Head;
    ASN1* tbs = certificate ? certificate->Head : nullptr;
    if (!tbs || tbs->Tag != kTagSequence) return 0;
    // The signed bytes are the element as its header declares it: the tree may have passed over
    // a stray byte at the end of a constructed element, but the signature covers it.
    uint32_t tag = 0, header = 0;
    const int32_t contents = ASN1_DecodeTL(cert->Der, cert->DerLength, (uint32_t)(tbs->NodePtr - cert->Der), &tag, &header);
    if (header == 0 || contents <= 0 ||
        (uint64_t)(tbs->NodePtr - cert->Der) + header + (uint32_t)contents > cert->DerLength)
        return 0;
    cert->Tbs = tbs->NodePtr;
    cert->TbsLength = header + (uint32_t)contents;

    ASN1* field = tbs->Head;
    if (field && field->Tag == kTagVersion) {
        uint32_t version = 0;
        if (!field->Head || field->Head->Tag != kTagInteger || !ASN1_ParseInt32(field->Head, &version)) return 0;
        cert->Version = (int32_t)version;
        field = field->Next;
    }
    if (!field || field->Tag != kTagInteger || !ASN1_ParseBigInt(field, cert->Serial)) return 0;

    ASN1* algorithm = field->Next;
    ASN1* outerAlgorithm = Next(certificate->Head);
    char inner[kOidTextSize];
    char outer[kOidTextSize];
    if (!algorithm || !outerAlgorithm || !ReadOid(algorithm->Head, inner) || !ReadOid(outerAlgorithm->Head, outer))
        return 0;
    if (!String_CompareWithoutCase(inner, outer)) return 0;
    const HashInterface* hash = nullptr;
    if (!Hash_InterfaceFromOid(inner, &hash) || !hash) return 0;
    if (!String_CompareBeginning(inner, "1.2.840.10045.4.3.") && !String_CompareBeginning(inner, "1.2.840.113549.1.1.") &&
        strcmp(inner, "1.2.840.10045.4.1") != 0 && strcmp(inner, "1.3.14.3.2.29") != 0) {
        X509_VerboseLog(cert, 0, "Unsupported crypto algorithm %s", inner);
        return 0;
    }
    cert->SignatureHash = hash;

    ASN1* signature = Next(outerAlgorithm);
    if (!signature || signature->Tag != kTagBitString || signature->ValueSize < 1) return 0;
    cert->SignatureLength = (uint32_t)signature->ValueSize - 1;
    cert->Signature = CopyBytes(signature->ValuePtr + 1, cert->SignatureLength);

    ASN1* issuer = algorithm->Next;
    if (!issuer || !X500_Build(cert->Issuer, issuer)) return 0;
    ASN1* validity = issuer->Next;
    if (!validity) return 0;
    double notBefore = 0, notAfter = 0;
    const bool before = ReadTime(validity->Head, &notBefore);
    const bool after = ReadTime(Next(validity->Head), &notAfter);
    cert->ValidityRead = before && after;
    cert->NotBefore = cert->ValidityRead ? notBefore : 0;
    cert->NotAfter = cert->ValidityRead ? notAfter : 0;

    ASN1* subject = validity->Next;
    if (!subject || !X500_Build(cert->Subject, subject)) return 0;

    if (cert->Version >= 2 && tbs->Tail && tbs->Tail->Tag == kTagExtensions) {
        ASN1* extensions = tbs->Tail->Head;
        ASN1* found = nullptr;
        if (extensions && ASN1_Find(extensions, "2.5.29.17", 2, &found) && found) {
            if (found->Tag != kTagOctetString) return 0;
            cert->SubjectAltNameLength = (uint32_t)found->ValueSize;
            cert->SubjectAltName = CopyBytes(found->ValuePtr, cert->SubjectAltNameLength);
        }
        ReadConstraints(cert, extensions);
    }

    ASN1* publicKey = subject->Next;
    if (!publicKey) return 0;
    return CryptAsymmetric_SetPublicKeyFromASN1(cert->PublicKey, publicKey) == 1 ? 1 : 0;
}

// Takes ownership of nothing: copies the bytes into the DER buffer, then decodes and builds.
int64_t BuildFromBytes(X509* cert, const uint8_t* der, uint32_t length) {
    X509_ClearBuilt(cert);
    if (!der || length == 0 || length > X509_MAX_DER_SIZE) return 0;
    // Only the first element is the certificate: whatever follows it is never decoded.
    uint32_t tag = 0, header = 0;
    const int32_t contents = ASN1_DecodeTL(der, length, 0, &tag, &header);
    if (header == 0 || contents <= 0 || (uint64_t)header + (uint64_t)contents > length) return 0;
    length = header + (uint32_t)contents;
    cert->Der = CopyBytes(der, length);
    cert->DerLength = cert->DerCapacity = length;
    int64_t result = 0;
    if (ASN1_Decode(cert->Tree, cert->Der, length) == 1) result = BuildInt(cert);
    ASN1_Reset(cert->Tree);
    if (result != 1) {
        // Nothing of a half-built certificate stays: it holds no bytes, name or key to act on.
        X509_ClearBuilt(cert);
        return 0;
    }
    cert->Built = 1;
    return 1;
}

} // namespace

void X509_ClearBuilt(X509* cert) {
    if (cert->Der) Memory_Free(cert->Der, cert->DerCapacity);
    if (cert->SubjectAltName) Memory_Free(cert->SubjectAltName, cert->SubjectAltNameLength ? cert->SubjectAltNameLength : 1);
    if (cert->Signature) Memory_Free(cert->Signature, cert->SignatureLength ? cert->SignatureLength : 1);
    cert->Der = cert->SubjectAltName = cert->Signature = nullptr;
    cert->DerLength = cert->DerCapacity = cert->SubjectAltNameLength = cert->SignatureLength = 0;
    cert->Tbs = nullptr;
    cert->TbsLength = 0;
    cert->Version = 0;
    cert->NotBefore = cert->NotAfter = 0;
    cert->ValidityRead = 0;
    cert->SignatureHash = nullptr;
    cert->Built = 0;
    cert->HasBasicConstraints = cert->IsCA = cert->HasKeyUsage = cert->KeyUsage = 0;
    cert->PathLength = -1;
    BigInt_Reset(cert->Serial);
    X500_Reset(cert->Issuer);
    X500_Reset(cert->Subject);
    CryptAsymmetric_Reset(cert->PublicKey);
    CryptAsymmetric_SetPrintCallback(cert->PublicKey, cert, PrintThroughCertificate);
    if (cert->Tree) ASN1_Reset(cert->Tree);
}

int64_t X509_Build(X509* cert, ASN1* node) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    if (!node) {
        X509_ClearBuilt(cert);
        return 0;
    }
    CLASS_CHECK(node, ASN1_CLASS_ID);
    // A decoded root has no encoding of its own: its first element is the certificate.
    if (!node->NodePtr) node = node->Head;
    if (!node || !node->NodePtr) {
        X509_ClearBuilt(cert);
        return 0;
    }
    const uint32_t size = ASN1_GetNodeSize(node);
    // The node may point into this certificate's own buffer: copy before the rebuild frees it.
    if (size == 0 || size > X509_MAX_DER_SIZE) {
        X509_ClearBuilt(cert);
        return 0;
    }
    uint8_t* copy = CopyBytes(node->NodePtr, size);
    const int64_t result = BuildFromBytes(cert, copy, size);
    Memory_Free(copy, size);
    return result;
}

int64_t X509_BuildFromBuffer(X509* cert, const uint8_t* der, uint32_t length) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    return BuildFromBytes(cert, der, length);
}

int64_t X509_BuildFromBase64(X509* cert, const char* text, uint32_t length) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    // Four characters make three bytes: anything longer cannot hold an acceptable certificate
    // even with a line break after every character.
    if (!text || length == 0 || length / 2 > X509_MAX_DER_SIZE / 3 * 4) {
        X509_ClearBuilt(cert);
        return 0;
    }
    auto* clean = static_cast<char*>(Memory_Alloc(length + 1));
    uint32_t used = 0;
    for (uint32_t i = 0; i < length && text[i]; i++)
        if (text[i] != '\r' && text[i] != '\n') clean[used++] = text[i];
    clean[used] = 0;
    uint32_t capacity = 0;
    int64_t result = 0;
    if (Base64_CalculateDecodeSize(used, &capacity) && capacity > 0) {
        auto* der = static_cast<uint8_t*>(Memory_Alloc(capacity));
        uint32_t decoded = 0;
        if (Base64_Decode(clean, (int32_t)used, der, (int32_t)capacity, &decoded) == 1)
            result = BuildFromBytes(cert, der, decoded);
        else
            X509_ClearBuilt(cert);
        Memory_Free(der, capacity);
    } else {
        X509_ClearBuilt(cert);
    }
    Memory_Free(clean, length + 1);
    return result;
}

int64_t X509_BuildFromFile(X509* cert, const char* path) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(path);
    X509_ClearBuilt(cert);
    File* file = nullptr;
    File_Create(&file);
    int64_t result = 0;
    if (File_Open(file, path, FILE_READ | FILE_QUIET) == 1) {
        uint64_t size = 0;
        File_Length(file, &size);
        if (size == 0 || size >= (1ull << 31) || size > X509_MAX_DER_SIZE) {
            Log_Print(LOG_LEVEL_DEBUG, "Invalid size for file [%s] (%I64d)\n", path, (int64_t)size);
        } else {
            auto* der = static_cast<uint8_t*>(Memory_Alloc((uint32_t)size));
            uint32_t read = 0;
            if (File_Read(file, der, (uint32_t)size, &read) == 1 && read == size)
                result = BuildFromBytes(cert, der, (uint32_t)size);
            if (result != 1) Log_Print(LOG_LEVEL_DEBUG, "Invalid certificate file [%s]\n", path);
            Memory_Free(der, (uint32_t)size);
        }
        File_Close(file);
    }
    File_Release(&file);
    return result;
}

int64_t X509_Copy(X509* destination, X509* source) {
    CLASS_CHECK(destination, X509_CLASS_ID);
    CLASS_CHECK(source, X509_CLASS_ID);
    if (destination == source) return source->Built;
    if (!source->Der) {
        X509_ClearBuilt(destination);
        return 0;
    }
    // Built from the bytes alone, so that a certificate shared between threads is only read.
    return BuildFromBytes(destination, source->Der, source->DerLength);
}

int64_t X509_Save(X509* cert, const char* path) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(path);
    // Nothing to write: never empty a file for a certificate that holds no encoding.
    if (!cert->Der || cert->DerLength == 0) return 0;
    File* file = nullptr;
    File_Create(&file);
    int64_t result = 0;
    if (File_Open(file, path, FILE_WRITE | FILE_TRUNCATE) != 1) {
        X509_Print(cert, "Unable to open file (%s)", path);
    } else {
        uint32_t written = 0;
        result = File_Write(file, cert->Der, (int32_t)cert->DerLength, &written) == 1 && written == cert->DerLength;
        if (File_Close(file) != 1) result = 0;
    }
    File_Release(&file);
    return result;
}
