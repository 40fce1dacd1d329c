// PKGFile: checks an installer package (xar archive): header, compressed table of contents and its
// checksum, the signature over that checksum, and the archived files' checksums. Offsets and sizes
// from the file are checked against the file's length before anything is read or allocated.
#include "core/certs/pkg_file.h"

#include <zlib.h>

#include <cstring>

#include "core/certs/image_reader_internal.h"
#include "core/certs/pkcs7.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric_interface.h"
#include "core/crypto/hash.h"
#include "core/formats/xml.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

enum : uint64_t {
    kMaxTocSize = 0x80000000u,
    // zlib never expands by more than this ratio; a larger uncompressed length is a lie.
    kMaxInflateRatio = 1032,
    kChunk = 65536,
};

uint64_t Be(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v = (v << 8) | p[i];
    return v;
}

// Decimal digits only, no overflow.
bool ParseDecimal(const char* text, uint64_t* value) {
    *value = 0;
    if (!text || !*text) return false;
    uint64_t v = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        if (v > (UINT64_MAX - (uint64_t)(*p - '0')) / 10) return false;
        v = v * 10 + (uint64_t)(*p - '0');
    }
    *value = v;
    return true;
}

// The text of an element: a String item's own, or the "#text" of an element with attributes.
const char* ElementText(Dictionary* dict, DictionaryItem* item) {
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    const char* text = nullptr;
    if (type == DICTIONARY_TYPE_STRING) {
        Dictionary_ItemGetStringPtr(dict, item, &text);
    } else if (type == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* child = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(dict, item, &child)) Dictionary_GetStringPtrByKey(child, "#text", &text);
    }
    return text;
}

// A byte range of the file, checked to lie inside it.
bool InFile(uint64_t fileLength, uint64_t offset, uint64_t size) {
    return offset <= fileLength && size <= fileLength - offset;
}

// Hashes length bytes from the current position through the copy sink.
bool HashRange(Stream* stream, Hash* hash, uint64_t offset, uint64_t length) {
    if (offset > (uint64_t)INT64_MAX || !Stream_Seek(stream, (int64_t)offset, SEEK_ORIGIN_BEGIN)) return false;
    uint8_t* chunk = static_cast<uint8_t*>(Memory_Alloc(kChunk));
    bool ok = true;
    while (ok && length > 0) {
        uint32_t n = 0;
        Stream_Read(stream, chunk, (uint32_t)(length < kChunk ? length : kChunk), &n);
        uint32_t written = 0;
        ok = n > 0 && Hash_ProcessCallback(hash, chunk, n, &written);
        length -= n;
    }
    Memory_Free(chunk, kChunk);
    return ok;
}

// Inflates the compressed table of contents (zlib or gzip framing) into a buffer of the declared
// size; the actual size comes back in *produced.
bool Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t outputSize, uint32_t* produced) {
    z_stream z;
    memset(&z, 0, sizeof(z));
    if (inflateInit2(&z, 47) != Z_OK) return false;
    z.next_in = const_cast<uint8_t*>(input);
    z.avail_in = inputSize;
    z.next_out = output;
    z.avail_out = outputSize;
    const int result = inflate(&z, Z_SYNC_FLUSH);
    *produced = (uint32_t)z.total_out;
    return inflateEnd(&z) == Z_OK && result == Z_STREAM_END;
}

const char* HeaderChecksumName(uint32_t algorithm) {
    return algorithm == 1 ? "SHA1" : algorithm == 2 ? "MD5" : nullptr;
}

// Fills the chain with the Base64 certificates of the signature's KeyInfo, in order.
bool BuildChain(Dictionary* signature, X509Chain* chain) {
    Dictionary* data = nullptr;
    if (!Dictionary_GetDictionaryByPath(signature, "KeyInfo.X509Data", &data)) return false;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(data, &item); item; Dictionary_ItemGetNext(data, item, &item)) {
        const char* text = ElementText(data, item);
        X509* cert = nullptr;
        X509_Create(&cert);
        const bool ok = text && X509_BuildFromBase64(cert, text, (uint32_t)strlen(text)) && X509Chain_Add(chain, cert);
        X509_Release(&cert);
        if (!ok) return false;
    }
    return true;
}

struct Toc {
    uint8_t* Compressed = nullptr;
    uint32_t CompressedSize = 0;
    uint8_t* Text = nullptr;
    uint32_t TextSize = 0;
    ~Toc() {
        if (Compressed) Memory_Free(Compressed, CompressedSize);
        if (Text) Memory_Free(Text, TextSize);
    }
};

bool VerifyPackage(CertStoreInterface* store, Stream* stream, Dictionary* dict) {
    uint64_t fileLength = 0;
    uint8_t header[PKG_HEADER_SIZE];
    if (!Stream_Length(stream, &fileLength) || !ImageReadAt(stream, 0, header, sizeof(header))) return false;
    if (memcmp(header, "xar!", 4) != 0) return false;
    const uint64_t headerSize = Be(header + 4, 2);
    const uint64_t compressed = Be(header + 8, 8);
    const uint64_t uncompressed = Be(header + 16, 8);
    const uint32_t algorithm = (uint32_t)Be(header + 24, 4);
    if (headerSize < PKG_HEADER_SIZE || compressed == 0 || uncompressed == 0 || compressed >= kMaxTocSize ||
        uncompressed >= kMaxTocSize || uncompressed > compressed * kMaxInflateRatio ||
        !InFile(fileLength, headerSize, compressed))
        return false;
    Toc toc;
    toc.CompressedSize = (uint32_t)compressed;
    toc.Compressed = static_cast<uint8_t*>(Memory_Alloc(toc.CompressedSize));
    toc.TextSize = (uint32_t)uncompressed;
    toc.Text = static_cast<uint8_t*>(Memory_Alloc(toc.TextSize));
    uint32_t produced = 0;
    if (!ImageReadAt(stream, headerSize, toc.Compressed, toc.CompressedSize) ||
        !Inflate(toc.Compressed, toc.CompressedSize, toc.Text, toc.TextSize, &produced))
        return false;
    const uint64_t heapStart = headerSize + compressed;

    XML* xml = nullptr;
    XML_Create(&xml);
    XML_SetDictionaryHandle(xml, dict);
    const int64_t loaded = XML_LoadBuffer(xml, toc.Text, produced);
    XML_Release(&xml);
    Dictionary* root = nullptr;
    if (!loaded || !Dictionary_GetDictionaryByPath(dict, "xar.toc", &root)) return false;

    Dictionary* checksum = nullptr;
    if (!Dictionary_GetDictionaryByKey(root, "checksum", &checksum)) return false;
    const char* style = nullptr;
    const HashInterface* record = nullptr;
    const char* expected = HeaderChecksumName(algorithm);
    if (!Dictionary_GetStringPtrByKey(checksum, "-style", &style) || !Hash_InterfaceFromName(style, &record) ||
        !expected || !String_CompareWithoutCase(style, expected)) {
        Log_Error("PKG file checksum type mismatch\n");
        return false;
    }
    uint64_t checksumOffset = 0, checksumSize = 0;
    if (!PKGFile_GetTocSizeAndOffset(checksum, &checksumOffset, &checksumSize)) return false;

    Dictionary* signature = nullptr;
    const bool cms = Dictionary_GetDictionaryByKey(root, "x-signature", &signature);
    if (!cms && !Dictionary_GetDictionaryByKey(root, "signature", &signature)) return false;
    uint64_t signatureOffset = 0, signatureSize = 0;
    if (!PKGFile_GetTocSizeAndOffset(signature, &signatureOffset, &signatureSize)) return false;
    X509Chain* chain = nullptr;
    X509Chain_Create(&chain);
    bool ok = BuildChain(signature, chain);

    uint8_t stored[64] = {};
    uint8_t digest[64] = {};
    if (ok) {
        ok = checksumSize >= 1 && checksumSize <= sizeof(stored) && checksumSize <= record->DigestSize &&
             heapStart <= fileLength && InFile(fileLength, heapStart + checksumOffset, checksumSize) &&
             ImageReadAt(stream, heapStart + checksumOffset, stored, (uint32_t)checksumSize) &&
             Hash_QuickDigest(record, toc.Compressed, (int32_t)toc.CompressedSize, digest, sizeof(digest)) &&
             memcmp(stored, digest, checksumSize) == 0;
        if (!ok) Log_Error("PKG file checksum verification failed\n");
    }
    uint8_t* signatureBytes = nullptr;
    X509* signer = nullptr;
    if (ok) {
        ok = signatureSize >= 1 && signatureSize < kMaxTocSize &&
             InFile(fileLength, heapStart + signatureOffset, signatureSize) && X509Chain_Get(chain, 0, &signer);
        if (ok) {
            signatureBytes = static_cast<uint8_t*>(Memory_Alloc(signatureSize));
            ok = ImageReadAt(stream, heapStart + signatureOffset, signatureBytes, (uint32_t)signatureSize);
        }
    }
    if (ok && cms) {
        PKCS7* pkcs7 = nullptr;
        PKCS7_Create(&pkcs7);
        ok = PKCS7_BuildFromBuffer(pkcs7, signatureBytes, (uint32_t)signatureSize) &&
             PKCS7_Verify(pkcs7, store, stored, (uint32_t)checksumSize);
        PKCS7_Release(&pkcs7);
    } else if (ok) {
        // A raw signature names no signer of its own: the certificate that made it must lead to
        // the store like any other signer, or anyone could sign with a key of their own.
        ok = X509_VerifyDigest(signer, stored, (uint32_t)checksumSize, signatureBytes, (uint32_t)signatureSize,
                               RSA_SIGNATURE_VERSION_PCS21) &&
             X509Chain_VerifyX509(chain, signer, store);
    }
    if (signatureBytes) Memory_Free(signatureBytes, signatureSize);
    X509Chain_Release(&chain);
    return ok && PKGFile_VerifyFileData(stream, root, heapStart, ".");
}

} // namespace

int64_t Hash_ProcessCallback(void* hash, const void* bytes, uint32_t length, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    uint32_t processed = 0;
    if (!Hash_Process(static_cast<Hash*>(hash), bytes, length, &processed)) return 0;
    *written = processed;
    return processed == length;
}

int64_t PKGFile_IsValid(const char* path) {
    ASSERT_POINTER(path);
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(path, &file, &stream)) return 0;
    const int64_t result = PKGFile_IsValidStream(stream);
    ImageCloseFile(&file);
    return result;
}

int64_t PKGFile_IsValidStream(Stream* stream) {
    ASSERT_POINTER(stream);
    uint8_t header[PKG_HEADER_SIZE];
    return ImageReadAt(stream, 0, header, sizeof(header)) && memcmp(header, "xar!", 4) == 0;
}

int64_t PKGFile_Verify(CertStoreInterface* store, const char* path) {
    ASSERT_POINTER(path);
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(path, &file, &stream)) return 0;
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    const int64_t result = VerifyPackage(store, stream, dict);
    Dictionary_Release(&dict);
    ImageCloseFile(&file);
    return result;
}

int64_t PKGFile_GetTocSizeAndOffset(Dictionary* element, uint64_t* offset, uint64_t* size) {
    ASSERT_POINTER(element);
    ASSERT_POINTER(offset);
    ASSERT_POINTER(size);
    *offset = 0;
    *size = 0;
    const char* offsetText = nullptr;
    const char* sizeText = nullptr;
    Dictionary_GetStringPtrByKey(element, "offset", &offsetText);
    Dictionary_GetStringPtrByKey(element, "size", &sizeText);
    uint64_t o = 0, s = 0;
    if (!ParseDecimal(offsetText, &o) || !ParseDecimal(sizeText, &s)) return 0;
    *offset = o;
    *size = s;
    return 1;
}

int64_t PKGFile_VerifyFileData(Stream* stream, Dictionary* element, uint64_t heapStart, const char* parentPath) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(element);
    ASSERT_POINTER(parentPath);
    uint64_t fileLength = 0;
    if (!Stream_Length(stream, &fileLength)) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(element, &item); item; Dictionary_ItemGetNext(element, item, &item)) {
        const char* key = nullptr;
        Dictionary* file = nullptr;
        Dictionary_ItemGetKeyPtr(element, item, &key);
        if (!key || !String_CompareWithoutCase(key, "file") ||
            !Dictionary_ItemCompareType(element, item, DICTIONARY_TYPE_DICTIONARY) ||
            !Dictionary_ItemGetDictionaryHandle(element, item, &file))
            continue;
        char path[PKG_PATH_SIZE + 1];
        const char* name = nullptr;
        if (Dictionary_GetStringPtrByKey(file, "name", &name)) String_Print(path, sizeof(path), "%s/%s", parentPath, name);
        else String_Print(path, sizeof(path), "%s", parentPath);
        Dictionary* data = nullptr;
        if (Dictionary_GetDictionaryByKey(file, "data", &data)) {
            uint64_t offset = 0, size = 0, length = 0;
            const char* lengthText = nullptr;
            const char* text = nullptr;
            const char* style = nullptr;
            DictionaryItem* checksum = nullptr;
            Dictionary* checksumElement = nullptr;
            Dictionary_GetStringPtrByKey(data, "length", &lengthText);
            if (Dictionary_ItemFindByKey(data, "archived-checksum", nullptr, &checksum)) {
                text = ElementText(data, checksum);
                if (Dictionary_ItemGetDictionaryHandle(data, checksum, &checksumElement))
                    Dictionary_GetStringPtrByKey(checksumElement, "-style", &style);
            }
            // Data that carries no checksum could be anything: it is refused, not waved through.
            if (!PKGFile_GetTocSizeAndOffset(data, &offset, &size) || !ParseDecimal(lengthText, &length) || !text ||
                !*text) {
                Log_Error("PKG file has no checksum for [%s]\n", path);
                return 0;
            }
            const HashInterface* record = nullptr;
            if (!style || !Hash_InterfaceFromName(style, &record)) return 0;
            Hash* hash = nullptr;
            Hash_Create(&hash);
            Hash_SetInterface(hash, record);
            char computed[129] = {};
            const bool hashed = heapStart <= fileLength && offset <= fileLength - heapStart &&
                                InFile(fileLength, heapStart + offset, length) &&
                                HashRange(stream, hash, heapStart + offset, length) && Hash_Generate(hash) &&
                                Hash_GetString(hash, 0, computed, sizeof(computed));
            Hash_Release(&hash);
            if (!hashed) return 0;
            if (!String_CompareWithoutCase(text, computed)) {
                Log_Error("PKG file does not match expected hash [%s] (%s != %s)\n", path, text, computed);
                return 0;
            }
        }
        if (!PKGFile_VerifyFileData(stream, file, heapStart, path)) return 0;
    }
    return 1;
}
