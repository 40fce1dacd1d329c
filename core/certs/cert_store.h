// The trust-store handle every trust decision is asked through (CertStoreInterface), and the
// simple stores behind it: the null store, the key store, the list store (a composite asked in
// order) and the table store (stores registered by name).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct CryptAsymmetric;
struct Dictionary;
struct X509;

enum : uint32_t {
    CERTSTOREINTERFACE_CLASS_ID = 0x3c9e052b,
    CERTSTORENULL_CLASS_ID = 0xdd07624b,
    CERTSTOREKEY_CLASS_ID = 0x3f1c0a15,
    CERTSTORELIST_CLASS_ID = 0x62acf23d,
    CERTSTORETABLE_CLASS_ID = 0x10c29036,
    // Longest name a table entry keeps (longer names are cut).
    CERTSTORETABLE_NAME_SIZE = 320,
};

// A counted reference on the store behind it: every holder gives it back with
// CertStoreInterface_Release. The store is the user pointer of every slot.
struct CertStoreInterface;

// Slot functions; each gets the interface and the store it was set with.
typedef CertStoreInterface* (*CertStoreAddRefFunc)(CertStoreInterface* handle, void* store);
// Drops one store reference and nulls *handle.
typedef int64_t (*CertStoreReleaseFunc)(CertStoreInterface** handle, void* store);
// 1 with the store's key bytes (not copied), 0 when it has none.
typedef int64_t (*CertStoreGetKeyFunc)(CertStoreInterface* handle, void* store, const uint8_t** key,
                                       uint32_t* size);
// 1 trusted, 0 not; a store sets *stop to 1 to make its no final for a composite asking it.
typedef int64_t (*CertStoreX509IsTrustedFunc)(CertStoreInterface* handle, void* store, X509* cert,
                                              uint32_t* stop);
// 1 when the JWS header names a trusted key, returned with a reference the caller holds.
typedef int64_t (*CertStoreX509IsTrustedJWSFunc)(CertStoreInterface* handle, void* store, Dictionary* header,
                                                 CryptAsymmetric** key, uint32_t* stop);

// ---- The handle (used by store implementations) ---------------------------------------------
int64_t CertStoreInterface_Create(CertStoreInterface** handle);
// Frees the handle itself; a store calls it from its own delete.
int64_t CertStoreInterface_Delete(CertStoreInterface** handle);
// Each fills one slot; the store is not referenced by the slot. 1.
int64_t CertStoreInterface_SetAddRefCallback(CertStoreInterface* handle, void* store, CertStoreAddRefFunc fn);
int64_t CertStoreInterface_SetReleaseCallback(CertStoreInterface* handle, void* store, CertStoreReleaseFunc fn);
int64_t CertStoreInterface_SetGetKeyCallback(CertStoreInterface* handle, void* store, CertStoreGetKeyFunc fn);
int64_t CertStoreInterface_SetX509IsTrustedCallback(CertStoreInterface* handle, void* store,
                                                    CertStoreX509IsTrustedFunc fn);
int64_t CertStoreInterface_SetX509IsTrustedJWSCallback(CertStoreInterface* handle, void* store,
                                                       CertStoreX509IsTrustedJWSFunc fn);

// ---- The handle (used by everyone) ----------------------------------------------------------
// Adds a reference to the store (slot 1) and counts one more handle out; returns the handle. A
// store's GetInterfaceHandle hands its interface out through this, so that the count of handles
// held (Class_HasOneRef on the handle) stays meaningful.
CertStoreInterface* CertStoreInterface_AddRef(CertStoreInterface* handle);
// Drops the caller's reference on the store and nulls the handle; 1, or 0 for a null handle.
int64_t CertStoreInterface_Release(CertStoreInterface** handle);
// 0 with null and 0 when the store holds no key (only key stores do).
int64_t CertStoreInterface_GetKey(CertStoreInterface* handle, const uint8_t** key, uint32_t* size);
// With authentication off (Authenticate_Enabled() 0): 1 with stop 0 without asking the store.
int64_t CertStoreInterface_X509IsTrusted(CertStoreInterface* handle, X509* cert, uint32_t* stop);
// With authentication off: 1 with key null and stop 0 without asking the store.
int64_t CertStoreInterface_X509IsTrustedJWS(CertStoreInterface* handle, Dictionary* header, CryptAsymmetric** key,
                                            uint32_t* stop);

// ---- Null store: trusts nothing --------------------------------------------------------------
struct CertStoreNull;
int64_t CertStoreNull_Create(CertStoreNull** handle);
int64_t CertStoreNull_AddRef(CertStoreNull* store);
int64_t CertStoreNull_Release(CertStoreNull** handle);
int64_t CertStoreNull_GetInstanceId(CertStoreNull* store, char* buffer, int32_t size);
// Adds a store reference and returns the interface (give it back with CertStoreInterface_Release).
CertStoreInterface* CertStoreNull_GetInterfaceHandle(CertStoreNull* store);

// ---- Key store: holds one secret (GetKey) and trusts no certificate --------------------------
struct CertStoreKey;
int64_t CertStoreKey_Create(CertStoreKey** handle);
int64_t CertStoreKey_AddRef(CertStoreKey* store);
int64_t CertStoreKey_Release(CertStoreKey** handle);
int64_t CertStoreKey_GetInstanceId(CertStoreKey* store, char* buffer, int32_t size);
CertStoreInterface* CertStoreKey_GetInterfaceHandle(CertStoreKey* store);
// Replaces the key with the Base64 (standard alphabet) decoding of the text. On failure the store
// holds no key. Set before the store is shared.
int64_t CertStoreKey_Decode(CertStoreKey* store, const char* text);

// ---- List store: asks its members, the last added first --------------------------------------
struct CertStoreList;
int64_t CertStoreList_Create(CertStoreList** handle);
int64_t CertStoreList_AddRef(CertStoreList* store);
int64_t CertStoreList_Release(CertStoreList** handle);
int64_t CertStoreList_GetInstanceId(CertStoreList* store, char* buffer, int32_t size);
CertStoreInterface* CertStoreList_GetInterfaceHandle(CertStoreList* store);
// References the member and puts it at the front; 1.
int64_t CertStoreList_Add(CertStoreList* store, CertStoreInterface* member);
// Releases every member; 1.
int64_t CertStoreList_Reset(CertStoreList* store);

// ---- Table store: stores by name (ASCII case ignored), fixed or removable --------------------
struct CertStoreTable;
int64_t CertStoreTable_Create(CertStoreTable** handle);
// Releases every entry's store and frees the table; nulls the handle.
int64_t CertStoreTable_Delete(CertStoreTable** handle);
int64_t CertStoreTable_AddRef(CertStoreTable* table);
int64_t CertStoreTable_Release(CertStoreTable** handle);
int64_t CertStoreTable_GetInstanceId(CertStoreTable* table, char* buffer, int32_t size);
// Registers the store (referenced) under the name. A fixed entry of that name is never replaced
// (0); a removable one is replaced and its store released. removable: 1 removable, 0 fixed.
int64_t CertStoreTable_Add(CertStoreTable* table, const char* name, uint32_t removable, CertStoreInterface* store);
// Removes a removable entry (1); an absent or fixed name gives 0.
int64_t CertStoreTable_Remove(CertStoreTable* table, const char* name);
// 1 and a referenced interface when the name is present; 0 and null otherwise.
int64_t CertStoreTable_GetInterfaceHandle(CertStoreTable* table, const char* name, CertStoreInterface** store);
// Releases the handle; a null handle is accepted. 1.
int64_t CertStoreTable_ReleaseInterfaceHandle(CertStoreTable* table, CertStoreInterface** store);
