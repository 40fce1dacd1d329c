// The task types that edit data: values of JSON, XML, property-list and INI documents by key path,
// and keys and values of the registry; with the argument readers the two families share.
#pragma once
#include <cstdint>

#include "workflow/task.h"

// Puts the data-document and registry types in the engine's table of built-in types. Returns 1.
int64_t DataTasks_Register();
int64_t DocumentTasks_Register();
int64_t RegistryTasks_Register();

// Calls `each` with every entry of the definition's argument `key`, in order: each element of a
// list, or the argument itself when it is a single value; the text is cut to `capacity` - 1 bytes,
// macro-expanded by the task, and normalised as a registry path when `fixSlash` is set. Answers the
// number of entries; 0 when the argument is absent.
typedef void (*DataTaskEntryCallback)(void* user, const char* text);
int32_t DataTask_EachEntry(Task* task, const char* key, int32_t capacity, bool fixSlash, void* user,
                           DataTaskEntryCallback each);
// 1 when the definition's argument `key` is a list.
int64_t DataTask_IsList(Task* task, const char* key);
// The text of a value item as written into a text-only store: a Boolean is "true" or "false" (it
// keeps no text of its own), every other item its own text; cut to the buffer.
int64_t DataTask_ItemText(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t capacity);
// Prints the dictionary one item a line through the task's log.
int64_t DataTask_Dump(Task* task, Dictionary* dict);
// 1 when the task holds an error.
int64_t DataTask_HasErrors(Task* task);
