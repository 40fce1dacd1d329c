// The page side of the script bridge: the native functions of the page object, each turned into a
// synchronous request to the pseudo-host "interop" run as script in the calling page, and the
// callback message the browser process sends to a page.
#include "host/cef/cef_script_bridge.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/runtime/class_family.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "skin/script_invoker.h"

namespace {

struct InvokerHandler final : CEFV8Handler {
    CEF5414CEFScriptInvoker* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    bool Execute(const char* name, CEFV8Value* object, int32_t count, CEFV8Value* const* arguments,
                 CEFV8Value** result, std::string* exception) override;
};

std::atomic<CEFRenderEngine*> GlobalRenderEngine{nullptr};

// Room for the script around its values; a script never needs less.
constexpr int32_t kScriptSlack = 320;
constexpr int32_t kHashSize = 320;
constexpr int64_t kMaxUnits = 2147483647;

} // namespace

struct CEF5414CEFScriptInvoker {
    Class Header;
    ClassPrint Print;
    ScriptInvoker* Invoker;
    // The script of the call under way; grown on demand, never shrunk.
    char* Script;
    int32_t ScriptCapacity;
    InvokerHandler Handler;
};

namespace {

void PreparePrint(CEF5414CEFScriptInvoker* invoker) {
    ClassPrint_Prepare(&invoker->Print, invoker, "CEF5414CEFScriptInvoker", ClassPrint_DefaultCallback);
}

int64_t DeleteHandle(void** handle) {
    return CEF5414CEFScriptInvoker_Delete(reinterpret_cast<CEF5414CEFScriptInvoker**>(handle));
}

void InvokerHandler::AddRef() { Class_AddRef(Owner); }
void InvokerHandler::Release() {
    void* handle = Owner;
    Class_ReleaseInt(&handle, __FILE__, __LINE__);
}

bool InvokerHandler::Execute(const char* name, CEFV8Value* object, int32_t count, CEFV8Value* const* arguments,
                             CEFV8Value** result, std::string* exception) {
    return CEFScriptInvoker_Execute(this, name, object, count, arguments, result, exception) != 0;
}

template <typename T> void Drop(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Appends text so that it reads back unchanged inside a '...' script literal: the literal can
// neither be closed nor escaped out of, and no line break ends it. With query set every byte
// outside the unreserved set is percent-encoded: a URL parser drops tabs and line breaks, trims
// spaces and splits at '&', '#' and '=', and the browser side percent-decodes the value whole.
void AppendLiteral(std::string* out, const std::string& text, bool query) {
    for (size_t i = 0; i < text.size(); i++) {
        const unsigned char c = (unsigned char)text[i];
        char escape[8];
        if (query && !Unreserved(c)) {
            snprintf(escape, sizeof(escape), "%%%02X", c);
            out->append(escape);
        } else if (c == '\\' || c == '\'') {
            out->push_back('\\');
            out->push_back((char)c);
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(escape, sizeof(escape), "\\x%02x", c);
            out->append(escape);
        } else if (c == 0xE2 && i + 2 < text.size() && (unsigned char)text[i + 1] == 0x80 &&
                   ((unsigned char)text[i + 2] == 0xA8 || (unsigned char)text[i + 2] == 0xA9)) {
            // U+2028 and U+2029 end a line in older script grammars.
            out->append((unsigned char)text[i + 2] == 0xA8 ? "\\u2028" : "\\u2029");
            i += 2;
        } else {
            out->push_back((char)c);
        }
    }
}

bool Fits(const std::string& value, int32_t size) { return value.size() < (size_t)size; }

bool HasApostrophe(const std::string& value) { return value.find('\'') != std::string::npos; }

std::string StringArgument(CEFV8Value* value) { return value ? value->GetStringValue() : std::string(); }

bool IsString(int32_t count, CEFV8Value* const* arguments, int32_t index) {
    return index < count && arguments && arguments[index] && arguments[index]->IsString();
}

// UTF-16 units of UTF-8 text: one per character, two for one beyond the basic plane.
int64_t Utf16Units(const std::string& text) {
    int64_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units++;
        if (c >= 0xF0) units++;
    }
    return units;
}

// The UTF-16 form of the UTF-8 text the engine hands over (a byte that starts no valid sequence
// becomes U+FFFD, as the engine's own conversion does).
std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t point = n == 1 ? c : n == 2 ? (c & 0x1Fu) : n == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; k < n; k++) {
            if (i + k >= text.size() || ((unsigned char)text[i + k] & 0xC0) != 0x80) {
                n = 0;
                break;
            }
            point = (point << 6) | ((unsigned char)text[i + k] & 0x3Fu);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (n == 0 || point < kMin[n] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
            out += (char16_t)0xFFFD;
            i++;
            continue;
        }
        i += n;
        if (point >= 0x10000) {
            out += (char16_t)(0xD800 + ((point - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)point;
        }
    }
    return out;
}

CEFV8Value* Bool(CEFRenderEngine* engine, bool value) { return engine->CreateBool(value); }

// Runs one request in the entered context and turns its [status, responseText] into the answer.
void Interop(CEF5414CEFScriptInvoker* invoker, const char* call, const char* method, const std::string& a,
             const std::string& b, const std::string& c, const std::string* body, const char* const labels[3],
             CEFV8Value** result, std::string* exception) {
    if (a.empty() || HasApostrophe(a) || HasApostrophe(b) || HasApostrophe(c)) return;
    CEFRenderEngine* engine = CEFRenderEngine_Get();
    if (!engine) return;
    // Values the browser side cannot hold whole are refused here, where the page learns why.
    const std::string* values[3] = {&a, &b, &c};
    const int32_t sizes[3] = {CEFINTEROP_ID_SIZE, CEFINTEROP_TYPE_NAME_SIZE, CEFINTEROP_ID_SIZE};
    for (int32_t i = 0; i < 3; i++) {
        if (labels[i] && !Fits(*values[i], sizes[i])) {
            *exception = std::string(call) + " - Argument too long (" + labels[i] + ")";
            return;
        }
    }
    CEFV8Context* context = engine->GetEnteredContext();
    if (!context) return;
    std::string script;
    CEFScriptInvoker_BuildScript(method, a, b, c, body, &script);
    const int64_t needed = (int64_t)script.size() + 1;
    if (needed > invoker->ScriptCapacity) {
        if (needed + kScriptSlack > 0x7FFFFFFF) {
            *exception = std::string(call) + " - Argument too long";
            Drop(context);
            return;
        }
        if (invoker->Script) Memory_Free(invoker->Script, invoker->ScriptCapacity);
        invoker->ScriptCapacity = (int32_t)(needed + kScriptSlack);
        invoker->Script = static_cast<char*>(Memory_Alloc(invoker->ScriptCapacity));
    }
    memcpy(invoker->Script, script.c_str(), (size_t)needed);
    CEF5414CEFScriptInvoker_VerboseLog(invoker, LOG_LEVEL_DEBUG, "%s %s\n", method, a.c_str());

    CEFV8Value* answer = nullptr;
    std::string thrown;
    if (!engine->Eval(context, invoker->Script, &answer, &thrown)) {
        *exception = thrown;
        Drop(answer);
        Drop(context);
        return;
    }
    int32_t status = 0;
    std::string text;
    bool hasText = false;
    if (answer && answer->IsArray()) {
        CEFV8Value* first = answer->GetValueAt(0);
        CEFV8Value* second = answer->GetValueAt(1);
        if (first && first->IsInt()) status = first->GetIntValue();
        if (second && second->IsString()) {
            text = second->GetStringValue();
            hasText = !text.empty();
        }
        Drop(first);
        Drop(second);
    }
    if (status == 200 || status == 201)
        *result = hasText ? engine->CreateString(text.c_str()) : Bool(engine, true);
    else
        *result = Bool(engine, false);
    Drop(answer);
    Drop(context);
}

void Hash(CEF5414CEFScriptInvoker* invoker, const std::string& algorithm, const std::string& value,
          CEFV8Value** result, std::string* exception) {
    CEFRenderEngine* engine = CEFRenderEngine_Get();
    if (!engine) return;
    const int64_t units = Utf16Units(value);
    if (units >= kMaxUnits + 1 || value.size() > (size_t)kMaxUnits) {
        char text[96];
        snprintf(text, sizeof(text), "Data length (%zd) exceeds max size (%d)\n", (ssize_t)units, (int32_t)kMaxUnits);
        *exception = text;
        return;
    }
    // The page's string is digested as UTF-16; it arrives here as UTF-8.
    const std::u16string text = ToUtf16(value);
    char digest[kHashSize];
    if (ScriptInvoker_HashUtf16(invoker->Invoker, algorithm.c_str(), reinterpret_cast<const uint16_t*>(text.data()),
                                (int32_t)text.size(), digest, (int32_t)sizeof(digest)))
        *result = engine->CreateString(digest);
    else
        *exception = ScriptInvoker_GetErrorString(invoker->Invoker);
}

} // namespace

int64_t CEFRenderEngine_Set(CEFRenderEngine* engine) {
    GlobalRenderEngine.store(engine);
    return 1;
}

CEFRenderEngine* CEFRenderEngine_Get() { return GlobalRenderEngine.load(); }

int64_t CEF5414CEFScriptInvoker_Create(CEF5414CEFScriptInvoker** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* memory = Memory_AllocZero(sizeof(CEF5414CEFScriptInvoker));
    CEF5414CEFScriptInvoker* invoker = new (memory) CEF5414CEFScriptInvoker();
    invoker->Header.ClassId = CEFSCRIPTINVOKER_CLASS_ID;
    invoker->Header.RefCount = 1;
    invoker->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(invoker);
    invoker->Handler.Owner = invoker;
    ScriptInvoker_Create(&invoker->Invoker);
    *handle = invoker;
    return 1;
}

int64_t CEF5414CEFScriptInvoker_Delete(CEF5414CEFScriptInvoker** handle) {
    ASSERT_POINTER(handle);
    CEF5414CEFScriptInvoker* invoker = *handle;
    CLASS_CHECK(invoker, CEFSCRIPTINVOKER_CLASS_ID);
    if (invoker->Script) Memory_Free(invoker->Script, invoker->ScriptCapacity);
    ScriptInvoker_Release(&invoker->Invoker);
    invoker->Header.ClassId = 0;
    invoker->~CEF5414CEFScriptInvoker();
    Memory_Free(invoker, sizeof(CEF5414CEFScriptInvoker));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(CEF5414CEFScriptInvoker, CEF5414CEFScriptInvoker, CEFSCRIPTINVOKER_CLASS_ID)
CLASS_PRINT_FAMILY(CEF5414CEFScriptInvoker, CEF5414CEFScriptInvoker, CEFSCRIPTINVOKER_CLASS_ID, PreparePrint)

CEFV8Handler* CEF5414CEFScriptInvoker_GetV8Handler(CEF5414CEFScriptInvoker* invoker) {
    CLASS_CHECK(invoker, CEFSCRIPTINVOKER_CLASS_ID);
    invoker->Handler.AddRef();
    return &invoker->Handler;
}

int64_t CEFScriptInvoker_BuildScript(const char* method, const std::string& a, const std::string& b,
                                     const std::string& c, const std::string* body, std::string* script) {
    ASSERT_POINTER(method);
    ASSERT_POINTER(script);
    script->clear();
    script->reserve(kScriptSlack + a.size() + b.size() + c.size() + (body ? body->size() * 2 : 0));
    script->append("(()=>{var req=new XMLHttpRequest();req.open('");
    AppendLiteral(script, method, false);
    script->append("','https://interop/?a=");
    AppendLiteral(script, a, true);
    if (body) {
        // The binding is data: parsed as JSON, never evaluated, and sent in its normalised form.
        script->append("',false);req.send(JSON.stringify(JSON.parse('");
        AppendLiteral(script, *body, false);
        script->append("')));");
    } else {
        script->append("&b=");
        AppendLiteral(script, b, true);
        script->append("&c=");
        AppendLiteral(script, c, true);
        script->append("',false);req.send(null);");
    }
    script->append("return[req.status,req.responseText];})()");
    return Fits(a, CEFINTEROP_ID_SIZE) && Fits(b, CEFINTEROP_TYPE_NAME_SIZE) && Fits(c, CEFINTEROP_ID_SIZE) ? 1 : 0;
}

int64_t CEFScriptInvoker_Execute(CEFV8Handler* handler, const char* name, CEFV8Value*, int32_t count,
                                 CEFV8Value* const* arguments, CEFV8Value** result, std::string* exception) {
    ASSERT_POINTER(handler);
    ASSERT_POINTER(result);
    ASSERT_POINTER(exception);
    CEF5414CEFScriptInvoker* invoker = static_cast<InvokerHandler*>(handler)->Owner;
    CLASS_CHECK(invoker, CEFSCRIPTINVOKER_CLASS_ID);
    if (!name) return 0;
    const std::string call = name;
    auto refuse = [&](const char* text) {
        *exception = text;
        return 1;
    };
    if (call == "invoke") {
        if (count < 2) return refuse("Invoke - Invalid argument count");
        if (!IsString(count, arguments, 0)) return refuse("Invoke - Invalid argument type (instanceId)");
        if (!IsString(count, arguments, 1)) return refuse("Invoke - Invalid argument type (method)");
        const std::string binding = StringArgument(arguments[1]);
        static const char* const labels[3] = {"instanceId", nullptr, nullptr};
        Interop(invoker, "Invoke", "POST", StringArgument(arguments[0]), "", "", &binding, labels, result, exception);
        return 1;
    }
    if (call == "createInstance") {
        if (count < 2) return refuse("CreateInstance - Invalid argument count");
        if (!IsString(count, arguments, 0)) return refuse("CreateInstance - Invalid argument type (window instance id)");
        if (!IsString(count, arguments, 1)) return refuse("CreateInstance - Invalid argument type (type name)");
        const std::string c = IsString(count, arguments, 2) ? StringArgument(arguments[2]) : std::string();
        static const char* const labels[3] = {"window instance id", "type name", "instance id"};
        Interop(invoker, "CreateInstance", "GET", StringArgument(arguments[0]), StringArgument(arguments[1]), c,
                nullptr, labels, result, exception);
        return 1;
    }
    if (call == "releaseInstance" || call == "hasInstance") {
        const bool release = call == "releaseInstance";
        if (count < 1) return refuse(release ? "ReleaseInstance - Invalid argument count" : "HasInstance - Invalid argument count");
        if (!IsString(count, arguments, 0))
            return refuse(release ? "ReleaseInstance - Invalid argument type (instance id)"
                                  : "HasInstance - Invalid argument type (instance id)");
        static const char* const labels[3] = {"instance id", nullptr, nullptr};
        Interop(invoker, release ? "ReleaseInstance" : "HasInstance", release ? "DELETE" : "HEAD",
                StringArgument(arguments[0]), "", "", nullptr, labels, result, exception);
        return 1;
    }
    if (call == "hash") {
        if (count < 2) return refuse("Hash - Invalid argument count");
        if (!IsString(count, arguments, 0)) return refuse("Hash - Invalid argument type (algorithm)");
        if (!IsString(count, arguments, 1)) return refuse("Hash - Invalid argument type (value)");
        Hash(invoker, StringArgument(arguments[0]), StringArgument(arguments[1]), result, exception);
        return 1;
    }
    return 0;
}

int64_t CEF5414CEFScriptTask_Run(CEFBrowser* browser, const char* first, const char* second) {
    CEFEngine* engine = CEFEngine_Get();
    if (!browser || !engine) return 0;
    CEFFrame* frame = browser->GetMainFrame();
    if (!frame) return 0;
    CEFProcessMessage* message = engine->CreateProcessMessage("CEFScriptTask_Run");
    if (!message) {
        Drop(frame);
        return 0;
    }
    message->SetString(0, first ? first : "");
    message->SetString(1, second ? second : "");
    frame->SendProcessMessage(CEF_PROCESS_RENDERER, message);
    Drop(message);
    Drop(frame);
    return 1;
}
