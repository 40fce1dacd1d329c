// Registration of the built-in task types with the engine.
#include "tasks/task_library.h"

#include "tasks/basic_tasks.h"
#include "tasks/data_tasks.h"
#include "tasks/download_task.h"
#include "tasks/file_tasks.h"
#include "tasks/net_tasks.h"
#include "tasks/process_tasks.h"
#include "tasks/repository_tasks.h"
#include "workflow/task_type.h"

int64_t TaskLibrary_Register() {
    BasicTasks_Register();
    FileTasks_Register();
    ProcessTasks_Register();
    DownloadTasks_Register();
    NetTasks_Register();
    RepositoryTasks_Register();
    if (!DataTasks_Register()) return 0;
    return 1;
}
