// Registration of the Unzip, URL redirect, interop, certificate-store and analytics task types.
#include "tasks/net_tasks.h"

#include "tasks/analytics_task.h"
#include "tasks/cert_store_task.h"
#include "tasks/interop_tasks.h"
#include "tasks/redirect_tasks.h"
#include "tasks/unzip_task.h"
#include "workflow/task_type.h"

int64_t NetTasks_Register() {
    static const TaskInterface* const kRecords[] = {
        &Unzip_Interface,
        &URLRedirect_Interface,
        &URLRedirectMacro_Interface,
        &Analytics_Interface,
        &CertStoreLoad_Interface,
        &InteropLoad_Interface,
        &InteropUnload_Interface,
    };
    for (const TaskInterface* record : kRecords) TaskType_RegisterDefault(record);
    return 1;
}
