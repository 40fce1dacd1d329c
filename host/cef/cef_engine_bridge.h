// The engine objects the script bridge between page and browser process touches beyond the common
// ones: the render process's V8 services, a native function handler, and post data elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/cef/cef_engine.h"

// Element kinds of a request body.
enum : int32_t { PDE_TYPE_EMPTY = 0, PDE_TYPE_BYTES = 1, PDE_TYPE_FILE = 2 };
// The engine's net error for a skip that cannot be served.
enum : int32_t { CEF_ERR_REQUEST_RANGE_NOT_SATISFIABLE = -328 };

class CEFPostDataElement : public CEFObject {
  public:
    virtual int32_t GetType() = 0;
    virtual size_t GetBytesCount() = 0;
    // Copies up to size bytes; the count copied.
    virtual size_t GetBytes(size_t size, void* bytes) = 0;
};

// Post data whose elements can be listed (what the engine binding hands out as CEFPostData).
class CEFPostDataElements : public CEFPostData {
  public:
    virtual size_t GetElementCount() = 0;
    // The element with a reference for the caller, or null.
    virtual CEFPostDataElement* GetElement(size_t index) = 0;
};

// Answers the native functions of a page extension. Strings cross as UTF-8.
class CEFV8Handler : public CEFObject {
  public:
    // true when the name is one of the handler's; *result (a new reference) and *exception are
    // left as they are when the call answers nothing.
    virtual bool Execute(const char* name, CEFV8Value* object, int32_t count, CEFV8Value* const* arguments,
                         CEFV8Value** result, std::string* exception) = 0;
};

// The V8 services of a render process.
class CEFRenderEngine {
  public:
    // The context of the script now running, with a reference; null outside script.
    virtual CEFV8Context* GetEnteredContext() = 0;
    // Evaluates code in the context: true with *result (a new reference, may be null), or false
    // with the message of the exception it raised.
    virtual bool Eval(CEFV8Context* context, const char* code, CEFV8Value** result, std::string* exception) = 0;
    virtual CEFV8Value* CreateString(const char* text) = 0;
    virtual CEFV8Value* CreateBool(bool value) = 0;

  protected:
    ~CEFRenderEngine() = default;
};

// The render process's binding; null until one is installed.
int64_t CEFRenderEngine_Set(CEFRenderEngine* engine);
CEFRenderEngine* CEFRenderEngine_Get();
