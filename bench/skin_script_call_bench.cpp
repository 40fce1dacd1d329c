// How long one script call at the body bound holds the thread that answers it (the window's main
// loop): the body taken in as the view's scheme handler takes it, in 64 KiB reads, then an invoke
// of a binding whose text argument fills the bound, or a SHA-256 digest of a text of the bound's
// size. The hold must stay well under 100 ms. Beside each, a peer doing the same work as its users
// would: RapidJSON parsing the binding, OpenSSL's SHA-256 over the text. Ratios are our speed over
// the peer's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/peer_ratio.h"
#include "bench/rapidjson_peer.h"
#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "skin/script_invoker.h"

#ifdef QVR_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr size_t kBound = SCRIPTINVOKER_MAX_BODY;

// A binding of the bound's size: the method and one text argument that fills the rest.
std::string Binding() {
    const std::string head = "{\"method\":\"take\",\"text\":\"", tail = "\"}";
    return head + std::string(kBound - head.size() - tail.size(), 'a') + tail;
}

// The heaviest binding of the bound's size for the reader: a list of a million one-digit
// numbers, each an item of its own.
std::string ListBinding() {
    const std::string head = "{\"method\":\"take\",\"text\":\"x\",\"list\":[", tail = "1]}";
    std::string text = head;
    while (text.size() + 2 + tail.size() <= kBound) text += "1,";
    return text + tail;
}

// Every character of the text argument an escape the reader must decode.
std::string EscapedBinding() {
    const std::string head = "{\"method\":\"take\",\"text\":\"", tail = "\"}";
    std::string text = head;
    while (text.size() + 6 + tail.size() <= kBound) text += "\\u00e9";
    return text + tail;
}

// "Test.Take" answers the length of its "text" argument.
int64_t CreateTake(const char* className, char*, int32_t, void*, InteropExecuteFunc, InteropInvokeFunc* invoke,
                   InteropReleaseFunc* release, InteropProcessFunc* process, void** user) {
    if (strcmp(className, "Test.Take") != 0) return 0;
    *invoke = [](void*, Dictionary* request, Dictionary* response) -> int64_t {
        const char* text = nullptr;
        if (!Dictionary_GetStringPtrByKey(request, "text", &text) || !text) return 0;
        return Dictionary_SetInt64ByKey(response, "returnValue", (int64_t)strlen(text));
    };
    *release = [](void** u) -> int64_t { return (*u = nullptr), 1; };
    *process = [](void*) -> int64_t { return 1; };
    *user = nullptr;
    return 1;
}

// The body as the scheme handler takes it in: 64 KiB reads appended to a growing buffer.
void TakeIn(const std::string& body, std::string* into) {
    into->clear();
    for (size_t at = 0; at < body.size(); at += 65536) into->append(body, at, 65536);
}

struct Bridge {
    ScriptInvoker* Invoker = nullptr;
    char Id[INTEROP_INSTANCE_ID_SIZE] = "";
    Bridge() {
        Thread_Init();
        EventQueue_Init();
        Interop_Init();
        Interop_Add(
            "take", +[]() -> int64_t { return 1; }, +[]() -> int64_t { return 1; }, CreateTake,
            +[](const char*, void*) -> int64_t { return 1; }, +[](const char*, const char*) -> int64_t { return 1; });
        ScriptInvoker_Create(&Invoker);
        Interop_DispatchCreateInstance("Test.Take", Id, sizeof(Id), nullptr, nullptr, nullptr);
    }
};

Bridge& TheBridge() {
    static Bridge bridge;
    return bridge;
}

void InvokeAtBound(benchmark::State& state, const std::string& binding) {
    Bridge& bridge = TheBridge();
    std::string body;
    MemoryStream* reply = nullptr;
    MemoryStream_Create(&reply);
    MemoryStream_SetAutoGrow(reply, 1);
    for (auto _ : state) {
        TakeIn(binding, &body);
        MemoryStream_DiscardAll(reply);
        if (ScriptInvoker_Invoke(bridge.Invoker, bridge.Id, body.c_str(), reply) != 1)
            state.SkipWithError("the invoke failed");
    }
    MemoryStream_Release(&reply);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kBound);
}

void RapidJsonAtBound(benchmark::State& state, const std::string& binding) {
    RapidJsonParseLoop(state, binding);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kBound);
}

void BM_HashAtBound(benchmark::State& state) {
    Bridge& bridge = TheBridge();
    const std::string text(kBound, 'a');
    std::string body;
    char digest[135];
    for (auto _ : state) {
        TakeIn(text, &body);
        if (ScriptInvoker_Hash(bridge.Invoker, "SHA256", body.data(), (int32_t)body.size(), digest,
                               sizeof(digest)) != 1)
            state.SkipWithError("the digest failed");
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kBound);
}

#ifdef QVR_HAVE_OPENSSL
void BM_OpenSslHashAtBound(benchmark::State& state) {
    const std::string text(kBound, 'a');
    unsigned char digest[32];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kBound);
}
BENCHMARK(BM_OpenSslHashAtBound)->Unit(benchmark::kMillisecond);
PEER_RATIO("SHA-256 of a text at the bound", "BM_HashAtBound", "BM_OpenSslHashAtBound");
#endif

} // namespace

BENCHMARK_CAPTURE(InvokeAtBound, Text, Binding())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InvokeAtBound, Escapes, EscapedBinding())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InvokeAtBound, List, ListBinding())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RapidJsonAtBound, Text, Binding())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RapidJsonAtBound, Escapes, EscapedBinding())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RapidJsonAtBound, List, ListBinding())->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashAtBound)->Unit(benchmark::kMillisecond);
PEER_RATIO("invoke of a binding at the bound, one text", "InvokeAtBound/Text", "RapidJsonAtBound/Text");
PEER_RATIO("invoke of a binding at the bound, escapes", "InvokeAtBound/Escapes", "RapidJsonAtBound/Escapes");
PEER_RATIO("invoke of a binding at the bound, a million numbers", "InvokeAtBound/List", "RapidJsonAtBound/List");

PEER_RATIO_MAIN()
