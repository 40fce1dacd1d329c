// Interop libraries the engine loads at run time: each file's signature is checked on a thread of
// its own first, and the pump loads the library on the main thread once the check is done.
#include <cstring>

#include "core/certs/authenticate_async.h"
#include "core/certs/cert_store.h"
#include "core/certs/executable.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "workflow/workflow_app_internal.h"

namespace {

void FireInterop(WorkflowApp* app, const char* what, uint32_t successful, const char* name, const char* path) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetBooleanByKey(info, "successful", successful ? 1 : 0);
    Dictionary_SetStringByKey(info, "name", name);
    Dictionary_SetStringByKey(info, "path", path);
    NotificationCenter_Fire("Interop", what, app->Header.InstanceId, info);
    Dictionary_Release(&info);
}

void Unlink(WorkflowAppInteropList* list, WorkflowAppInteropEntry* entry) {
    if (entry->Prev)
        entry->Prev->Next = entry->Next;
    else
        list->First = entry->Next;
    if (entry->Next)
        entry->Next->Prev = entry->Prev;
    else
        list->Last = entry->Prev;
    list->Count--;
}

} // namespace

void WorkflowApp_AuthenticateInteropCallback(AuthenticateAsync*, void* user, uint32_t result) {
    WorkflowAppInteropEntry* entry = static_cast<WorkflowAppInteropEntry*>(user);
    WorkflowApp* app = GlobalWorkflowApp;
    uint32_t successful = result ? 1 : 0;
    if (successful) successful = Interop_LoadLibrary(entry->Path) ? 1 : 0;
    if (app) FireInterop(app, "Load", successful, entry->Name, entry->Path);
    entry->Done = 1;
}

int64_t WorkflowApp_LoadInterop(const char* name, const char* path) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(path);
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    // A library at a location without its folder would be a file of whatever the current folder
    // is: nothing of it is read, and the load ends as a failed one does.
    char refused[1024];
    if (String_ExpandRefuseArgument("path", path, refused, (int32_t)sizeof(refused))) {
        Log_Error("Interop library (%s) not loaded: %s\n", name, refused);
        FireInterop(app, "Load", 0, name, path);
        return 1;
    }
    char version[120] = "";
    Executable_GetFileVersion(path, version, sizeof(version));
    Log_Info("Loading interop library (%s) (v%s)\n", path, version);

    WorkflowAppInteropEntry* entry =
        static_cast<WorkflowAppInteropEntry*>(Memory_AllocZero(sizeof(WorkflowAppInteropEntry)));
    entry->ClassId = WORKFLOWAPP_INTEROP_LIST_CLASS_ID;
    String_CopyLength(entry->Name, name, sizeof(entry->Name));
    String_CopyLength(entry->Path, path, sizeof(entry->Path));
    AuthenticateAsync_Create(&entry->Authenticate);
    AuthenticateAsync_SetCertStoreHandle(entry->Authenticate, app->InteropCertStore);
    AuthenticateAsync_SetSourcePath(entry->Authenticate, entry->Path);
    AuthenticateAsync_SetCompleteCallback(entry->Authenticate, entry, WorkflowApp_AuthenticateInteropCallback);

    WorkflowAppInteropList* list = &app->InteropAuthentications;
    entry->Prev = list->Last;
    if (list->Last)
        list->Last->Next = entry;
    else
        list->First = entry;
    list->Last = entry;
    list->Count++;
    // A check that cannot start completes at once as failed; the pump still frees the entry.
    AuthenticateAsync_Start(entry->Authenticate);
    return 1;
}

int64_t WorkflowApp_UnloadInterop(const char* name, const char* path) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(path);
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    const int64_t successful = Interop_FreeLibraryByName(path);
    FireInterop(app, "Unload", successful ? 1 : 0, name, path);
    return 1;
}

int64_t WorkflowApp_ProcessInterop() {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app) return 0;
    WorkflowAppInteropList* list = &app->InteropAuthentications;
    for (WorkflowAppInteropEntry* entry = list->First; entry; entry = entry->Next) {
        if (!entry->Done) {
            AuthenticateAsync_Process(entry->Authenticate);
            continue;
        }
        // One finished entry goes per pass.
        Unlink(list, entry);
        WorkflowApp_FreeInteropEntry(entry);
        break;
    }
    return 1;
}

void WorkflowApp_FreeInteropEntry(WorkflowAppInteropEntry* entry) {
    if (entry->Authenticate) AuthenticateAsync_Delete(&entry->Authenticate);
    Memory_Free(entry, sizeof(WorkflowAppInteropEntry));
}
