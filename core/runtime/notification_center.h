// The process-wide notification centre: observers keyed by "Type.Name.InstanceId", delivery on
// the centre's thread (other threads hand over and wait), delayed notifications, script observers
// and the count of script references per instance.
#pragma once

#include <cstdarg>
#include <cstdint>

struct Dictionary;
struct NotificationKey;

enum : uint32_t {
    NOTIFICATIONCENTER_CLASS_ID = 0xe53a5cac,
    NOTIFICATIONCENTER_KEY_TAG = 0x5d0c40d9,
    NOTIFICATIONCENTER_OBSERVER_TAG = 0x14d48ff8,
    NOTIFICATIONCENTER_FIRE_TAG = 0xc38e5dff,
    NOTIFICATIONCENTER_REMOVAL_TAG = 0xf0d8c612,
    NOTIFICATIONCENTER_PROCESS_TAG = 0xd99dc716,
    // Texts of records and queued entries: 39 bytes and a terminator.
    NOTIFICATIONCENTER_TEXT_SIZE = 40,
    // "Type.Name.Instance": 121 bytes and a terminator.
    NOTIFICATIONCENTER_KEY_SIZE = 122,
};

// (user, sender type, notification name, instance id, information or null); the result is ignored.
// The texts live only during the call; an observer that keeps the information adds a reference.
typedef int64_t (*NotificationObserverCallback)(void* user, const char* type, const char* name,
                                                const char* instance, Dictionary* info);

typedef int64_t (*NotificationCenterAddInstanceObserverFunc)(const char* type, const char* name,
                                                             const char* instance, void* user,
                                                             NotificationObserverCallback callback);
typedef int64_t (*NotificationCenterRemoveInstanceObserverFunc)(const char* type, const char* name,
                                                                const char* instance, void* user,
                                                                NotificationObserverCallback callback);
typedef int64_t (*NotificationCenterFireFunc)(const char* type, const char* name, const char* instance,
                                              Dictionary* info);
typedef int64_t (*NotificationCenterFireAfterDelayFunc)(const char* type, const char* name,
                                                        const char* instance, int32_t delayMs,
                                                        Dictionary* info);

// Life cycle. Init makes the calling thread the centre's thread; both are idempotent.
int64_t NotificationCenter_Init();
int64_t NotificationCenter_Remove();
// 1 while a centre exists (between Init and Remove).
int64_t NotificationCenter_IsInit();
int64_t NotificationCenter_SetVerbose(uint32_t flag);
// One delivery pass of the main loop (centre's thread only).
int64_t NotificationCenter_Process();
// Event-queue form of the pass; main thread only.
void NotificationCenter_ProcessEvent(void* instance);
int64_t NotificationCenter_Find(const char* type, const char* name, const char* instance,
                                NotificationKey** key);

// Native observers. Removal is deferred to the next pass; a removed observer is never called again.
int64_t NotificationCenter_AddInstanceObserver(const char* type, const char* name, const char* instance,
                                               void* user, NotificationObserverCallback callback);
int64_t NotificationCenter_AddObserver(const char* type, const char* name, void* user,
                                       NotificationObserverCallback callback);
int64_t NotificationCenter_RemoveInstanceObserver(const char* type, const char* name, const char* instance,
                                                  void* user, NotificationObserverCallback callback);
int64_t NotificationCenter_RemoveObserver(const char* type, const char* name, void* user,
                                          NotificationObserverCallback callback);
int64_t NotificationCenter_AddProcessObserver(const char* instance, void* user,
                                              NotificationObserverCallback callback);
int64_t NotificationCenter_RemoveProcessObserver(const char* instance, void* user,
                                                 NotificationObserverCallback callback);
int64_t NotificationCenter_AddInteropObserver(const char* instance, void* user,
                                              NotificationObserverCallback callback);
int64_t NotificationCenter_RemoveInteropObserver(const char* instance, void* user,
                                                 NotificationObserverCallback callback);
int64_t NotificationCenter_RetainInstance(const char* instance);
int64_t NotificationCenter_UnretainInstance(const char* instance);

// Firing. A null instance is "Global". The information is copied where it is queued.
int64_t NotificationCenter_Fire(const char* type, const char* name, const char* instance, Dictionary* info);
int64_t NotificationCenter_FireAfterDelay(const char* type, const char* name, const char* instance,
                                          int32_t delayMs, Dictionary* info);
int64_t NotificationCenter_FireWithJSON(const char* type, const char* name, const char* instance,
                                        const char* format, ...);
int64_t NotificationCenter_FireWithJSONV(const char* type, const char* name, const char* instance,
                                         const char* format, va_list args);
int64_t NotificationCenter_FireAfterDelayWithJSON(const char* type, const char* name, const char* instance,
                                                  int32_t delayMs, const char* format, ...);
int64_t NotificationCenter_FireAfterDelayWithJSONV(const char* type, const char* name, const char* instance,
                                                   int32_t delayMs, const char* format, va_list args);
int64_t NotificationCenter_FireInterop(const char* type, const char* name, const char* instance,
                                       const char* json);
int64_t NotificationCenter_FireAfterDelayInterop(const char* type, const char* name, const char* instance,
                                                 int32_t delayMs, const char* json);

// Script observers (the callback id names a script bridge callback) and script references.
int64_t NotificationCenter_AddInstanceObserverInterop(const char* type, const char* name,
                                                      const char* instance, const char* callbackId);
int64_t NotificationCenter_AddObserverInterop(const char* type, const char* name, const char* callbackId);
int64_t NotificationCenter_RemoveInstanceObserverInterop(const char* type, const char* name,
                                                         const char* instance, const char* callbackId);
int64_t NotificationCenter_RemoveObserverInterop(const char* type, const char* name, const char* callbackId);
int64_t NotificationCenter_AddRefInteropReference(const char* instance);
int64_t NotificationCenter_ReleaseInteropReference(const char* instance);
int64_t NotificationCenter_InteropExecuteObserverCallback(void* user, const char* type, const char* name,
                                                          const char* instance, Dictionary* info);

// Hooks of a host that loads this code as an interop library; null clears a hook.
int64_t NotificationCenter_AddInstanceObserverOverride(NotificationCenterAddInstanceObserverFunc fn);
int64_t NotificationCenter_RemoveInstanceObserverOverride(NotificationCenterRemoveInstanceObserverFunc fn);
int64_t NotificationCenter_FireOverride(NotificationCenterFireFunc fn);
int64_t NotificationCenter_FireAfterDelayOverride(NotificationCenterFireAfterDelayFunc fn);
int64_t NotificationCenter_AssertInstance(void* instance);
int64_t NotificationCenter_AssertInstanceOverride(void* fn);
