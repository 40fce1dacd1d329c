// Recording stand-ins for the browser engine's objects: each keeps what it was asked to do, so
// tests compare the engine's side of an exchange exactly. References are counted, not freed: a
// fake reports whether everything handed out was given back.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "host/cef/cef_engine.h"

template <typename Interface> class FakeCounted : public Interface {
  public:
    void AddRef() override { refs++; }
    void Release() override { refs--; }
    int refs = 1;
};

// Owns every fake made during a test; Balanced() tells whether each is back at one reference.
struct FakeArena {
    template <typename T, typename... A> T* Make(A&&... args) {
        auto object = std::make_shared<T>(std::forward<A>(args)...);
        T* raw = object.get();
        counts.push_back([raw] { return raw->refs; });
        keep.push_back(std::move(object));
        return raw;
    }
    // A fake handed to the code as a new reference: the code must release it.
    template <typename T> T* Give(T* object) {
        object->AddRef();
        return object;
    }
    bool Balanced() const {
        for (const auto& count : counts)
            if (count() != 1) return false;
        return true;
    }
    std::vector<std::shared_ptr<void>> keep;
    std::vector<std::function<int()>> counts;
};

class FakeCommandLine : public FakeCounted<CEFCommandLine> {
  public:
    bool HasSwitch(const char* name) override {
        for (const auto& s : switches)
            if (s.first == name) return true;
        return false;
    }
    std::string GetSwitchValue(const char* name) override {
        for (const auto& s : switches)
            if (s.first == name) return s.second;
        return "";
    }
    int32_t GetSwitchCount() override { return (int32_t)switches.size(); }
    std::string GetSwitchName(int32_t i) override { return switches[(size_t)i].first; }
    std::string GetSwitchValueAt(int32_t i) override { return switches[(size_t)i].second; }
    void Reset() override {
        switches.clear();
        asked.push_back("reset");
    }
    void AppendSwitch(const char* name) override {
        switches.emplace_back(name, "");
        asked.push_back(std::string("--") + name);
    }
    void AppendSwitchWithValue(const char* name, const char* value) override {
        switches.emplace_back(name, value);
        asked.push_back(std::string("--") + name + "=" + value);
    }
    void AppendArgument(const char* argument) override { asked.push_back(argument); }

    std::vector<std::pair<std::string, std::string>> switches;
    std::vector<std::string> asked;
};

class FakeProcessMessage : public FakeCounted<CEFProcessMessage> {
  public:
    using Argument = std::variant<std::string, int32_t>;
    FakeProcessMessage(FakeArena* arena, std::string name, std::vector<Argument> args = {})
        : arena(arena), name(std::move(name)), args(std::move(args)) {}
    std::string GetName() override { return name; }
    int32_t GetArgumentCount() override { return (int32_t)args.size(); }
    std::string GetString(int32_t i) override {
        const auto* text = (size_t)i < args.size() ? std::get_if<std::string>(&args[(size_t)i]) : nullptr;
        return text ? *text : "";
    }
    void SetString(int32_t i, const char* value) override { Slot(i) = std::string(value); }
    void SetInt(int32_t i, int32_t value) override { Slot(i) = value; }
    CEFProcessMessage* Copy() override { return arena->Give(arena->Make<FakeProcessMessage>(arena, name, args)); }

    Argument& Slot(int32_t i) {
        if ((size_t)i >= args.size()) args.resize((size_t)i + 1);
        return args[(size_t)i];
    }
    FakeArena* arena;
    std::string name;
    std::vector<Argument> args;
};

class FakeV8Value : public FakeCounted<CEFV8Value> {
  public:
    enum Kind { Undefined, Int, String, Array, Function, Object };
    FakeV8Value(FakeArena* arena, Kind kind) : arena(arena), kind(kind) {}
    bool IsFunction() override { return kind == Function; }
    bool IsString() override { return kind == String; }
    bool IsArray() override { return kind == Array; }
    bool IsInt() override { return kind == Int; }
    int32_t GetIntValue() override { return number; }
    std::string GetStringValue() override { return text; }
    int32_t GetArrayLength() override { return (int32_t)items.size(); }
    CEFV8Value* GetValueAt(int32_t i) override {
        return (size_t)i < items.size() ? arena->Give(items[(size_t)i]) : nullptr;
    }
    CEFV8Value* GetValueByKey(const char* key) override {
        auto found = keys.find(key);
        return found == keys.end() ? nullptr : arena->Give(found->second);
    }
    CEFV8Value* ExecuteFunction(CEFV8Value*, int32_t count, CEFV8Value* const* arguments) override {
        std::vector<std::string> texts;
        for (int32_t i = 0; i < count; i++) texts.push_back(arguments[i]->GetStringValue());
        calls.push_back(texts);
        FakeV8Value* result = body ? body(texts) : nullptr;
        return result ? arena->Give(result) : nullptr;
    }

    FakeArena* arena;
    Kind kind;
    int32_t number = 0;
    std::string text;
    std::vector<FakeV8Value*> items;
    std::map<std::string, FakeV8Value*> keys;
    std::function<FakeV8Value*(const std::vector<std::string>&)> body;
    std::vector<std::vector<std::string>> calls;
};

class FakeV8Context : public FakeCounted<CEFV8Context> {
  public:
    explicit FakeV8Context(FakeArena* arena) : arena(arena), global(arena->Make<FakeV8Value>(arena, FakeV8Value::Object)) {}
    bool Enter() override {
        depth++;
        return true;
    }
    bool Exit() override {
        depth--;
        return true;
    }
    CEFV8Value* GetGlobal() override { return arena->Give(global); }
    CEFV8Value* Eval(const char* code) override {
        evaluated.push_back(code);
        return evalResult ? arena->Give(evalResult) : nullptr;
    }
    FakeArena* arena;
    FakeV8Value* global;
    FakeV8Value* evalResult = nullptr;
    int depth = 0;
    std::vector<std::string> evaluated;
};

class FakeRequest : public FakeCounted<CEFRequest> {
  public:
    std::string GetURL() override { return url; }
    std::string GetMethod() override { return method; }
    CEFPostData* GetPostData() override { return nullptr; }
    CEFHeaderMap GetHeaderMap() override { return headers; }
    int32_t GetResourceType() override { return type; }
    std::string GetReferrerURL() override { return referrer; }
    int32_t GetReferrerPolicy() override { return policy; }
    std::string GetFirstPartyForCookies() override { return firstParty; }
    uint32_t GetFlags() override { return flags; }
    void Set(const char* u, const char* m, CEFPostData*, const CEFHeaderMap& h) override {
        url = u;
        method = m;
        headers = h;
        asked.push_back("set " + url + " " + method);
    }
    void SetFirstPartyForCookies(const char* u) override { asked.push_back(std::string("first party ") + u); }
    void SetReferrer(const char* u, int32_t p) override {
        asked.push_back(std::string("referrer ") + u + " " + std::to_string(p));
    }
    void SetFlags(uint32_t f) override { asked.push_back("flags " + std::to_string(f)); }

    std::string url, method = "GET", referrer, firstParty;
    CEFHeaderMap headers;
    int32_t type = 1, policy = 0;
    uint32_t flags = 0;
    std::vector<std::string> asked;
};

class FakeResponse : public FakeCounted<CEFResponse> {
  public:
    int32_t GetStatus() override { return status; }
    std::string GetStatusText() override { return statusText; }
    std::string GetMimeType() override { return mimeType; }
    std::string GetCharset() override { return charset; }
    std::string GetURL() override { return url; }
    CEFHeaderMap GetHeaderMap() override { return headers; }
    void SetStatus(int32_t s) override { status = s; }
    void SetStatusText(const char* t) override { statusText = t; }
    void SetMimeType(const char* t) override { mimeType = t; }
    void SetCharset(const char* c) override { charset = c; }
    void SetURL(const char* u) override { url = u; }
    void SetHeaderMap(const CEFHeaderMap& h) override { headers = h; }
    int32_t status = 0;
    std::string statusText, mimeType, charset, url;
    CEFHeaderMap headers;
};

class FakeCallback : public FakeCounted<CEFCallback> {
  public:
    void Continue() override { answers.push_back("continue"); }
    void Cancel() override { answers.push_back("cancel"); }
    std::vector<std::string> answers;
};

class FakeReadCallback : public FakeCounted<CEFResourceReadCallback> {
  public:
    void Continue(int32_t bytes) override { answers.push_back(bytes); }
    std::vector<int32_t> answers;
};

class FakeURLRequest : public FakeCounted<CEFURLRequest> {
  public:
    explicit FakeURLRequest(FakeArena* arena) : arena(arena) {}
    CEFResponse* GetResponse() override { return response ? arena->Give(response) : nullptr; }
    FakeArena* arena;
    FakeResponse* response = nullptr;
    CEFURLRequestClient* client = nullptr;
};

class FakeFrame : public FakeCounted<CEFFrame> {
  public:
    FakeFrame(FakeArena* arena, int64_t id, std::string url) : arena(arena), id(id), url(std::move(url)) {}
    int64_t GetIdentifier() override { return id; }
    std::string GetURL() override { return url; }
    void ExecuteJavaScript(const char* code, const char*, int32_t) override { scripts.push_back(code); }
    CEFV8Context* GetV8Context() override { return context ? arena->Give(context) : nullptr; }
    void SendProcessMessage(int32_t target, CEFProcessMessage* message) override {
        message->AddRef();
        sent.emplace_back(target, static_cast<FakeProcessMessage*>(message));
    }
    CEFURLRequest* CreateURLRequest(CEFRequest* request, CEFURLRequestClient* client) override {
        made.push_back(static_cast<FakeRequest*>(request));
        request->AddRef();
        if (!urlRequest) return nullptr;
        client->AddRef();
        clients.push_back(client);
        urlRequest->client = client;
        return arena->Give(urlRequest);
    }
    // Ends the engine's hold on what CreateURLRequest was given.
    void DropRequests() {
        for (auto* request : made) request->Release();
        for (auto* client : clients) client->Release();
        made.clear();
        clients.clear();
    }
    std::vector<CEFURLRequestClient*> clients;
    FakeURLRequest* urlRequest = nullptr;
    std::vector<FakeRequest*> made;
    // Drops the references the sent messages hold, as the engine does once it has sent them.
    void DropSent() {
        for (auto& m : sent) m.second->Release();
    }
    FakeArena* arena;
    int64_t id;
    std::string url;
    FakeV8Context* context = nullptr;
    std::vector<std::string> scripts;
    std::vector<std::pair<int32_t, FakeProcessMessage*>> sent;
};

class FakeBrowser : public FakeCounted<CEFBrowser> {
  public:
    FakeBrowser(FakeArena* arena, FakeFrame* main) : arena(arena), main(main) {}
    CEFFrame* GetMainFrame() override { return main ? arena->Give(main) : nullptr; }
    FakeArena* arena;
    FakeFrame* main;
};

// Answers may come from any thread.
class FakeAuthCallback : public FakeCounted<CEFAuthCallback> {
  public:
    void Continue(const char* username, const char* password) override {
        std::lock_guard<std::mutex> guard(lock);
        answers.push_back(std::string("continue ") + username + " " + password);
    }
    void Cancel() override {
        std::lock_guard<std::mutex> guard(lock);
        answers.push_back("cancel");
    }
    std::vector<std::string> Answers() {
        std::lock_guard<std::mutex> guard(lock);
        return answers;
    }
    std::mutex lock;
    std::vector<std::string> answers;
};

class FakeEngine : public CEFEngine {
  public:
    explicit FakeEngine(FakeArena* arena) : arena(arena) {}
    bool LoadLibrary(const char* path) override {
        asked.push_back(std::string("load ") + path);
        return loads;
    }
    std::string ApiHash() override { return hash; }
    int32_t VersionInfo(int32_t entry) override { return version[entry]; }
    int32_t ExecuteProcess(int32_t, char**, CEFApp*) override {
        asked.push_back("execute");
        return exitCode;
    }
    bool Initialize(int32_t, char**, const CEFSettings& given, CEFApp*) override {
        asked.push_back("initialize");
        settings = given;
        return initializes;
    }
    void Shutdown() override { asked.push_back("shutdown"); }
    void ClearSchemeHandlerFactories() override { asked.push_back("clear schemes"); }
    bool CurrentlyOn(int32_t thread) override { return thread == CEF_THREAD_IO; }
    CEFProcessMessage* CreateProcessMessage(const char* name) override {
        return arena->Give(arena->Make<FakeProcessMessage>(arena, name));
    }
    CEFRequest* CreateRequest() override { return arena->Give(arena->Make<FakeRequest>()); }
    CEFV8Value* CreateString(const char* text) override {
        auto* value = arena->Make<FakeV8Value>(arena, FakeV8Value::String);
        value->text = text;
        return arena->Give(value);
    }

    FakeArena* arena;
    bool loads = true;
    bool initializes = true;
    int32_t exitCode = -1;
    std::string hash = "589830B49E03E9F4AE2C050125BCDAFACBB248DD";
    int32_t version[4] = {109, 1, 18, 0};
    CEFSettings settings{};
    std::vector<std::string> asked;
};
