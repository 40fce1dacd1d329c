// Hand-over texts between two instances: whatever a second start's command line holds, the text
// it builds stays within the channel and is taken whole by the running instance; whatever bytes
// arrive on the channel (not JSON, other shapes, too long), the receiver answers without a fault.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "host/host.h"
#include "skin/skin_app.h"
#include "workflow/workflow_app.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    WorkflowApp_Init("host_handover_fuzz.log", DEBUG_FLAG_EXTERNAL_PRINT);
    SkinApp_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // As received: a zero-terminated text, cut at the first zero as the channel delivers it.
    SkinApp_OnNewInstanceDataReceived(nullptr, text.c_str());

    // As a command line: what is built must fit and must be taken by the receiver.
    char built[HOST_HANDOVER_MAX_LENGTH + 1];
    uint32_t length = 0;
    if (Host_BuildCommandLineParams(text.c_str(), built, sizeof(built), &length)) {
        if (length > HOST_HANDOVER_MAX_LENGTH || strlen(built) != length) abort();
        if (SkinApp_OnNewInstanceDataReceived(nullptr, built) != 1) abort();
    } else if (length != 0 || built[0] != 0) {
        abort();
    }
    // Delivered notifications do not pile up between inputs.
    EventQueue_Flush(nullptr);
    NotificationCenter_Process();
    return 0;
}
