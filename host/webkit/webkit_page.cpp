// The page side of the WebKitGTK back end: the page object's script and the texts exchanged
// with pages.
#include "host/webkit/webkit_page.h"

#include <cstdio>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "skin/script_invoker.h"

namespace {

// Every call is a synchronous request to the interop scheme, answered in this process by the
// invoker of the view's skin window, so the page gets its answer as the call's result, as it would
// from an object of the page itself. The kind of call is the scheme's host and the instance id its
// path. A call whose arguments have the wrong types, or that is refused, answers undefined (false
// for the yes-or-no calls) and sends nothing or nothing more.
constexpr const char kUserScript[] = R"JS((function () {
  'use strict';
  if (Object.prototype.hasOwnProperty.call(window, 'NativeInterop')) return;
  var hashScheme = '@HASH@', interop = '@INTEROP@://', limit = @LIMIT@;
  function request(url, body) {
    // A text of more UTF-16 units than the bound has at least as many UTF-8 bytes: it is refused
    // here, before the engine copies it to the host.
    if (typeof body === 'string' && body.length > limit) return null;
    var x = new XMLHttpRequest();
    try {
      x.open('POST', url, false);
      x.send(body === undefined ? null : body);
    } catch (e) { return null; }
    return x.status === 200 ? x.responseText : null;
  }
  function call(kind, id, body) {
    return request(interop + kind + '/' + encodeURIComponent(id), body);
  }
  var api = {
    createInstance: function (typeName, instanceId) {
      if (typeof typeName !== 'string') return undefined;
      if (instanceId !== undefined && instanceId !== null && typeof instanceId !== 'string') return undefined;
      var id = call('create', typeof instanceId === 'string' ? instanceId : '', typeName);
      return id ? id : undefined;
    },
    hasInstance: function (instanceId) {
      if (typeof instanceId !== 'string' || instanceId.length === 0) return false;
      return call('has', instanceId) === 'true';
    },
    releaseInstance: function (instanceId) {
      if (typeof instanceId !== 'string' || instanceId.length === 0) return false;
      return call('release', instanceId) === 'true';
    },
    invoke: function (instanceId, binding) {
      if (typeof instanceId !== 'string' || instanceId.length === 0 || typeof binding !== 'string') return undefined;
      var reply = call('invoke', instanceId, binding);
      return reply === null ? undefined : reply;
    },
    hash: function (algorithm, text) {
      if (typeof algorithm !== 'string' || typeof text !== 'string') return undefined;
      var digest = request(hashScheme + '://digest/' + encodeURIComponent(algorithm), text);
      return digest === null ? undefined : digest;
    }
  };
  Object.freeze(api);
  Object.defineProperty(window, 'NativeInterop', { value: api, writable: false, configurable: false });
})();)JS";

std::string BuildUserScript() {
    std::string script = kUserScript;
    script.replace(script.find("@HASH@"), 6, WEBKITPAGE_HASH_SCHEME);
    script.replace(script.find("@INTEROP@"), 9, WEBKITPAGE_INTEROP_SCHEME);
    script.replace(script.find("@LIMIT@"), 7, std::to_string((uint32_t)SCRIPTINVOKER_MAX_BODY));
    return script;
}

// Length of the UTF-8 sequence at text (1 to 4), or 0 when it is not one.
size_t Utf8Length(const unsigned char* text, size_t left, uint32_t* code) {
    const unsigned char c = text[0];
    size_t n = 0;
    uint32_t value = 0, min = 0;
    if (c < 0x80) return *code = c, 1;
    if ((c & 0xe0) == 0xc0)
        n = 2, value = c & 0x1f, min = 0x80;
    else if ((c & 0xf0) == 0xe0)
        n = 3, value = c & 0x0f, min = 0x800;
    else if ((c & 0xf8) == 0xf0)
        n = 4, value = c & 0x07, min = 0x10000;
    else
        return 0;
    if (n > left) return 0;
    for (size_t i = 1; i < n; i++) {
        if ((text[i] & 0xc0) != 0x80) return 0;
        value = (value << 6) | (text[i] & 0x3f);
    }
    if (value < min || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
    *code = value;
    return n;
}

} // namespace

const char* WebKitPage_UserScript() {
    static const std::string script = BuildUserScript();
    return script.c_str();
}

void WebKitPage_AppendJsonString(std::string& out, const char* text, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    out += '"';
    for (size_t i = 0; i < length;) {
        uint32_t code = 0;
        const size_t n = Utf8Length(bytes + i, length - i, &code);
        if (n == 0) {
            out += "\\ufffd";
            i++;
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += (char)code;
        } else if (code < 0x20 || code == 0x7f || code == 0x2028 || code == 0x2029) {
            // Line and paragraph separators end a line in older script engines.
            out += "\\u";
            out += kHex[(code >> 12) & 0xf];
            out += kHex[(code >> 8) & 0xf];
            out += kHex[(code >> 4) & 0xf];
            out += kHex[code & 0xf];
        } else {
            out.append(text + i, n);
        }
        i += n;
    }
    out += '"';
}

std::string WebKitPage_CallbackScript(const char* first, const char* second) {
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    std::string script = "DispatchInteropCallback(";
    WebKitPage_AppendJsonString(script, first, strlen(first));
    script += ", ";
    WebKitPage_AppendJsonString(script, second, strlen(second));
    script += ");";
    return script;
}

int64_t WebKitPage_HashAlgorithm(const char* path, char* algorithm, int32_t capacity) {
    ASSERT_POINTER(algorithm);
    if (capacity > 0) algorithm[0] = 0;
    if (path == nullptr || capacity < 2) return 0;
    while (*path == '/') path++;
    int32_t n = 0;
    for (; path[n]; n++) {
        const char c = path[n];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ok || n >= 15 || n >= capacity - 1) return (algorithm[0] = 0), 0;
        algorithm[n] = c;
    }
    algorithm[n] = 0;
    return n > 0 ? 1 : 0;
}

int32_t WebKitPage_InteropCall(const char* uri, char* instanceId, int32_t capacity) {
    ASSERT_POINTER(instanceId);
    if (capacity > 0) instanceId[0] = 0;
    if (uri == nullptr || capacity < 1) return WEBKITPAGE_CALL_NONE;
    const size_t schemeLength = strlen(WEBKITPAGE_INTEROP_SCHEME);
    if (strncmp(uri, WEBKITPAGE_INTEROP_SCHEME, schemeLength) != 0 ||
        strncmp(uri + schemeLength, "://", 3) != 0)
        return WEBKITPAGE_CALL_NONE;
    const char* kind = uri + schemeLength + 3;
    static const struct {
        const char* Name;
        int32_t Call;
    } kCalls[] = {{"create/", WEBKITPAGE_CALL_CREATE},
                  {"has/", WEBKITPAGE_CALL_HAS},
                  {"release/", WEBKITPAGE_CALL_RELEASE},
                  {"invoke/", WEBKITPAGE_CALL_INVOKE}};
    int32_t call = WEBKITPAGE_CALL_NONE;
    const char* id = nullptr;
    for (const auto& c : kCalls)
        if (strncmp(kind, c.Name, strlen(c.Name)) == 0) {
            call = c.Call;
            id = kind + strlen(c.Name);
            break;
        }
    if (call == WEBKITPAGE_CALL_NONE) return call;
    // The id as the page gave it, its escapes undone; an id that holds a zero byte, a bad escape
    // or anything after it is no id at all.
    int32_t n = 0;
    for (const char* at = id; *at; at++) {
        int value = (unsigned char)*at;
        if (*at == '?' || *at == '#' || *at == '/') return (instanceId[0] = 0), WEBKITPAGE_CALL_NONE;
        if (*at == '%') {
            const auto hex = [](char c) {
                return c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            const int high = at[1] ? hex(at[1]) : -1, low = high >= 0 && at[2] ? hex(at[2]) : -1;
            if (low < 0 || (high == 0 && low == 0)) return (instanceId[0] = 0), WEBKITPAGE_CALL_NONE;
            value = high * 16 + low;
            at += 2;
        }
        if (n >= capacity - 1) return (instanceId[0] = 0), WEBKITPAGE_CALL_NONE;
        instanceId[n++] = (char)value;
    }
    instanceId[n] = 0;
    // Only a create may leave the id empty (the bridge then makes one).
    return n > 0 || call == WEBKITPAGE_CALL_CREATE ? call : WEBKITPAGE_CALL_NONE;
}

int32_t WebKitPage_Button(uint32_t modifiers) {
    switch (modifiers) {
    case 1:
        return 1;
    case 2:
        return 2;
    case 4:
        return 3;
    default:
        return 0;
    }
}

int64_t WebKitPage_ServerText(const char* host, uint32_t port, char* text, int32_t capacity) {
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    if (host == nullptr || capacity < 1) return 0;
    const bool bracket = strchr(host, ':') != nullptr && host[0] != '[';
    const int written = snprintf(text, (size_t)capacity, bracket ? "[%s]:%u" : "%s:%u", host, port);
    // A text cut short would name another server.
    if (written < 0 || written >= capacity) return (text[0] = 0), 0;
    return 1;
}

int64_t WebKitPage_ConfigFlag(Dictionary* config, const char* first, const char* second, uint32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    if (config == nullptr) return 0;
    if (Dictionary_GetBooleanByPath(config, first, value) == 1) return 1;
    if (Dictionary_GetBooleanByPath(config, second, value) == 1) return 1;
    *value = 0;
    return 0;
}
