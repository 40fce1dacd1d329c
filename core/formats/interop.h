// Script bridge registry: interop libraries (in-process or loaded from files), the script-visible
// instances they create, native callbacks that script code refers to by id, the script contexts
// (execute callbacks) that receive messages, and the queue of messages for them.
#pragma once

#include <cstdint>

struct Dictionary;
struct InteropCallback;
struct InteropExecuteCallback;
struct InteropInstance;
struct InteropLibrary;
struct MemoryStream;

enum : uint32_t {
    INTEROP_CLASS_ID = 0xBA307646,
    INTEROP_CALLBACK_CLASS_ID = 0x76D1ABFF,
    INTEROP_EXECUTE_CALLBACK_CLASS_ID = 0x021F58FA,
    INTEROP_EXECUTE_ITEM_CLASS_ID = 0x15698A9F,
    INTEROP_LIBRARY_CLASS_ID = 0x645DE094,
    INTEROP_INSTANCE_CLASS_ID = 0x8D9EFCDD,
    // Callback and instance ids hold at most 39 characters and a terminator.
    INTEROP_CALLBACK_ID_SIZE = 40,
    INTEROP_INSTANCE_ID_SIZE = 40,
    // Library names (paths of loaded libraries) and option paths: at most 319 characters.
    INTEROP_NAME_SIZE = 320,
};

// A native callback's function: (user pointer given at registration, argument).
typedef int64_t (*InteropCallbackFunc)(void* user, void* argument);
// A script context's function: (user, its registration, message text, 0).
typedef int64_t (*InteropExecuteFunc)(void* user, InteropExecuteCallback* callback, const char* text,
                                      void* reserved);

// An instance's entry points, as its library hands them out at creation.
typedef int64_t (*InteropInvokeFunc)(void* userContext, Dictionary* request, Dictionary* response);
typedef int64_t (*InteropReleaseFunc)(void** userContext);
typedef int64_t (*InteropProcessFunc)(void* userContext);

// A library's entry points (exported by a loaded library under the names "Interop_Load",
// "Interop_Unload", "Interop_CreateInstance", "Interop_SetOverride" and "Interop_SetOption").
typedef int64_t (*InteropInitFunc)();
typedef int64_t (*InteropRemoveFunc)();
typedef int64_t (*InteropCreateInstanceFunc)(const char* className, char* id, int32_t idSize,
                                             void* executeUser, InteropExecuteFunc executeFunction,
                                             InteropInvokeFunc* invoke, InteropReleaseFunc* release,
                                             InteropProcessFunc* process, void** userContext);
typedef int64_t (*InteropSetOverrideFunc)(const char* name, void* function);
typedef int64_t (*InteropSetOptionFunc)(const char* name, const char* value);

// The registry: created once (a second Init does nothing), freed by Remove. Both return 1.
int64_t Interop_Init();
int64_t Interop_Remove();
// The configuration whose leaves are passed to each library added later (not owned).
int64_t Interop_SetConfigHandle(Dictionary* config);
int64_t Interop_GetConfigHandle(Dictionary** config);
int64_t Interop_SetVerbose(uint32_t verbose);
int64_t Interop_GetVerbose(uint32_t* verbose);

// ---- Libraries ---------------------------------------------------------------------------------
// Registers an in-process library: host services through SetOverride, then Init, then the
// configuration's leaves through SetOption. A missing entry point, or an Init that answers 0,
// refuses the library (null).
InteropLibrary* Interop_Add(const char* name, InteropInitFunc init, InteropRemoveFunc remove,
                            InteropCreateInstanceFunc createInstance, InteropSetOverrideFunc setOverride,
                            InteropSetOptionFunc setOption);
// Opens the file (an absolute path; see Platform_LoadLibrary) and registers it under its path; a
// second load of the same file adds a reference to the same library. Null on failure, the file
// closed again.
InteropLibrary* Interop_LoadLibrary(const char* path);
int64_t Interop_SetLibraryOption(InteropLibrary* library, const char* name, const char* value);
int64_t Interop_SetLibraryOverride(InteropLibrary* library, const char* name, void* function);
// SetOption of every library in registration order, under the lock.
int64_t Interop_DispatchSetOption(const char* name, const char* value);
// Requests one unload; the pass unloads a library once its requests match its references and
// none of its instances is alive.
int64_t Interop_FreeLibraryByName(const char* name);
int64_t Interop_FreeLibrary(InteropLibrary* library);
int32_t Interop_GetLibraryCount();
// Runs on a library's unload thread: its Remove, then the module closed. Answers 0.
uint32_t Interop_ThreadRemoveLibrary(void* library);

// The receiving end of the host services for a library built on this runtime: installs the
// named service with the runtime's override setter (1), or answers 0 for a name it does not take.
extern "C" int64_t Interop_SetOverride(const char* name, void* function);

// ---- Instances -----------------------------------------------------------------------------------
// The id buffer holds idSize bytes: an empty id (or "undefined" in any case) gets a new GUID,
// unless the library that accepts the class writes its own. 1 when an instance exists under the
// id afterwards.
int64_t Interop_DispatchCreateInstance(const char* className, char* id, int32_t idSize, void* requester,
                                       void* executeUser, InteropExecuteFunc executeFunction);
// Stores the CRC-32 of the request's "method" as the private integer "methodHash" and calls the
// instance's Invoke; 1 when it answered nonzero. The response is emptied first.
int64_t Interop_DispatchInvoke(const char* id, Dictionary* request, Dictionary* response);
// Parses the JSON request, invokes, and writes the response as one JSON object into the stream
// (left empty on failure).
int64_t Interop_DispatchInvokeJSON(const char* id, const char* request, MemoryStream* output);
int64_t Interop_DispatchReleaseInstance(const char* id);
int64_t Interop_DispatchHasInstance(const char* id);
// Finds the instance and raises its use count; ReleaseInstance lowers it and nulls the handle.
// The record stays valid in between, even when the instance is removed meanwhile.
int64_t Interop_GetInstance(const char* id, InteropInstance** instance);
int64_t Interop_ReleaseInstance(InteropInstance** instance);
// Removes the id from the table, calls the instance's Release and frees the record; while a
// caller still holds it (Interop_GetInstance, an invoke under way) the Release and the free wait
// for the last Interop_ReleaseInstance, on the main thread.
int64_t Interop_RemoveInstance(InteropInstance* instance, const char* id);
// Main thread only.
int32_t Interop_InstancesActiveInRequester(void* requester);
int32_t Interop_InstancesActiveInLibrary(InteropLibrary* library);
// Main thread only: removes the requester's instances (all for a null requester), as
// Interop_RemoveInstance does; answers 0.
int64_t Interop_RemoveInstancesActiveInRequester(void* requester);
// The same for a requester that goes away in order (a window whose page allows closing, closed
// at the user's request): its instances are released with it, said at DEBUG only. 0 for null.
int64_t Interop_ReleaseInstancesOfRequester(void* requester);
// 32 lower-case hexadecimal digits of a new random GUID.
int64_t Interop_GenerateInstanceId(char* buffer, int32_t size);

// ---- Native callbacks ----------------------------------------------------------------------------

// Native callbacks. The id is cut to 39 characters; a null or empty id gets a new GUID text.
int64_t Interop_AddCallback(const char* id, void* user, InteropCallbackFunc function,
                            InteropCallback** callback);
// First live registration whose id matches without regard to ASCII case, with a reference added:
// release it (Interop_ReleaseCallback) once done with it, after raising.
int64_t Interop_GetCallbackById(const char* id, InteropCallback** callback);
const char* Interop_GetCallbackId(InteropCallback* callback);
// function(user, argument), or 0 when the registration has no function.
int64_t Interop_RaiseCallback(InteropCallback* callback, void* argument);
// Drops one reference and nulls the handle; the record is freed by the next Interop_Process once
// no reference is left.
int64_t Interop_ReleaseCallback(InteropCallback** callback);
InteropCallback* Interop_AddRefCallback(InteropCallback* callback);
int64_t Interop_GetCallbackUserPtr(InteropCallback* callback, void** user);

// ---- Messages to script --------------------------------------------------------------------------

// Script contexts (main thread only). Adding the same user and function again returns the
// existing registration.
int64_t Interop_AddExecuteCallback(InteropExecuteCallback** callback, void* user,
                                   InteropExecuteFunc function);
// Unlinks and frees the registration and nulls the handle; answers 0.
int64_t Interop_RemoveExecuteCallback(InteropExecuteCallback** callback);
int32_t Interop_GetExecuteCallbackCount();

// The callback function that queues a Dictionary (a reference is added) for the script contexts
// and schedules Interop_ProcessEvent on the main event queue. Main thread only.
int64_t Interop_Execute(void* user, void* dictionary);
// Number of Dictionaries waiting in the execute queue.
int32_t Interop_GetExecuteQueueCount();
// Main thread only: the periodic pass, each step cut into 0.1-second slices: Process of every
// instance (removing those no longer used), unload of libraries nobody uses, freeing of
// released native callbacks, and hand-over of the queued messages as one JSON array.
int64_t Interop_Process();
void Interop_ProcessEvent(void* instance);
