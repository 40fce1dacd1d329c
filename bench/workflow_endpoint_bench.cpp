// Notification endpoints linked over 127.0.0.1 beside an echo through socat carrying records of
// the same size: notifications per second (each one crosses both links, as an echoed record
// crosses twice) and the round trip (a notification over, and the answer to it back).
// Both endpoints live in this process and are pumped as the engine pumps them, without sleeping.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/certs/authenticate.h"
#include "core/crypto/rc4.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "workflow/notification_endpoint.h"

namespace {

constexpr int kNotifications = 2000;
constexpr int kRoundTrips = 200;
constexpr double kWaitSeconds = 20;
const std::string kPad(96, 'p');

int64_t Quiet(const char*) {
    return 1;
}

int64_t QuietPrint(void*, const char*, ...) {
    return 1;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What crossed: remote "Bench" notifications by name, and the last round-trip number answered.
struct Counter {
    int Ticks = 0;
    int PingAnswered = -1; // the last ping number a pong was fired for
    int PongSeen = -1;     // the last pong number that came back
};

int32_t Number(Dictionary* info) {
    char text[16] = {};
    if (info) Dictionary_GetStringByKey(info, "n", text, (int32_t)sizeof(text));
    return atoi(text);
}

void FireBench(const char* name, int32_t n) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "n", std::to_string(n).c_str());
    Dictionary_SetStringByKey(info, "pad", kPad.c_str());
    NotificationCenter_Fire("Bench", name, nullptr, info);
    Dictionary_Release(&info);
}

int64_t Observe(void* user, const char* type, const char* name, const char*, Dictionary* info) {
    Counter* counter = static_cast<Counter*>(user);
    uint32_t remote = 0;
    if (!info || strcmp(type, "Bench") != 0 || !Dictionary_GetBooleanByKey(info, "isRemote", &remote) || !remote)
        return 1;
    const int32_t n = Number(info);
    if (strcmp(name, "Tick") == 0) {
        counter->Ticks++;
    } else if (strcmp(name, "Ping") == 0 && n > counter->PingAnswered) {
        // Each link brings the ping; the first one is answered.
        counter->PingAnswered = n;
        FireBench("Pong", n);
    } else if (strcmp(name, "Pong") == 0 && n > counter->PongSeen) {
        counter->PongSeen = n;
    }
    return 1;
}

struct Env {
    NotificationEndPoint* Ui = nullptr;
    NotificationEndPoint* Worker = nullptr;
    Counter Seen;
    TempDir Dir;
    std::unique_ptr<TlsServer> Socat;
    uint32_t RecordSize = 0;
    bool Linked = false;

    void Pump() {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        NotificationEndPoint_Process(Ui);
        NotificationEndPoint_Process(Worker);
    }
    bool PumpUntil(const std::function<bool()>& done) {
        const double end = Now() + kWaitSeconds;
        while (!done() && Now() < end) Pump();
        return done();
    }
    static uint32_t Port(NotificationEndPoint* e) {
        WebServer* server = nullptr;
        NotificationEndPoint_GetWebServerHandle(e, &server);
        uint32_t port = 0;
        WebServer_GetActiveListenPort(server, &port);
        return port;
    }

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        Meter_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        WebGet_Init();
        NotificationEndPoint_Create(&Ui);
        NotificationEndPoint_Create(&Worker);
        NotificationEndPoint_SetPrintCallback(Ui, nullptr, QuietPrint);
        NotificationEndPoint_SetPrintCallback(Worker, nullptr, QuietPrint);
        NotificationCenter_AddInstanceObserver(nullptr, nullptr, nullptr, &Seen, Observe);
        NotificationEndPoint_Start(Ui);
        NotificationEndPoint_Start(Worker);
        if (!PumpUntil([&] { return Port(Ui) && Port(Worker); })) return;
        // Linked as a launcher links its worker; each side then holds a stream from the other.
        char url[8192];
        NotificationEndPoint_GetWebServerURL(Ui, 1, url, (int32_t)sizeof(url));
        NotificationEndPoint_AddEndPoint(Worker, url);
        Linked = PumpUntil([&] {
            return NotificationEndPoint_IsConnected(Ui) && NotificationEndPoint_IsConnected(Worker) &&
                   NotificationEndPoint_HasRemoteEndPoint(Ui) && NotificationEndPoint_HasRemoteEndPoint(Worker);
        });
        // One more notification through both links makes sure both streams carry records.
        FireBench("Tick", 0);
        Linked = Linked && PumpUntil([&] { return Seen.Ticks >= 2; });
        RecordSize = SizeOfRecord();
        Socat = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"socat", "TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork", "PIPE"});
    }

    // The bytes of one framed "Tick" record as a link carries it.
    static uint32_t SizeOfRecord() {
        RC4* cipher = nullptr;
        RC4_Create(&cipher);
        RC4_SetEncryptKey(cipher, "abcdefghijk", 11);
        Dictionary* record = nullptr;
        Dictionary_Create(&record);
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetStringByKey(info, "n", "1000");
        Dictionary_SetStringByKey(info, "pad", kPad.c_str());
        MemoryStream* out = nullptr;
        MemoryStream_Create(&out);
        MemoryStream_SetAutoGrow(out, 1);
        NotificationEndPoint_WriteRecord(cipher, record, 1000, "Bench", "Tick", nullptr, info, out);
        uint64_t length = 0;
        MemoryStream_Length(out, &length);
        MemoryStream_Release(&out);
        Dictionary_Release(&info);
        Dictionary_Release(&record);
        RC4_Release(&cipher);
        return (uint32_t)length;
    }
    bool Ready() const { return Linked && Socat && Socat->Running() && RecordSize > 0; }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// A blocking connection to the echo, with a bound on every read.
struct EchoClient {
    int Fd = -1;
    explicit EchoClient(uint32_t port) {
        Fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval wait{10, 0};
        setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        const int on = 1;
        setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(Fd);
            Fd = -1;
        }
    }
    ~EchoClient() {
        if (Fd >= 0) close(Fd);
    }
    bool Send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(Fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += (size_t)n;
        }
        return true;
    }
    bool Receive(size_t count) {
        char buffer[65536];
        while (count > 0) {
            const ssize_t n = recv(Fd, buffer, count < sizeof(buffer) ? count : sizeof(buffer), 0);
            if (n <= 0) return false;
            count -= (size_t)n;
        }
        return true;
    }
};

void OurNotifications(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("the endpoints did not link");
    for (auto _ : state) {
        const int target = env.Seen.Ticks + 2 * kNotifications;
        for (int i = 0; i < kNotifications; i++) {
            FireBench("Tick", i);
            // The engine pumps between the notifications its own work fires.
            if ((i & 15) == 15) env.Pump();
        }
        if (!env.PumpUntil([&] { return env.Seen.Ticks >= target; }))
            return state.SkipWithError("notifications were lost");
    }
    state.SetItemsProcessed(state.iterations() * kNotifications);
}

void PeerNotifications(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("socat did not start");
    EchoClient client(env.Socat->Port());
    if (client.Fd < 0) return state.SkipWithError("no connection to socat");
    const std::string record(env.RecordSize, 'r');
    for (auto _ : state) {
        bool ok = true;
        std::thread writer([&] {
            for (int i = 0; i < kNotifications && ok; i++) ok = client.Send(record);
        });
        const bool read = client.Receive((size_t)kNotifications * record.size());
        writer.join();
        if (!ok || !read) return state.SkipWithError("the echo failed");
    }
    state.SetItemsProcessed(state.iterations() * kNotifications);
}

void OurRoundTrip(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("the endpoints did not link");
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; i++) {
            const int n = env.Seen.PongSeen + 1;
            FireBench("Ping", n);
            if (!env.PumpUntil([&] { return env.Seen.PongSeen >= n; })) return state.SkipWithError("no answer");
        }
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void PeerRoundTrip(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("socat did not start");
    EchoClient client(env.Socat->Port());
    if (client.Fd < 0) return state.SkipWithError("no connection to socat");
    const std::string record(env.RecordSize, 'r');
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; i++)
            if (!client.Send(record) || !client.Receive(record.size())) return state.SkipWithError("the echo failed");
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

} // namespace

BENCHMARK(OurNotifications)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerNotifications)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO("endpoint notifications (each over both links) vs socat echo, 2000 records",
           "OurNotifications", "PeerNotifications");
PEER_RATIO("endpoint round trip vs socat echo round trip, 200 in a row", "OurRoundTrip", "PeerRoundTrip");
PEER_RATIO_MAIN()
