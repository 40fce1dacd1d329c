// The CertStoreLoad task type: fetches a JSON document and adds it to the workflow's named
// certificate stores, as a key set or as a list of thumbprints.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct CertStoreTable;
struct Dictionary;

enum : uint32_t {
    CERTSTORELOADTASK_CLASS_ID = 0x48f6212f,
};

extern const TaskInterface CertStoreLoad_Interface;

// Adds the store a document describes to the table under the name: a key set when the document
// (or its single unnamed root dictionary) has a "keys" list, else a store of its thumbprint
// values, which needs at least one that decodes. The print callback (may be null) receives the
// log lines. 1 when a store was added.
int64_t CertStoreLoad_AddDocument(CertStoreTable* table, const char* name, Dictionary* document, void* user,
                                  int64_t (*print)(void* user, const char* format, ...));
