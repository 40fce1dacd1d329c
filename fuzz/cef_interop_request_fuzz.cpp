// Fuzz target of the script bridge's requests: arbitrary methods, URLs, queries and bodies reach
// the browser side's routing, and arbitrary ids, type names and bindings the page side's script,
// whose string literals must stay closed around every value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/formats/interop.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "skin/web_browser.h"
#include "host/cef/cef_script_bridge.h"
#include "tests/host/cef_fakes_bridge.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

// The literals of a built script, read as script reads them; aborts on one left open.
int LiteralCount(const std::string& script) {
    int literals = 0;
    bool inside = false;
    for (size_t i = 0; i < script.size(); i++) {
        const char c = script[i];
        if (inside) {
            Check(c != '\n' && c != '\r');
            if (c == '\\') i++;
            else if (c == '\'') inside = false;
        } else if (c == '\'') {
            inside = true;
            literals++;
        }
    }
    Check(!inside);
    return literals;
}

std::string Field(const std::string& text, size_t* at) {
    const size_t end = text.find('\n', *at);
    std::string field = text.substr(*at, end == std::string::npos ? std::string::npos : end - *at);
    *at = end == std::string::npos ? text.size() : end + 1;
    return field;
}

// Deferred calls run as soon as they are posted, as if the user-interface thread were idle.
struct Task {
    WebBrowserTaskFunc execute, remove;
    int refs;
    bool ran;
    void* data[2];
};
Task* TaskOf(void* data) { return reinterpret_cast<Task*>(static_cast<char*>(data) - offsetof(Task, data)); }
void Drop(Task* task) {
    if (--task->refs > 0) return;
    if (!task->ran && task->remove) task->remove(task->data);
    delete task;
}
const WebBrowserTaskInterface kTasks = {
    [](void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove) -> int64_t {
        if (size > sizeof(Task::data)) return 0;
        *task = (new Task{execute, remove, 1, false, {}})->data;
        return 1;
    },
    [](void* data) -> int64_t {
        Task* task = TaskOf(data);
        task->ran = true;
        task->execute(task->data);
        return 1;
    },
    [](void*, int64_t) -> int64_t { return 0; },
    [](void* data) -> void* { return TaskOf(data)->refs++, data; },
    [](void* data) -> int64_t { return Drop(TaskOf(data)), 1; },
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    WebBrowserTask_SetInterface(&kTasks);
    return 0;
}

// Byte 0 chooses the method and the body's shape; then lines: URL, a, b, c; the rest is the body.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    static const char* const methods[] = {"GET", "POST", "HEAD", "DELETE", "PUT", "", "post", "OPTIONS"};
    const uint8_t mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t at = 0;
    const std::string url = Field(text, &at);
    const std::string a = Field(text, &at), b = Field(text, &at), c = Field(text, &at);
    const std::string body = text.substr(at);

    std::string script;
    CEFScriptInvoker_BuildScript(methods[mode & 7], a, b, c, nullptr, &script);
    Check(LiteralCount(script) == 2);
    CEFScriptInvoker_BuildScript("POST", a, "", "", &body, &script);
    Check(LiteralCount(script) == 3);

    FakeArena arena;
    auto* request = arena.Make<FakeBodyRequest>(&arena);
    request->method = methods[mode & 7];
    request->url = url;
    if (mode & 8) {
        request->SetBody(body);
        if (mode & 16) request->body->elements.push_back(arena.Make<FakePostElement>());
        if (mode & 32) request->body->elements[0]->type = PDE_TYPE_FILE;
    }
    CEFResourceHandler* handler = CEFInterop_Start(url.c_str(), request);
    if (handler) {
        auto* callback = arena.Make<FakeCallback>();
        auto* response = arena.Make<FakeResponse>();
        bool now = false;
        // Nothing lives under the fuzzed ids: a deferred call is cancelled, an immediate one answers.
        Check(handler->Open(request, &now, callback));
        if (now) {
            int64_t length = -1;
            std::string redirect;
            handler->GetResponseHeaders(response, &length, &redirect);
            Check(length == 0 && (response->status == 200 || response->status == 204));
            char buffer[64];
            int32_t count = -1;
            Check(!handler->Read(buffer, sizeof(buffer), &count, nullptr) && count == 0);
        } else {
            Check(callback->answers == std::vector<std::string>{"cancel"});
        }
        int64_t skipped = 0;
        Check(!handler->Skip(1, &skipped, nullptr) && skipped == -328);
        handler->Cancel();
        handler->Release();
    }
    Check(arena.Balanced());
    return 0;
}
