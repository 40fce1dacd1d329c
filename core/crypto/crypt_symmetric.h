// The symmetric cipher interface: one constant record of operations per cipher, and the
// CryptSymmetric front object that binds to one record at a time and forwards to its instance.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { CRYPT_SYMMETRIC_CLASS_ID = 0x9AFB13CE };

// Slot types. The instance is the cipher's own object, created by Create and handed back to
// every other slot. Each returns 1 for success and 0 for failure.
typedef int64_t (*CryptSymmetricCreateFunc)(void** instance);
typedef int64_t (*CryptSymmetricDeleteFunc)(void** instance);
typedef int64_t (*CryptSymmetricSetKeyFunc)(void* instance, const void* key, uint32_t length);
typedef int64_t (*CryptSymmetricSetAADFunc)(void* instance, const void* data, uint32_t length);
typedef int64_t (*CryptSymmetricCryptFunc)(void* instance, const void* in, void* out, uint32_t length);
typedef int64_t (*CryptSymmetricCryptCBCFunc)(void* instance, void* iv, uint32_t ivLength, const void* in,
                                              void* out, uint32_t length);
typedef int64_t (*CryptSymmetricGetAuthTagFunc)(void* instance, void* tag, uint32_t length);

// Constant, one per cipher, compared by identity. An empty slot: the cipher lacks the operation.
struct CryptSymmetricInterface {
    const char* Name;
    // Bytes; 0 for a stream cipher. For AES-GCM also the length of the full tag.
    uint32_t BlockSize;
    CryptSymmetricCreateFunc Create;
    CryptSymmetricDeleteFunc Delete;
    CryptSymmetricSetKeyFunc SetDecryptKey;
    CryptSymmetricSetKeyFunc SetEncryptKey;
    CryptSymmetricSetAADFunc SetAAD;
    CryptSymmetricCryptFunc Encrypt;
    CryptSymmetricCryptFunc Decrypt;
    CryptSymmetricCryptCBCFunc EncryptCBC;
    CryptSymmetricCryptCBCFunc DecryptCBC;
    CryptSymmetricGetAuthTagFunc GetAuthTag;
};

// Makes a cipher's typed operation into a record slot taking the instance as void*:
// `CryptSlot<AES_Encrypt>::Call`.
template <auto Operation> struct CryptSlot;
template <typename T, typename R, typename... A, R (*Operation)(T*, A...)> struct CryptSlot<Operation> {
    static R Call(void* instance, A... args) { return Operation(static_cast<T*>(instance), args...); }
};
// The same for Create and Delete, which take the address of the instance handle.
template <auto Operation> struct CryptHandleSlot;
template <typename T, typename R, R (*Operation)(T**)> struct CryptHandleSlot<Operation> {
    static R Call(void** instance) { return Operation(reinterpret_cast<T**>(instance)); }
};

struct CryptSymmetric {
    Class Header;
    void* Instance;                            // null until bound
    const CryptSymmetricInterface* Interface;  // null until bound
};

int64_t CryptSymmetric_Create(CryptSymmetric** handle);
// Deletes the instance through the bound record, frees the object and nulls the handle.
int64_t CryptSymmetric_Delete(CryptSymmetric** handle);
int64_t CryptSymmetric_AddRef(CryptSymmetric* crypt);
int64_t CryptSymmetric_Release(CryptSymmetric** handle);
int64_t CryptSymmetric_GetInstanceId(CryptSymmetric* crypt, char* buffer, int32_t size);

// Binds to record with a fresh instance (dropping the old one, its key and state, even when the
// record is the same). A record without a name or one of the six required slots stops the process.
int64_t CryptSymmetric_Reset(CryptSymmetric* crypt, const CryptSymmetricInterface* record);
// 1 when the bound record fills both CBC slots.
int64_t CryptSymmetric_SupportsCBC(CryptSymmetric* crypt);

// Forwarders: calling a slot the bound record leaves empty (or any slot while unbound) stops the
// process. In and out may be the same buffer.
int64_t CryptSymmetric_SetDecryptKey(CryptSymmetric* crypt, const void* key, uint32_t length);
int64_t CryptSymmetric_SetEncryptKey(CryptSymmetric* crypt, const void* key, uint32_t length);
int64_t CryptSymmetric_SetAAD(CryptSymmetric* crypt, const void* data, uint32_t length);
int64_t CryptSymmetric_Encrypt(CryptSymmetric* crypt, const void* in, void* out, uint32_t length);
int64_t CryptSymmetric_Decrypt(CryptSymmetric* crypt, const void* in, void* out, uint32_t length);
// The IV buffer is updated as the cipher does, so consecutive calls continue one chain.
int64_t CryptSymmetric_EncryptCBC(CryptSymmetric* crypt, void* iv, uint32_t ivLength, const void* in, void* out,
                                  uint32_t length);
int64_t CryptSymmetric_DecryptCBC(CryptSymmetric* crypt, void* iv, uint32_t ivLength, const void* in, void* out,
                                  uint32_t length);
int64_t CryptSymmetric_GetAuthTag(CryptSymmetric* crypt, void* tag, uint32_t length);
