// Reads arbitrary bytes as a JSON document and adds the certificate store it describes to a table,
// as a key set or as thumbprints; the table is asked for the store again afterwards.
#include <cstdint>
#include <cstdlib>

#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "tasks/cert_store_task.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    JSON* json = nullptr;
    Dictionary* document = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&document);
    JSON_SetDictionaryHandle(json, document);
    if (JSON_LoadBuffer(json, data, (uint32_t)size) == 1) {
        CertStoreTable* table = nullptr;
        CertStoreTable_Create(&table);
        const int64_t added = CertStoreLoad_AddDocument(table, "fuzz", document, nullptr, nullptr);
        CertStoreInterface* store = nullptr;
        const int64_t found = CertStoreTable_GetInterfaceHandle(table, "fuzz", &store);
        if (found != added) abort();
        if (store) CertStoreInterface_Release(&store);
        CertStoreTable_Release(&table);
    }
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&document);
    return 0;
}
