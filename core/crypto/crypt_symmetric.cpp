// CryptSymmetric: the front object over one cipher record at a time; every call is forwarded to
// the instance the record created, after checking that the record offers the operation.
#include "core/crypto/crypt_symmetric.h"

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return CryptSymmetric_Delete(reinterpret_cast<CryptSymmetric**>(handle));
}

void DropInstance(CryptSymmetric* crypt) {
    if (crypt->Interface && crypt->Instance) crypt->Interface->Delete(&crypt->Instance);
    crypt->Instance = nullptr;
}

// The slot the caller is about to use; an unbound object or an empty slot is a programming error.
template <typename Slot> Slot Require(CryptSymmetric* crypt, Slot CryptSymmetricInterface::*slot, const char* what) {
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    if (!crypt->Interface) Debug_Abort("%s: no cipher bound\n", what);
    Slot fn = crypt->Interface->*slot;
    if (!fn) Debug_Abort("Not Supported - %s", what);
    return fn;
}

} // namespace

int64_t CryptSymmetric_Create(CryptSymmetric** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CryptSymmetric* crypt = static_cast<CryptSymmetric*>(Memory_AllocZero(sizeof(CryptSymmetric)));
    crypt->Header.ClassId = CRYPT_SYMMETRIC_CLASS_ID;
    crypt->Header.RefCount = 1;
    crypt->Header.Delete = DeleteHandle;
    *handle = crypt;
    return 1;
}

int64_t CryptSymmetric_Delete(CryptSymmetric** handle) {
    ASSERT_POINTER(handle);
    CryptSymmetric* crypt = *handle;
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    DropInstance(crypt);
    crypt->Header.ClassId = 0;
    Memory_Free(crypt, sizeof(CryptSymmetric));
    *handle = nullptr;
    return 1;
}

int64_t CryptSymmetric_AddRef(CryptSymmetric* crypt) {
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    Class_AddRef(crypt);
    return 1;
}

int64_t CryptSymmetric_Release(CryptSymmetric** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, CRYPT_SYMMETRIC_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t CryptSymmetric_GetInstanceId(CryptSymmetric* crypt, char* buffer, int32_t size) {
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, crypt->Header.InstanceId, (int32_t)sizeof(crypt->Header.InstanceId));
    return 1;
}

int64_t CryptSymmetric_Reset(CryptSymmetric* crypt, const CryptSymmetricInterface* record) {
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    ASSERT_POINTER(record);
    ASSERT_MSG(record->Name && record->Create && record->Delete && record->SetDecryptKey &&
                   record->SetEncryptKey && record->Encrypt && record->Decrypt,
               "%s: incomplete cipher record\n", "CryptSymmetric_Reset");
    DropInstance(crypt);
    crypt->Interface = record;
    if (!record->Create(&crypt->Instance)) crypt->Instance = nullptr;
    return 1;
}

int64_t CryptSymmetric_SupportsCBC(CryptSymmetric* crypt) {
    CLASS_CHECK(crypt, CRYPT_SYMMETRIC_CLASS_ID);
    return crypt->Interface && crypt->Interface->EncryptCBC && crypt->Interface->DecryptCBC ? 1 : 0;
}

int64_t CryptSymmetric_SetDecryptKey(CryptSymmetric* crypt, const void* key, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::SetDecryptKey, "CryptSymmetric_SetDecryptKey");
    return fn(crypt->Instance, key, length);
}

int64_t CryptSymmetric_SetEncryptKey(CryptSymmetric* crypt, const void* key, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::SetEncryptKey, "CryptSymmetric_SetEncryptKey");
    return fn(crypt->Instance, key, length);
}

int64_t CryptSymmetric_SetAAD(CryptSymmetric* crypt, const void* data, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::SetAAD, "CryptSymmetric_SetAAD");
    return fn(crypt->Instance, data, length);
}

int64_t CryptSymmetric_Encrypt(CryptSymmetric* crypt, const void* in, void* out, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::Encrypt, "CryptSymmetric_Encrypt");
    return fn(crypt->Instance, in, out, length);
}

int64_t CryptSymmetric_Decrypt(CryptSymmetric* crypt, const void* in, void* out, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::Decrypt, "CryptSymmetric_Decrypt");
    return fn(crypt->Instance, in, out, length);
}

int64_t CryptSymmetric_EncryptCBC(CryptSymmetric* crypt, void* iv, uint32_t ivLength, const void* in, void* out,
                                  uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::EncryptCBC, "CryptSymmetric_EncryptCBC");
    return fn(crypt->Instance, iv, ivLength, in, out, length);
}

int64_t CryptSymmetric_DecryptCBC(CryptSymmetric* crypt, void* iv, uint32_t ivLength, const void* in, void* out,
                                  uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::DecryptCBC, "CryptSymmetric_DecryptCBC");
    return fn(crypt->Instance, iv, ivLength, in, out, length);
}

int64_t CryptSymmetric_GetAuthTag(CryptSymmetric* crypt, void* tag, uint32_t length) {
    auto fn = Require(crypt, &CryptSymmetricInterface::GetAuthTag, "CryptSymmetric_GetAuthTag");
    return fn(crypt->Instance, tag, length);
}
