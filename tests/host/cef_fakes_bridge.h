// Recording stand-ins for the engine objects of the script bridge: request bodies, and the render
// process's V8 services with an evaluation the test supplies.
#pragma once

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/cef/cef_engine_bridge.h"
#include "tests/host/cef_fakes.h"

class FakePostElement final : public FakeCounted<CEFPostDataElement> {
  public:
    int32_t GetType() override { return type; }
    // A claimed count larger than the bytes held stands for a body too big to hold in a test.
    size_t GetBytesCount() override { return claimed ? claimed : bytes.size(); }
    size_t GetBytes(size_t size, void* out) override {
        const size_t n = size < bytes.size() ? size : bytes.size();
        if (n) memcpy(out, bytes.data(), n);
        return n;
    }
    int32_t type = PDE_TYPE_BYTES;
    std::string bytes;
    size_t claimed = 0;
};

class FakePostData final : public FakeCounted<CEFPostDataElements> {
  public:
    explicit FakePostData(FakeArena* arena) : arena(arena) {}
    size_t GetElementCount() override { return elements.size(); }
    CEFPostDataElement* GetElement(size_t i) override { return i < elements.size() ? arena->Give(elements[i]) : nullptr; }
    FakeArena* arena;
    std::vector<FakePostElement*> elements;
};

class FakeBodyRequest final : public FakeRequest {
  public:
    explicit FakeBodyRequest(FakeArena* arena) : arena(arena) {}
    CEFPostData* GetPostData() override { return body ? arena->Give(body) : nullptr; }
    // One element holding the bytes.
    void SetBody(const std::string& bytes) {
        body = arena->Make<FakePostData>(arena);
        auto* element = arena->Make<FakePostElement>();
        element->bytes = bytes;
        body->elements.push_back(element);
    }
    FakeArena* arena;
    FakePostData* body = nullptr;
};

class FakeRenderEngine : public CEFRenderEngine {
  public:
    explicit FakeRenderEngine(FakeArena* arena) : arena(arena) {}
    CEFV8Context* GetEnteredContext() override { return entered ? arena->Give(entered) : nullptr; }
    bool Eval(CEFV8Context*, const char* code, CEFV8Value** result, std::string* exception) override {
        evaluated.push_back(code);
        FakeV8Value* value = nullptr;
        const bool ok = evaluate ? evaluate(code, &value, exception) : true;
        *result = value ? arena->Give(value) : nullptr;
        return ok;
    }
    CEFV8Value* CreateString(const char* text) override {
        auto* value = arena->Make<FakeV8Value>(arena, FakeV8Value::String);
        value->text = text;
        return arena->Give(value);
    }
    CEFV8Value* CreateBool(bool flag) override {
        auto* value = arena->Make<FakeV8Value>(arena, FakeV8Value::Object);
        value->text = flag ? "true" : "false";
        bools.insert(value);
        return arena->Give(value);
    }
    // "true", "false", the string in double quotes, or "none".
    std::string Describe(CEFV8Value* value) {
        if (!value) return "none";
        auto* fake = static_cast<FakeV8Value*>(value);
        return bools.count(fake) ? fake->text : "\"" + fake->text + "\"";
    }
    // The page's answer [status, text] as the engine would hand it back.
    FakeV8Value* Answer(int32_t status, const std::string& text) {
        auto* array = arena->Make<FakeV8Value>(arena, FakeV8Value::Array);
        auto* first = arena->Make<FakeV8Value>(arena, FakeV8Value::Int);
        first->number = status;
        auto* second = arena->Make<FakeV8Value>(arena, FakeV8Value::String);
        second->text = text;
        array->items = {first, second};
        return array;
    }

    FakeArena* arena;
    FakeV8Context* entered = nullptr;
    std::function<bool(const std::string& code, FakeV8Value** result, std::string* exception)> evaluate;
    std::vector<std::string> evaluated;
    std::set<FakeV8Value*> bools;
};
