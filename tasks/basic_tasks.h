// The basic task types: ending or stopping a workflow, waiting, logging, notifications, status,
// comparisons of strings, numbers and versions, a cross-process lock and environment variables.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    ENDTASK_CLASS_ID = 0x5f860722,
    IMPLODETASK_CLASS_ID = 0xb461f6e7,
    SLEEPTASK_CLASS_ID = 0x2f6b2793,
    LOGTASK_CLASS_ID = 0x571f5012,
    NOTIFICATIONTASK_CLASS_ID = 0xdc1552f5,
    STATUSTASK_CLASS_ID = 0xd86db48c,
    STRINGCONTAINSTASK_CLASS_ID = 0xbbcc7c7e,
    STRINGCOMPARETASK_CLASS_ID = 0xb0ac3d70,
    NUMBERCOMPARETASK_CLASS_ID = 0xcc7a554e,
    VERSIONCOMPARETASK_CLASS_ID = 0x0201ec17,
    SINGLETONTASK_CLASS_ID = 0xdc9201aa,
    ENVIRONMENTTASK_CLASS_ID = 0x1e728477,
};

extern const TaskInterface End_Interface;
extern const TaskInterface Error_Interface;
extern const TaskInterface Shutdown_Interface;
extern const TaskInterface Implode_Interface;
extern const TaskInterface Sleep_Interface;
extern const TaskInterface Log_Interface;
extern const TaskInterface Notification_Interface;
extern const TaskInterface Status_Interface;
extern const TaskInterface StringContains_Interface;
extern const TaskInterface StringCompare_Interface;
extern const TaskInterface NumberCompare_Interface;
extern const TaskInterface VersionCompare_Interface;
extern const TaskInterface Singleton_Interface;
extern const TaskInterface Environment_Interface;
extern const TaskInterface EnvironmentGet_Interface;
extern const TaskInterface EnvironmentSet_Interface;

// Puts the basic types in the engine's table of built-in types. Returns 1.
int64_t BasicTasks_Register();
