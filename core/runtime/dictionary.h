// The Dictionary: the system's one tree of typed values (configuration, switches, parsed
// documents, script arguments). Items live in an arena owned by the root; scalars are held as text.
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
    DICTIONARY_TYPE_FLOAT64 = 4, // text in %g's form, with every digit the value needs
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
// Must be chosen while the dictionary has no items. Every text comes from the tree's arena
// whichever is chosen; the setting is kept and read back.
int64_t Dictionary_SetStringPool(Dictionary* dict, uint32_t value);
int64_t Dictionary_GetStringPool(Dictionary* dict, uint32_t* value);
// Kept for callers; the tree's arena sizes its own blocks.
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

// Merge, sync, print and dump
// Merge flags; they may be combined.
enum : uint32_t {
    DICTIONARY_MERGE_OVERWRITE = 1,    // an existing keyed item takes the source's type, privacy and value
    DICTIONARY_MERGE_FRONT = 2,        // new items go to the front (so they land in reverse source order)
    DICTIONARY_MERGE_KEEP_LISTS = 4,   // a List in both is not emptied before the source elements are added
    DICTIONARY_MERGE_SKIP_PRIVATE = 8, // private source items are left out
};

// Merging and syncing read the source as it was when the call began: when source and target are
// in the same tree (the same dictionary, or one inside the other), a private copy of the source
// is used, so the filter of a sync then sees that copy. A start item must belong to the source.
int64_t Dictionary_Merge(Dictionary* target, Dictionary* source, uint32_t flags);
int64_t Dictionary_MergeAt(Dictionary* target, Dictionary* source, DictionaryItem* start, uint32_t flags);
int64_t Dictionary_MergeItem(Dictionary* target, Dictionary* source, DictionaryItem* item, uint32_t flags);
// Makes the target an image of the source; matching items keep their identity. A null filter takes all.
int64_t Dictionary_Sync(Dictionary* target, Dictionary* source, void* context,
                        DictionarySyncFilterCallback filter);
int64_t Dictionary_SyncAt(Dictionary* target, Dictionary* source, DictionaryItem* start, void* context,
                          DictionarySyncFilterCallback filter);
// Removes the target items (one level) that have no counterpart in the source.
int64_t Dictionary_RemoveMissing(Dictionary* target, Dictionary* source);
// Removes the keyed target items whose key is not the value text of any source item.
int64_t Dictionary_RemoveMissingKeys(Dictionary* target, Dictionary* source);
// The child of a root's only item when that item is an unnamed Dictionary (SkipRootContainer: or
// List); otherwise `dict` itself.
int64_t Dictionary_SkipRoot(Dictionary* dict, Dictionary** out);
int64_t Dictionary_SkipRootContainer(Dictionary* dict, Dictionary** out);
int64_t Dictionary_PrintTabbed(Dictionary* dict, int32_t tabLevel, const char* format, ...);
// Prints only when the dictionary is verbose at `level`; 0 when it printed nothing.
int64_t Dictionary_VerboseLog(Dictionary* dict, int32_t level, const char* format, ...);
int64_t Dictionary_GetVerbose(Dictionary* dict, uint32_t* verbose);
// Either out-parameter may be null.
int64_t Dictionary_GetPrintCallback(Dictionary* dict, void** user, ClassPrintCallback* fn);
// One line per item through the print channel ("key=text (Type)", "key (Type)" for containers,
// children one tab deeper); private items are left out while PrivateKeys is 1. 0 when `dict` is
// empty. The visited children take the parent's print callback.
int64_t Dictionary_Dump(Dictionary* dict);
int64_t Dictionary_DumpInternal(Dictionary* dict, int32_t depth);

// ---- Types ------------------------------------------------------------------------------------
// The type's name; "Unknown" for a code outside the table.
const char* Dictionary_TranslateType(uint32_t type);

// Paths, lookups and typed access
// A path is a chain of segments joined by '.' or '\': a key, "[n]" (the item at index n, negative
// counting from the end), "[key=value]" (this dictionary holds an item with that key and value
// text: the answer is the item holding the dictionary), "[next]" (the item after the one holding
// this dictionary) or "[last-child]". Segments are cut to 119 characters. Results are 1 for found
// or done; out-parameters are cleared first and string buffers get an empty text.

// Enumerator callbacks answer 0 to stop the walk.
typedef int64_t (*DictionaryEnumerateStringCallback)(void* context, const char* text);
typedef int64_t (*DictionaryEnumerateKeyCallback)(void* context, const char* key);
typedef int64_t (*DictionaryEnumerateKeyStringCallback)(void* context, const char* key, const char* text);
typedef int64_t (*DictionaryEnumerateKeyBufferCallback)(void* context, const char* key, const char* text,
                                                        int32_t length);
typedef int64_t (*DictionaryEnumerateListCallback)(void* context, Dictionary* list, DictionaryItem* item);
typedef int64_t (*DictionaryEnumerateInt32Callback)(void* context, int32_t value);

// Lookups. RemoveByKey removes the first match; RemoveByString the first item whose value text
// (as Dictionary_ItemGetBufferPtr) equals `text`, compared exactly.
int64_t Dictionary_ContainsKey(Dictionary* dict, const char* key);
int64_t Dictionary_RemoveByKey(Dictionary* dict, const char* key);
// From `start` (null: the first item) `index` items on; a negative index counts back from the
// item before `start` (null: from the last item), so -1 is that item.
int64_t Dictionary_ItemFindByIndex(Dictionary* dict, int32_t index, DictionaryItem* start,
                                   DictionaryItem** item);
int64_t Dictionary_ItemFindByBuffer(Dictionary* dict, const char* bytes, int32_t length,
                                    DictionaryItem* start, DictionaryItem** item);
int64_t Dictionary_ContainsString(Dictionary* dict, const char* text);
int64_t Dictionary_RemoveByString(Dictionary* dict, const char* text);
// The item a path names and the dictionary holding it; either out-parameter may be null.
int64_t Dictionary_ItemFindByPath(Dictionary* dict, const char* path, Dictionary** holder,
                                  DictionaryItem** item);
int64_t Dictionary_ContainsPath(Dictionary* dict, const char* path);

// Ensure: find, or create what is missing. Out items and children may be null.
// The first item with `key`, else a new item of type Unknown appended.
int64_t Dictionary_EnsureKey(Dictionary* dict, const char* key, DictionaryItem** item);
// EnsureKey, then the container type: an item of another type loses its value, one of the same
// type keeps its items.
int64_t Dictionary_EnsureList(Dictionary* dict, const char* key, DictionaryItem** item, Dictionary** child);
int64_t Dictionary_EnsureDictionary(Dictionary* dict, const char* key, DictionaryItem** item,
                                    Dictionary** child);
// Appends unnamed Unknown items until the count exceeds `index`; 0 when that would take more
// than 1048576 new items.
int64_t Dictionary_EnsureIndex(Dictionary* dict, int32_t index, DictionaryItem** item);
int64_t Dictionary_EnsureListByIndex(Dictionary* dict, int32_t index, DictionaryItem** item,
                                     Dictionary** child);
int64_t Dictionary_EnsureDictionaryByIndex(Dictionary* dict, int32_t index, DictionaryItem** item,
                                           Dictionary** child);
// Walks the '.'-separated members (blanks trimmed, empty ones skipped), each resolved as a path
// or appended as a Dictionary item; a member ending in '~' always appends a fresh one. 0 (and a
// null child) when a member names an item that is not a container. An empty path gives `dict`.
int64_t Dictionary_EnsureDictionaryByPath(Dictionary* dict, const char* path, Dictionary** child);

// Typed access by key. Setters ensure the key and set the type: String; Int64 ("%lld", also for
// Int32); Float64 (%g's form with every digit needed to read it back); Boolean (true exactly when the value is 1). String getters take String
// items only, number getters Int64 and Float64 items, the Boolean getter Boolean items.
int64_t Dictionary_SetStringByKey(Dictionary* dict, const char* key, const char* text);
int64_t Dictionary_SetStringByKeyV(Dictionary* dict, const char* key, const char* format, va_list args);
int64_t Dictionary_SetStringByKeyPrint(Dictionary* dict, const char* key, const char* format, ...);
int64_t Dictionary_SetInt32ByKey(Dictionary* dict, const char* key, int32_t value);
int64_t Dictionary_SetInt64ByKey(Dictionary* dict, const char* key, int64_t value);
int64_t Dictionary_SetFloat64ByKey(Dictionary* dict, const char* key, double value);
int64_t Dictionary_SetBooleanByKey(Dictionary* dict, const char* key, uint32_t value);
int64_t Dictionary_GetStringByKey(Dictionary* dict, const char* key, char* buffer, int32_t size);
int64_t Dictionary_GetStringPtrByKey(Dictionary* dict, const char* key, const char** text);
// Any type, as Dictionary_ItemGetBufferPtr; length may be null.
int64_t Dictionary_GetBufferPtrByKey(Dictionary* dict, const char* key, const char** bytes, int32_t* length);
int64_t Dictionary_GetInt32ByKey(Dictionary* dict, const char* key, int32_t* value);
int64_t Dictionary_GetInt64ByKey(Dictionary* dict, const char* key, int64_t* value);
int64_t Dictionary_GetFloat64ByKey(Dictionary* dict, const char* key, double* value);
int64_t Dictionary_GetBooleanByKey(Dictionary* dict, const char* key, uint32_t* value);
int64_t Dictionary_GetTypeByKey(Dictionary* dict, const char* key, uint32_t* type);
int64_t Dictionary_GetListByKey(Dictionary* dict, const char* key, Dictionary** child);
int64_t Dictionary_GetDictionaryByKey(Dictionary* dict, const char* key, Dictionary** child);
int64_t Dictionary_GetListByIndex(Dictionary* dict, int32_t index, Dictionary** child);
int64_t Dictionary_GetDictionaryByIndex(Dictionary* dict, int32_t index, Dictionary** child);

// Item values, the type unchanged: setters write text (nothing on a Null item; an empty result
// stores no text), numbers as "%d", "%lld" and, for doubles, %g's form with every digit needed to read
// them back; getters accept the types named above.
int64_t Dictionary_ItemSetString(Dictionary* dict, DictionaryItem* item, const char* text);
int64_t Dictionary_ItemSetStringV(Dictionary* dict, DictionaryItem* item, const char* format, va_list args);
int64_t Dictionary_ItemSetStringPrint(Dictionary* dict, DictionaryItem* item, const char* format, ...);
int64_t Dictionary_ItemSetInt32(Dictionary* dict, DictionaryItem* item, int32_t value);
int64_t Dictionary_ItemSetInt64(Dictionary* dict, DictionaryItem* item, int64_t value);
int64_t Dictionary_ItemSetFloat64(Dictionary* dict, DictionaryItem* item, double value);
int64_t Dictionary_ItemGetString(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t size);
int64_t Dictionary_ItemGetStringPtr(Dictionary* dict, DictionaryItem* item, const char** text);
int64_t Dictionary_ItemGetInt32(Dictionary* dict, DictionaryItem* item, int32_t* value);
int64_t Dictionary_ItemGetInt64(Dictionary* dict, DictionaryItem* item, int64_t* value);
int64_t Dictionary_ItemGetFloat64(Dictionary* dict, DictionaryItem* item, double* value);
int64_t Dictionary_ItemGetBoolean(Dictionary* dict, DictionaryItem* item, uint32_t* value);

// Typed access by path. Setters cut the path to 319 characters and split it at its last '.': the
// part before is ensured (EnsureDictionaryByPath), the part after is the key set there (a path
// without '.' is a key of `dict`). 0 and nothing set when the parent cannot be ensured or the
// last part is empty. Getters resolve the path and read the item as the item getters do.
int64_t Dictionary_SetStringByPath(Dictionary* dict, const char* path, const char* text);
int64_t Dictionary_SetInt32ByPath(Dictionary* dict, const char* path, int32_t value);
int64_t Dictionary_SetInt64ByPath(Dictionary* dict, const char* path, int64_t value);
int64_t Dictionary_SetFloat64ByPath(Dictionary* dict, const char* path, double value);
int64_t Dictionary_SetBooleanByPath(Dictionary* dict, const char* path, uint32_t value);
int64_t Dictionary_GetStringByPath(Dictionary* dict, const char* path, char* buffer, int32_t size);
int64_t Dictionary_GetStringPtrByPath(Dictionary* dict, const char* path, const char** text);
int64_t Dictionary_GetBufferPtrByPath(Dictionary* dict, const char* path, const char** bytes,
                                      int32_t* length);
int64_t Dictionary_GetInt32ByPath(Dictionary* dict, const char* path, int32_t* value);
int64_t Dictionary_GetInt64ByPath(Dictionary* dict, const char* path, int64_t* value);
int64_t Dictionary_GetFloat64ByPath(Dictionary* dict, const char* path, double* value);
int64_t Dictionary_GetBooleanByPath(Dictionary* dict, const char* path, uint32_t* value);
// The child of the List or Dictionary item the path names.
int64_t Dictionary_GetDictionaryByPath(Dictionary* dict, const char* path, Dictionary** child);

// List texts: a String item gives its text, a List the concatenation of its String elements
// (cut to the buffer); the length is that of the whole text.
int64_t Dictionary_GetListStringByKey(Dictionary* dict, const char* key, char* buffer, int32_t size);
int64_t Dictionary_GetListStringLengthByKey(Dictionary* dict, const char* key, uint32_t* length);

// Enumerators: 1 when some call answered non-zero (even if a later one stopped the walk).
// String: every String item; Key: every keyed item; KeyString: keyed String items; KeyBuffer:
// keyed items with value text of any type.
int64_t Dictionary_EnumerateString(Dictionary* dict, void* context, DictionaryEnumerateStringCallback fn);
int64_t Dictionary_EnumerateKey(Dictionary* dict, void* context, DictionaryEnumerateKeyCallback fn);
int64_t Dictionary_EnumerateKeyString(Dictionary* dict, void* context,
                                      DictionaryEnumerateKeyStringCallback fn);
int64_t Dictionary_EnumerateKeyBuffer(Dictionary* dict, void* context,
                                      DictionaryEnumerateKeyBufferCallback fn);
// The elements of the List `key`; an item of another type is called once when it has value text
// (List: any; ListString: a String item; ListInt32: an Int64 or Float64 item). 0 when `key` is
// missing. EnumerateList answers 1 for that single call only when the callback answered 1.
int64_t Dictionary_EnumerateList(Dictionary* dict, const char* key, void* context,
                                 DictionaryEnumerateListCallback fn);
int64_t Dictionary_EnumerateListString(Dictionary* dict, const char* key, void* context,
                                       DictionaryEnumerateStringCallback fn);
int64_t Dictionary_EnumerateListInt32(Dictionary* dict, const char* key, void* context,
                                      DictionaryEnumerateInt32Callback fn);

// Flat text. From: every piece between item separators becomes an appended String item:
// "key<pair>value", or a bare key with the boolean bit set (a flag), or with a zero pair separator
// an unnamed value. To: String items as "key<pair>value", true Boolean items as their key, each
// item but an unnamed Boolean followed by the item separator.
int64_t Dictionary_ConvertFromString(Dictionary* dict, const char* text, int32_t length,
                                     uint8_t pairSeparator, uint8_t itemSeparator);
int64_t Dictionary_ConvertToString(Dictionary* dict, char* buffer, int32_t size, uint8_t pairSeparator,
                                   uint8_t itemSeparator);

// Path texts. GetKey: after the last '.', '\' or '[' (a '[' stays: "a.b[3]" gives "[3]").
// GetParent: before it (1 when that is not empty). HasParent: 1 when such a delimiter follows
// the first character. SkipRoot: after the first '.', ']' or '\' and the run of them that
// follows (1), else the whole path (0): "[0].x" gives "x".
int64_t Dictionary_PathGetKey(const char* path, char* buffer, int32_t size);
int64_t Dictionary_PathGetParent(const char* path, char* buffer, int32_t size);
int64_t Dictionary_PathHasParent(const char* path);
int64_t Dictionary_PathSkipRoot(const char* path, char* buffer, int32_t size);

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
