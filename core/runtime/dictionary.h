// The Dictionary: the system's one tree of typed values (configuration, switches, parsed
// documents, script arguments). Items live in pools owned by the root; scalars are held as text.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    DICTIONARY_CLASS_ID = 0xC1D1FAA9,
    DICTIONARY_ITEM_CLASS_ID = 0x4139CA17,
};

// Value types; an item's type is its flags AND 7.
enum : uint32_t {
    DICTIONARY_TYPE_UNKNOWN = 0, // a fresh item
    DICTIONARY_TYPE_NULL = 1,
    DICTIONARY_TYPE_BOOLEAN = 2, // flag bit, no text
    DICTIONARY_TYPE_INT64 = 3,   // text written with "%lld"
    DICTIONARY_TYPE_FLOAT64 = 4, // text written with "%g"
    DICTIONARY_TYPE_STRING = 5,
    DICTIONARY_TYPE_LIST = 6,       // child dictionary of unnamed items
    DICTIONARY_TYPE_DICTIONARY = 7, // child dictionary of keyed items
};

enum : uint8_t {
    DICTIONARY_ITEM_FLAG_PRIVATE = 0x40,
    DICTIONARY_ITEM_FLAG_BOOLEAN = 0x80,
};

// Keys are cut to this many characters.
constexpr int32_t DICTIONARY_MAX_KEY_LENGTH = 119;

struct Dictionary;
struct DictionaryItem;

struct DictionaryTypeString {
    uint32_t Code;
    const char* Name;
};
extern const DictionaryTypeString Dictionary_TypeStringTable[8];

// Change callbacks; `path` is the changed item's path relative to the dictionary called, and
// `item` the item of that dictionary that holds the change. Results are ignored.
typedef int64_t (*DictionaryItemRemoveCallback)(Dictionary* dict, DictionaryItem* item, void* context,
                                                const char* path);
typedef int64_t (*DictionaryItemKeyChangeCallback)(Dictionary* dict, DictionaryItem* item, void* context,
                                                   const char* path, const char* oldKey);
typedef int64_t (*DictionaryItemValueChangeCallback)(Dictionary* dict, DictionaryItem* item, void* context,
                                                     const char* path, const char* oldValue,
                                                     uint32_t oldLength);
// 1 when the new item (with `key`) belongs before `existing`.
typedef int64_t (*DictionaryCompareCallback)(Dictionary* dict, DictionaryItem* existing, const char* key,
                                             void* context);
// 1 to take `item` of `source` into `target`.
typedef int64_t (*DictionarySyncFilterCallback)(Dictionary* target, void* context, Dictionary* source,
                                                DictionaryItem* item);

// ---- Objects --------------------------------------------------------------------------------
int64_t Dictionary_Create(Dictionary** dict);
int64_t Dictionary_AddRef(Dictionary* dict);
// Releases and nulls the handle; the last release of a root deletes the whole tree. A child
// dictionary belongs to its item: releasing it past its own reference does nothing.
int64_t Dictionary_Release(Dictionary** dict);
int64_t Dictionary_Delete(Dictionary** dict);
// Copies at most 36 bytes of the instance id text.
int64_t Dictionary_GetInstanceId(Dictionary* dict, char* buffer, int32_t size);

// ---- Inserting and removing -----------------------------------------------------------------
// The out item of these may be null. A null key makes an unnamed item.
int64_t Dictionary_Insert(Dictionary* dict, DictionaryItem* after, const char* key, DictionaryItem** item);
int64_t Dictionary_Append(Dictionary* dict, const char* key, DictionaryItem** item);
int64_t Dictionary_Add(Dictionary* dict, const char* key, DictionaryItem** item);
int64_t Dictionary_AddNull(Dictionary* dict, const char* key, DictionaryItem** item);
int64_t Dictionary_AddString(Dictionary* dict, const char* key, const char* text, DictionaryItem** item);
int64_t Dictionary_AddInt32(Dictionary* dict, const char* key, int32_t value, DictionaryItem** item);
int64_t Dictionary_AddInt64(Dictionary* dict, const char* key, int64_t value, DictionaryItem** item);
int64_t Dictionary_AddFloat64(Dictionary* dict, const char* key, double value, DictionaryItem** item);
int64_t Dictionary_AddBoolean(Dictionary* dict, const char* key, uint32_t value, DictionaryItem** item);
int64_t Dictionary_AddList(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item);
int64_t Dictionary_AddDictionary(Dictionary* dict, const char* key, Dictionary** child,
                                 DictionaryItem** item);
int64_t Dictionary_InsertSorted(Dictionary* dict, const char* key, DictionaryItem** item, void* context,
                                DictionaryCompareCallback compare);
int64_t Dictionary_Remove(Dictionary* dict, DictionaryItem** item);
int64_t Dictionary_Reset(Dictionary* dict);

// ---- Items ----------------------------------------------------------------------------------
// Types above 7 are refused (0, nothing changes).
int64_t Dictionary_ItemSetType(Dictionary* dict, DictionaryItem* item, uint32_t type);
int64_t Dictionary_ItemGetType(Dictionary* dict, DictionaryItem* item, uint32_t* type);
int64_t Dictionary_ItemCompareType(Dictionary* dict, DictionaryItem* item, uint32_t type);
int64_t Dictionary_ItemIsContainer(Dictionary* dict, DictionaryItem* item);
int64_t Dictionary_ItemIsNull(Dictionary* dict, DictionaryItem* item);
int64_t Dictionary_ItemSetNull(Dictionary* dict, DictionaryItem* item);
int64_t Dictionary_ItemSetKey(Dictionary* dict, DictionaryItem* item, const char* key);
// Reads at most `length` bytes of `key` (a negative length counts as 0).
int64_t Dictionary_ItemSetKeyLength(Dictionary* dict, DictionaryItem* item, const char* key, int32_t length);
int64_t Dictionary_ItemGetKeyPtr(Dictionary* dict, DictionaryItem* item, const char** key);
int64_t Dictionary_ItemGetKey(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t size);
// The one writer of value text: reads at most `length` bytes (zeros when bytes is null; a
// negative length counts as 0).
int64_t Dictionary_ItemSetBuffer(Dictionary* dict, DictionaryItem* item, const char* bytes, int32_t length);
// The one reader of value text, for every type; length may be null.
int64_t Dictionary_ItemGetBufferPtr(Dictionary* dict, DictionaryItem* item, const char** bytes,
                                    int32_t* length);
int64_t Dictionary_ItemSetBoolean(Dictionary* dict, DictionaryItem* item, uint32_t value);
int64_t Dictionary_ItemSetPrivate(Dictionary* dict, DictionaryItem* item, uint32_t value);
// 1 (also in *value, which may be null) when the dictionary's PrivateKeys is on and the item is private.
int64_t Dictionary_ItemGetPrivate(Dictionary* dict, DictionaryItem* item, uint32_t* value);

// ---- Navigation -----------------------------------------------------------------------------
int64_t Dictionary_ItemGetFirst(Dictionary* dict, DictionaryItem** item);
int64_t Dictionary_ItemGetLast(Dictionary* dict, DictionaryItem** item);
int64_t Dictionary_ItemGetNext(Dictionary* dict, DictionaryItem* item, DictionaryItem** next);
int64_t Dictionary_ItemGetPrev(Dictionary* dict, DictionaryItem* item, DictionaryItem** prev);
int64_t Dictionary_ItemGetCount(Dictionary* dict, uint32_t* count);
int64_t Dictionary_ItemGetIndex(Dictionary* dict, DictionaryItem* item, uint32_t* index);
// Either out-parameter may be null; 1 when both parent and parent item are set.
int64_t Dictionary_GetParent(Dictionary* dict, Dictionary** parent, DictionaryItem** parentItem);
int64_t Dictionary_ItemGetDictionaryHandle(Dictionary* dict, DictionaryItem* item, Dictionary** child);
// Path of `item` (an item of `dict`) relative to `ancestor` (null: up to the root), e.g.
// "a.tags[2]"; 1 when `ancestor` was reached.
int64_t Dictionary_ItemGetPath(Dictionary* dict, DictionaryItem* item, Dictionary* ancestor, char* buffer,
                               int32_t size);
// The first item with `key` from `start` (null: the first item); "[n]" keys are positional.
int64_t Dictionary_ItemFindByKey(Dictionary* dict, const char* key, DictionaryItem* start,
                                 DictionaryItem** item);

// ---- Settings -------------------------------------------------------------------------------
int64_t Dictionary_SetCaseSensitive(Dictionary* dict, uint32_t value);
int64_t Dictionary_GetCaseSensitive(Dictionary* dict, uint32_t* value);
int64_t Dictionary_SetPrivateKeys(Dictionary* dict, uint32_t value);
int64_t Dictionary_GetPrivateKeys(Dictionary* dict, uint32_t* value);
int64_t Dictionary_SetAllowDuplicates(Dictionary* dict, uint32_t value);
int64_t Dictionary_GetAllowDuplicates(Dictionary* dict, uint32_t* value);
// Must be chosen while the dictionary has no items: texts are freed where the setting says.
int64_t Dictionary_SetStringPool(Dictionary* dict, uint32_t value);
int64_t Dictionary_GetStringPool(Dictionary* dict, uint32_t* value);
// Takes effect for pools made afterwards (the first insertion); 0 counts as 1.
int64_t Dictionary_SetPoolChunkSize(Dictionary* dict, uint32_t value);

// ---- Change callbacks -------------------------------------------------------------------------
int64_t Dictionary_SetItemRemoveCallback(Dictionary* dict, void* context, DictionaryItemRemoveCallback fn);
int64_t Dictionary_GetItemRemoveCallback(Dictionary* dict, void** context, DictionaryItemRemoveCallback* fn);
int64_t Dictionary_SetItemKeyChangeCallback(Dictionary* dict, void* context,
                                            DictionaryItemKeyChangeCallback fn);
int64_t Dictionary_GetItemKeyChangeCallback(Dictionary* dict, void** context,
                                            DictionaryItemKeyChangeCallback* fn);
int64_t Dictionary_SetItemValueChangeCallback(Dictionary* dict, void* context,
                                              DictionaryItemValueChangeCallback fn);
int64_t Dictionary_GetItemValueChangeCallback(Dictionary* dict, void** context,
                                              DictionaryItemValueChangeCallback* fn);

// ---- Print channel ----------------------------------------------------------------------------
int64_t Dictionary_SetPrintIdentifier(Dictionary* dict, const char* identifier);
int64_t Dictionary_SetPrintCallback(Dictionary* dict, void* user, ClassPrintCallback fn);
int64_t Dictionary_SetVerbose(Dictionary* dict, uint32_t verbose);
int64_t Dictionary_IsVerboseLevel(Dictionary* dict, int32_t level);
int64_t Dictionary_Print(Dictionary* dict, const char* format, ...);
int64_t Dictionary_VPrint(Dictionary* dict, int32_t tabLevel, const char* format, va_list args);
// The default print sink: one DEBUG log line.
int64_t Dictionary_PrintInternal(void* user, const char* format, ...);

// ---- Types ------------------------------------------------------------------------------------
// The type's name; "Unknown" for a code outside the table.
const char* Dictionary_TranslateType(uint32_t type);

// ---- Operation table ------------------------------------------------------------------------
// Every dictionary carries a pointer to GlobalDictionaryVtbl; the order of the entries is fixed.
// An entry without an operation is null.
struct DictionaryVtbl {
    int64_t (*GetParent)(Dictionary*, Dictionary**, DictionaryItem**) = nullptr;
    int64_t (*Add)(Dictionary*, const char*, DictionaryItem**) = nullptr;
    int64_t (*AddNull)(Dictionary*, const char*, DictionaryItem**) = nullptr;
    int64_t (*AddString)(Dictionary*, const char*, const char*, DictionaryItem**) = nullptr;
    int64_t (*AddInt32)(Dictionary*, const char*, int32_t, DictionaryItem**) = nullptr;
    int64_t (*AddInt64)(Dictionary*, const char*, int64_t, DictionaryItem**) = nullptr;
    int64_t (*AddFloat64)(Dictionary*, const char*, double, DictionaryItem**) = nullptr;
    int64_t (*AddBoolean)(Dictionary*, const char*, uint32_t, DictionaryItem**) = nullptr;
    int64_t (*AddList)(Dictionary*, const char*, Dictionary**, DictionaryItem**) = nullptr;
    int64_t (*AddDictionary)(Dictionary*, const char*, Dictionary**, DictionaryItem**) = nullptr;
    int64_t (*Append)(Dictionary*, const char*, DictionaryItem**) = nullptr;
    int64_t (*Insert)(Dictionary*, DictionaryItem*, const char*, DictionaryItem**) = nullptr;
    int64_t (*Remove)(Dictionary*, DictionaryItem**) = nullptr;
    int64_t (*ConvertFromString)(Dictionary*, const char*, int32_t, uint8_t, uint8_t) = nullptr;
    int64_t (*ConvertToString)(Dictionary*, char*, int32_t, uint8_t, uint8_t) = nullptr;
    int64_t (*ContainsKey)(Dictionary*, const char*) = nullptr;
    int64_t (*EnsureIndex)(Dictionary*, int32_t, DictionaryItem**) = nullptr;
    int64_t (*EnsureListByIndex)(Dictionary*, int32_t, DictionaryItem**, Dictionary**) = nullptr;
    int64_t (*EnsureDictionaryByIndex)(Dictionary*, int32_t, DictionaryItem**, Dictionary**) = nullptr;
    int64_t (*EnsureKey)(Dictionary*, const char*, DictionaryItem**) = nullptr;
    int64_t (*EnsureList)(Dictionary*, const char*, DictionaryItem**, Dictionary**) = nullptr;
    int64_t (*EnsureDictionary)(Dictionary*, const char*, DictionaryItem**, Dictionary**) = nullptr;
    int64_t (*GetTypeByKey)(Dictionary*, const char*, uint32_t*) = nullptr;
    int64_t (*SetStringByKey)(Dictionary*, const char*, const char*) = nullptr;
    int64_t (*GetStringByKey)(Dictionary*, const char*, char*, int32_t) = nullptr;
    int64_t (*SetStringByKeyV)(Dictionary*, const char*, const char*, va_list) = nullptr;
    int64_t (*GetStringPtrByKey)(Dictionary*, const char*, const char**) = nullptr;
    int64_t (*GetBufferPtrByKey)(Dictionary*, const char*, const char**, int32_t*) = nullptr;
    int64_t (*SetInt32ByKey)(Dictionary*, const char*, int32_t) = nullptr;
    int64_t (*GetInt32ByKey)(Dictionary*, const char*, int32_t*) = nullptr;
    int64_t (*SetInt64ByKey)(Dictionary*, const char*, int64_t) = nullptr;
    int64_t (*GetInt64ByKey)(Dictionary*, const char*, int64_t*) = nullptr;
    int64_t (*SetFloat64ByKey)(Dictionary*, const char*, double) = nullptr;
    int64_t (*GetFloat64ByKey)(Dictionary*, const char*, double*) = nullptr;
    int64_t (*SetBooleanByKey)(Dictionary*, const char*, uint32_t) = nullptr;
    int64_t (*GetBooleanByKey)(Dictionary*, const char*, uint32_t*) = nullptr;
    int64_t (*GetListByIndex)(Dictionary*, int32_t, Dictionary**) = nullptr;
    int64_t (*GetDictionaryByIndex)(Dictionary*, int32_t, Dictionary**) = nullptr;
    int64_t (*GetListByKey)(Dictionary*, const char*, Dictionary**) = nullptr;
    int64_t (*GetDictionaryByKey)(Dictionary*, const char*, Dictionary**) = nullptr;
    int64_t (*RemoveByKey)(Dictionary*, const char*) = nullptr;
    int64_t (*ItemGetPath)(Dictionary*, DictionaryItem*, Dictionary*, char*, int32_t) = nullptr;
    int64_t (*ItemIsContainer)(Dictionary*, DictionaryItem*) = nullptr;
    int64_t (*ItemIsNull)(Dictionary*, DictionaryItem*) = nullptr;
    int64_t (*ItemGetIndex)(Dictionary*, DictionaryItem*, uint32_t*) = nullptr;
    int64_t (*ItemSetType)(Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*ItemGetType)(Dictionary*, DictionaryItem*, uint32_t*) = nullptr;
    int64_t (*ItemCompareType)(Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*ItemSetKey)(Dictionary*, DictionaryItem*, const char*) = nullptr;
    int64_t (*ItemSetKeyLength)(Dictionary*, DictionaryItem*, const char*, int32_t) = nullptr;
    int64_t (*ItemGetKey)(Dictionary*, DictionaryItem*, char*, int32_t) = nullptr;
    int64_t (*ItemGetKeyPtr)(Dictionary*, DictionaryItem*, const char**) = nullptr;
    int64_t (*ItemSetString)(Dictionary*, DictionaryItem*, const char*) = nullptr;
    int64_t (*ItemSetStringV)(Dictionary*, DictionaryItem*, const char*, va_list) = nullptr;
    int64_t (*ItemGetString)(Dictionary*, DictionaryItem*, char*, int32_t) = nullptr;
    int64_t (*ItemGetStringPtr)(Dictionary*, DictionaryItem*, const char**) = nullptr;
    int64_t (*ItemSetBuffer)(Dictionary*, DictionaryItem*, const char*, int32_t) = nullptr;
    int64_t (*ItemGetBufferPtr)(Dictionary*, DictionaryItem*, const char**, int32_t*) = nullptr;
    int64_t (*ItemSetFloat64)(Dictionary*, DictionaryItem*, double) = nullptr;
    int64_t (*ItemGetFloat64)(Dictionary*, DictionaryItem*, double*) = nullptr;
    int64_t (*ItemSetInt32)(Dictionary*, DictionaryItem*, int32_t) = nullptr;
    int64_t (*ItemGetInt32)(Dictionary*, DictionaryItem*, int32_t*) = nullptr;
    int64_t (*ItemSetInt64)(Dictionary*, DictionaryItem*, int64_t) = nullptr;
    int64_t (*ItemGetInt64)(Dictionary*, DictionaryItem*, int64_t*) = nullptr;
    int64_t (*ItemSetBoolean)(Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*ItemGetBoolean)(Dictionary*, DictionaryItem*, uint32_t*) = nullptr;
    int64_t (*ItemSetNull)(Dictionary*, DictionaryItem*) = nullptr;
    int64_t (*ItemGetDictionaryHandle)(Dictionary*, DictionaryItem*, Dictionary**) = nullptr;
    int64_t (*ItemFindByPath)(Dictionary*, const char*, Dictionary**, DictionaryItem**) = nullptr;
    int64_t (*ItemFindByKey)(Dictionary*, const char*, DictionaryItem*, DictionaryItem**) = nullptr;
    int64_t (*ItemFindByBuffer)(Dictionary*, const char*, int32_t, DictionaryItem*,
                                DictionaryItem**) = nullptr;
    int64_t (*ItemFindByIndex)(Dictionary*, int32_t, DictionaryItem*, DictionaryItem**) = nullptr;
    int64_t (*ItemGetNext)(Dictionary*, DictionaryItem*, DictionaryItem**) = nullptr;
    int64_t (*ItemGetPrev)(Dictionary*, DictionaryItem*, DictionaryItem**) = nullptr;
    int64_t (*ItemGetFirst)(Dictionary*, DictionaryItem**) = nullptr;
    int64_t (*ItemGetLast)(Dictionary*, DictionaryItem**) = nullptr;
    int64_t (*ItemGetCount)(Dictionary*, uint32_t*) = nullptr;
    int64_t (*Print)(Dictionary*, const char*, ...) = nullptr;
    int64_t (*PrintTabbed)(Dictionary*, int32_t, const char*, ...) = nullptr;
    int64_t (*SetPrintCallback)(Dictionary*, void*, ClassPrintCallback) = nullptr;
    int64_t (*GetPrintCallback)(Dictionary*, void**, ClassPrintCallback*) = nullptr;
    int64_t (*Sync)(Dictionary*, Dictionary*, void*, DictionarySyncFilterCallback) = nullptr;
    int64_t (*SyncAt)(Dictionary*, Dictionary*, DictionaryItem*, void*,
                      DictionarySyncFilterCallback) = nullptr;
    int64_t (*RemoveMissing)(Dictionary*, Dictionary*) = nullptr;
    int64_t (*Merge)(Dictionary*, Dictionary*, uint32_t) = nullptr;
    int64_t (*MergeAt)(Dictionary*, Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*SkipRoot)(Dictionary*, Dictionary**) = nullptr;
    int64_t (*Reset)(Dictionary*) = nullptr;
    int64_t (*Dump)(Dictionary*) = nullptr;
    int64_t (*SetCaseSensitive)(Dictionary*, uint32_t) = nullptr;
    int64_t (*GetCaseSensitive)(Dictionary*, uint32_t*) = nullptr;
    int64_t (*SetAllowDuplicates)(Dictionary*, uint32_t) = nullptr;
    int64_t (*GetAllowDuplicates)(Dictionary*, uint32_t*) = nullptr;
    int64_t (*SetStringPool)(Dictionary*, uint32_t) = nullptr;
    int64_t (*GetStringPool)(Dictionary*, uint32_t*) = nullptr;
    int64_t (*SetPoolChunkSize)(Dictionary*, uint32_t) = nullptr;
    int64_t (*SetItemRemoveCallback)(Dictionary*, void*, DictionaryItemRemoveCallback) = nullptr;
    int64_t (*GetItemRemoveCallback)(Dictionary*, void**, DictionaryItemRemoveCallback*) = nullptr;
    int64_t (*SetItemKeyChangeCallback)(Dictionary*, void*, DictionaryItemKeyChangeCallback) = nullptr;
    int64_t (*GetItemKeyChangeCallback)(Dictionary*, void**, DictionaryItemKeyChangeCallback*) = nullptr;
    int64_t (*SetItemValueChangeCallback)(Dictionary*, void*, DictionaryItemValueChangeCallback) = nullptr;
    int64_t (*GetItemValueChangeCallback)(Dictionary*, void**, DictionaryItemValueChangeCallback*) = nullptr;
    int64_t (*MergeItem)(Dictionary*, Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*SetStringByKeyPrint)(Dictionary*, const char*, const char*, ...) = nullptr;
    int64_t (*ItemSetStringPrint)(Dictionary*, DictionaryItem*, const char*, ...) = nullptr;
    int64_t (*SetStringByPath)(Dictionary*, const char*, const char*) = nullptr;
    int64_t (*GetStringByPath)(Dictionary*, const char*, char*, int32_t) = nullptr;
    int64_t (*GetBufferPtrByPath)(Dictionary*, const char*, const char**, int32_t*) = nullptr;
    int64_t (*SetInt32ByPath)(Dictionary*, const char*, int32_t) = nullptr;
    int64_t (*GetInt32ByPath)(Dictionary*, const char*, int32_t*) = nullptr;
    int64_t (*SetInt64ByPath)(Dictionary*, const char*, int64_t) = nullptr;
    int64_t (*GetInt64ByPath)(Dictionary*, const char*, int64_t*) = nullptr;
    int64_t (*SetFloat64ByPath)(Dictionary*, const char*, double) = nullptr;
    int64_t (*GetFloat64ByPath)(Dictionary*, const char*, double*) = nullptr;
    int64_t (*SetBooleanByPath)(Dictionary*, const char*, uint32_t) = nullptr;
    int64_t (*GetBooleanByPath)(Dictionary*, const char*, uint32_t*) = nullptr;
    int64_t (*SkipRootContainer)(Dictionary*, Dictionary**) = nullptr;
    int64_t (*ItemSetPrivate)(Dictionary*, DictionaryItem*, uint32_t) = nullptr;
    int64_t (*ItemGetPrivate)(Dictionary*, DictionaryItem*, uint32_t*) = nullptr;
    int64_t (*SetPrivateKeys)(Dictionary*, uint32_t) = nullptr;
    int64_t (*GetPrivateKeys)(Dictionary*, uint32_t*) = nullptr;
    int64_t (*AddRef)(Dictionary*) = nullptr;
    int64_t (*Release)(Dictionary**) = nullptr;
    int64_t (*EnsureDictionaryByPath)(Dictionary*, const char*, Dictionary**) = nullptr;
    int64_t (*ContainsPath)(Dictionary*, const char*) = nullptr;
    int64_t (*GetStringPtrByPath)(Dictionary*, const char*, const char**) = nullptr;
    int64_t (*ContainsString)(Dictionary*, const char*) = nullptr;
    int64_t (*RemoveByString)(Dictionary*, const char*) = nullptr;
    int64_t (*GetDictionaryByPath)(Dictionary*, const char*, Dictionary**) = nullptr;
};

extern const DictionaryVtbl GlobalDictionaryVtbl;
