// CertStoreLoad: the task's own JSON request fetches the document; the store it describes joins
// the workflow's table as removable, so that loading the same name again replaces it.
#include "tasks/cert_store_task.h"

#include <cstdarg>

#include "core/certs/cert_store.h"
#include "core/certs/cert_store_jwks.h"
#include "core/certs/cert_store_thumbprint.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "tasks/task_base.h"
#include "workflow/task_request.h"
#include "workflow/task_type.h"
#include "workflow/workflow.h"

namespace {

constexpr int32_t kNameSize = 320;
constexpr int32_t kUrlSize = TASKREQUEST_URL_SIZE;

struct CertStoreLoadTask {
    TaskBase Head;
    char Name[kNameSize];
};

int64_t OnLoaded(Task* task, void* user, Dictionary* document, int32_t code, int32_t) {
    CertStoreLoadTask* self = static_cast<CertStoreLoadTask*>(user);
    // A task cancelled while its document was on the way has ended already.
    if (Task_IsCompleted(task)) return 1;
    if (code == 0 && document) {
        CertStoreTable* table = nullptr;
        Workflow_GetCertStoreTableHandle(Task_GetWorkflowHandle(task), &table);
        if (!table || !CertStoreLoad_AddDocument(table, self->Name, document, task, Task_PrintCallback)) {
            Task_Print(task, "Unable to load certificate store %s", self->Name);
            Task_AddError(task, "CertStore_Error_Load");
        }
    } else if (code == 0) {
        Task_Print(task, "Certificate store %s has no document", self->Name);
        Task_AddError(task, "CertStore_Error_Load");
    }
    return TaskBase_Complete(&self->Head, nullptr);
}

int64_t CertStoreLoad_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    CertStoreLoadTask* self = reinterpret_cast<CertStoreLoadTask*>(TaskBase_Check(user, CERTSTORELOADTASK_CLASS_ID));
    TaskBase* base = &self->Head;
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "url") || !TaskBase_RequireArgument(base, "name")) return 1;
    char* url = static_cast<char*>(Memory_Alloc(kUrlSize));
    Task_GetStringArgument(task, "url", url, kUrlSize);
    Task_GetStringArgument(task, "name", self->Name, sizeof(self->Name));
    const int64_t started = Task_RequestJSON(task, url, self, OnLoaded);
    Memory_Free(url, kUrlSize);
    if (!started) return TaskBase_Fail(base, "CertStore_Error_Load", "Cannot request the certificate store");
    return 1;
}

// The request calls back into the instance: it goes with it.
void CertStoreLoad_Free(TaskBase* base) {
    Task_RequestDelete(base->Owner);
}

const TaskBaseType kCertStoreLoadType = {.ClassId = CERTSTORELOADTASK_CLASS_ID,
                                         .Size = sizeof(CertStoreLoadTask),
                                         .OnStart = CertStoreLoad_OnStart,
                                         .Free = CertStoreLoad_Free};

int64_t CertStoreLoad_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kCertStoreLoadType);
}

} // namespace

const TaskInterface CertStoreLoad_Interface = {"CertStoreLoad", CertStoreLoad_Create, TaskBase_AddRef,
                                               TaskBase_Release};

int64_t CertStoreLoad_AddDocument(CertStoreTable* table, const char* name, Dictionary* document, void* user,
                                  int64_t (*print)(void* user, const char* format, ...)) {
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    if (!root) root = document;
    uint32_t type = 0;
    int64_t added = 0;
    CertStoreInterface* store = nullptr;
    if (Dictionary_GetTypeByKey(root, "keys", &type) && type == DICTIONARY_TYPE_LIST) {
        if (print) print(user, "Add JWKS certificate store (%s)", name);
        CertStoreJWKS* jwks = nullptr;
        if (!CertStoreJWKS_Create(&jwks)) return 0;
        CertStoreJWKS_SetJWKSHandle(jwks, root);
        store = CertStoreJWKS_GetInterfaceHandle(jwks);
        CertStoreJWKS_Release(&jwks);
    } else {
        if (print) print(user, "Add thumbprint certificate store (%s)", name);
        CertStoreThumbprint* thumbprints = nullptr;
        if (!CertStoreThumbprint_Create(&thumbprints)) return 0;
        if (print) CertStoreThumbprint_SetPrintCallback(thumbprints, user, print);
        if (CertStoreThumbprint_TrustDictionary(thumbprints, root) == 1)
            store = CertStoreThumbprint_GetInterfaceHandle(thumbprints);
        CertStoreThumbprint_Release(&thumbprints);
    }
    if (store) {
        added = CertStoreTable_Add(table, name, 1, store) == 1 ? 1 : 0;
        CertStoreInterface_Release(&store);
    }
    return added;
}
