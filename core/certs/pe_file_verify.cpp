// The Authenticode signature check of PE images: the signed data in the certificate table must
// vouch for this image's own digest, and its signer must be trusted by the store.
#include <cstring>

#include "core/certs/image_reader_internal.h"
#include "core/certs/pe_file.h"
#include "core/certs/pkcs7.h"
#include "core/crypto/hash.h"
#include "core/runtime/memory.h"

int64_t PEFile_VerifyData(CertStoreInterface* store, Stream* stream) {
    uint64_t start = 0;
    if (!stream || !Stream_Tell(stream, &start)) return 0;
    uint32_t length = 0;
    if (!PEFile_GetCertificate(stream, nullptr, &length)) return 0;
    uint8_t* record = static_cast<uint8_t*>(Memory_Alloc(length));
    int64_t result = 0;
    PKCS7* pkcs7 = nullptr;
    PKCS7_Create(&pkcs7);
    const HashInterface* digestRecord = nullptr;
    uint8_t digest[64];
    // Revision and type of the record are not looked at: only the signed data decides.
    if (Stream_Seek(stream, (int64_t)start, SEEK_ORIGIN_BEGIN) &&
        PEFile_GetCertificate(stream, record, &length) &&
        PKCS7_BuildFromBuffer(pkcs7, record + 8, length - 8) &&
        PKCS7_GetSignerInfoHashInterface(pkcs7, &digestRecord) && digestRecord &&
        digestRecord->DigestSize <= sizeof(digest) &&
        Stream_Seek(stream, (int64_t)start, SEEK_ORIGIN_BEGIN) &&
        PEFile_GetImageDigest(stream, digestRecord, digest, sizeof(digest)))
        result = PKCS7_VerifyDigest(pkcs7, store, digest, digestRecord->DigestSize) ? 1 : 0;
    PKCS7_Release(&pkcs7);
    Memory_Free(record, length);
    return result;
}

int64_t PEFile_Verify(CertStoreInterface* store, const char* path) {
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(path, &file, &stream)) return 0;
    const int64_t result = PEFile_VerifyData(store, stream);
    ImageCloseFile(&file);
    return result;
}
