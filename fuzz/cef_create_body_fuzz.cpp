// Fuzz target of the create requests a page posts to "/instances/": any body is either refused
// or gives a handler whose answer stays within its id, and nothing the engine lent is kept.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/formats/interop.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "host/cef/cef_script_bridge.h"
#include "tests/host/cef_fakes_bridge.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    FakeArena arena;
    auto* request = arena.Make<FakeBodyRequest>(&arena);
    request->method = "POST";
    request->url = "https://skin.invalid/instances/?x=1";
    request->SetBody(std::string(reinterpret_cast<const char*>(data), size));
    CEFResourceHandler* handler = CEFInterop_Start(request->url.c_str(), request);
    Check(!handler || (size >= 1 && size <= 320));
    if (handler) {
        auto* response = arena.Make<FakeResponse>();
        int64_t length = -1;
        std::string redirect;
        handler->GetResponseHeaders(response, &length, &redirect);
        Check(response->status == 201 && length >= 0 && length < 40);
        char buffer[8];
        int32_t count = 0;
        int64_t total = 0;
        for (int guard = 0; guard < 16 && handler->Read(buffer, sizeof(buffer), &count, nullptr); guard++)
            total += count;
        Check(total == length);
        handler->Release();
    }
    Check(arena.Balanced());
    return 0;
}
