// The few engine objects that the CEF back end's own decisions touch, as small abstract tables of
// our own. The engine binding implements them over the engine's flat interface; tests fake them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CEFApp;

// Engine threads the back end asks about.
enum : int32_t { CEF_THREAD_UI = 0, CEF_THREAD_IO = 5 };
// Target process of a process message.
enum : int32_t { CEF_PROCESS_BROWSER = 0, CEF_PROCESS_RENDERER = 1 };
// Log severity that turns the engine's own logging off.
enum : int32_t { CEF_LOG_SEVERITY_DISABLE = 99 };
enum : int32_t { CEF_SETTING_TEXT_SIZE = 320 };

// The settings the back end gives the engine's initialisation; everything else stays at the
// engine's zero default.
struct CEFSettings {
    uint32_t NoSandbox;
    uint32_t WindowlessRenderingEnabled;
    uint32_t PersistSessionCookies;
    int32_t LogSeverity;
    char CachePath[CEF_SETTING_TEXT_SIZE];
    char UserAgent[CEF_SETTING_TEXT_SIZE];
};

// Every engine object is reference counted. Objects handed to a callback are borrowed for the
// call; objects that a getter or a factory returns belong to the caller, who releases them.
class CEFObject {
  public:
    virtual void AddRef() = 0;
    virtual void Release() = 0;

  protected:
    ~CEFObject() = default;
};

class CEFCommandLine : public CEFObject {
  public:
    virtual bool HasSwitch(const char* name) = 0;
    virtual std::string GetSwitchValue(const char* name) = 0;
    virtual int32_t GetSwitchCount() = 0;
    virtual std::string GetSwitchName(int32_t index) = 0;
    virtual std::string GetSwitchValueAt(int32_t index) = 0;
    virtual void Reset() = 0;
    // name without its leading dashes
    virtual void AppendSwitch(const char* name) = 0;
    virtual void AppendSwitchWithValue(const char* name, const char* value) = 0;
    virtual void AppendArgument(const char* argument) = 0;
};

// Arguments are strings or integers.
class CEFProcessMessage : public CEFObject {
  public:
    virtual std::string GetName() = 0;
    virtual int32_t GetArgumentCount() = 0;
    virtual std::string GetString(int32_t index) = 0;
    virtual void SetString(int32_t index, const char* value) = 0;
    virtual void SetInt(int32_t index, int32_t value) = 0;
    virtual CEFProcessMessage* Copy() = 0;
};

class CEFV8Value : public CEFObject {
  public:
    virtual bool IsFunction() = 0;
    virtual bool IsString() = 0;
    virtual bool IsArray() = 0;
    virtual bool IsInt() = 0;
    virtual int32_t GetIntValue() = 0;
    virtual std::string GetStringValue() = 0;
    virtual int32_t GetArrayLength() = 0;
    virtual CEFV8Value* GetValueAt(int32_t index) = 0;
    virtual CEFV8Value* GetValueByKey(const char* key) = 0;
    // null when the call threw or returned nothing
    virtual CEFV8Value* ExecuteFunction(CEFV8Value* self, int32_t count, CEFV8Value* const* arguments) = 0;
};

class CEFV8Context : public CEFObject {
  public:
    virtual bool Enter() = 0;
    virtual bool Exit() = 0;
    virtual CEFV8Value* GetGlobal() = 0;
    // The result (null on an exception).
    virtual CEFV8Value* Eval(const char* code) = 0;
};

// The engine's answer slot for an authentication challenge.
class CEFAuthCallback : public CEFObject {
  public:
    virtual void Continue(const char* username, const char* password) = 0;
    virtual void Cancel() = 0;
};

// Header names and values in their order; a name may repeat.
using CEFHeaderMap = std::vector<std::pair<std::string, std::string>>;

class CEFPostData : public CEFObject {};

class CEFRequest : public CEFObject {
  public:
    virtual std::string GetURL() = 0;
    virtual std::string GetMethod() = 0;
    virtual CEFPostData* GetPostData() = 0;
    virtual CEFHeaderMap GetHeaderMap() = 0;
    virtual int32_t GetResourceType() = 0;
    virtual std::string GetReferrerURL() = 0;
    virtual int32_t GetReferrerPolicy() = 0;
    virtual std::string GetFirstPartyForCookies() = 0;
    virtual uint32_t GetFlags() = 0;
    virtual void Set(const char* url, const char* method, CEFPostData* postData, const CEFHeaderMap& headers) = 0;
    virtual void SetFirstPartyForCookies(const char* url) = 0;
    virtual void SetReferrer(const char* url, int32_t policy) = 0;
    virtual void SetFlags(uint32_t flags) = 0;
};

class CEFResponse : public CEFObject {
  public:
    virtual int32_t GetStatus() = 0;
    virtual std::string GetStatusText() = 0;
    virtual std::string GetMimeType() = 0;
    virtual std::string GetCharset() = 0;
    virtual std::string GetURL() = 0;
    virtual CEFHeaderMap GetHeaderMap() = 0;
    virtual void SetStatus(int32_t status) = 0;
    virtual void SetStatusText(const char* text) = 0;
    virtual void SetMimeType(const char* type) = 0;
    virtual void SetCharset(const char* charset) = 0;
    virtual void SetURL(const char* url) = 0;
    virtual void SetHeaderMap(const CEFHeaderMap& headers) = 0;
};

class CEFCallback : public CEFObject {
  public:
    virtual void Continue() = 0;
    virtual void Cancel() = 0;
};

class CEFResourceReadCallback : public CEFObject {
  public:
    // bytes written into the buffer of the read; 0 at the end of the data
    virtual void Continue(int32_t bytesRead) = 0;
};

class CEFURLRequest : public CEFObject {
  public:
    virtual CEFResponse* GetResponse() = 0;
};

// Receives a URL request's progress, on the thread that made the request.
class CEFURLRequestClient : public CEFObject {
  public:
    virtual void OnRequestComplete(CEFURLRequest* request) = 0;
    virtual void OnUploadProgress(CEFURLRequest* request, int64_t current, int64_t total) = 0;
    virtual void OnDownloadProgress(CEFURLRequest* request, int64_t current, int64_t total) = 0;
    virtual void OnDownloadData(CEFURLRequest* request, const void* data, size_t length) = 0;
    virtual bool GetAuthCredentials(bool isProxy, const char* host, int32_t port, const char* realm,
                                    const char* scheme, CEFAuthCallback* callback) = 0;
};

// Serves one resource to the engine, on its I/O thread.
class CEFResourceHandler : public CEFObject {
  public:
    virtual bool Open(CEFRequest* request, bool* handleNow, CEFCallback* callback) = 0;
    virtual bool ProcessRequest(CEFRequest* request, CEFCallback* callback) = 0;
    virtual void GetResponseHeaders(CEFResponse* response, int64_t* length, std::string* redirectUrl) = 0;
    virtual bool Skip(int64_t count, int64_t* skipped, CEFResourceReadCallback* callback) = 0;
    virtual bool Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback* callback) = 0;
    virtual bool ReadResponse(void* buffer, int32_t size, int32_t* count, CEFCallback* callback) = 0;
    virtual void Cancel() = 0;
};

class CEFFrame : public CEFObject {
  public:
    virtual int64_t GetIdentifier() = 0;
    virtual std::string GetURL() = 0;
    virtual void ExecuteJavaScript(const char* code, const char* url, int32_t line) = 0;
    virtual CEFV8Context* GetV8Context() = 0;
    virtual void SendProcessMessage(int32_t target, CEFProcessMessage* message) = 0;
    // Starts a request made in this frame; the request holds a reference to the client.
    virtual CEFURLRequest* CreateURLRequest(CEFRequest* request, CEFURLRequestClient* client) = 0;
};

class CEFBrowser : public CEFObject {
  public:
    virtual CEFFrame* GetMainFrame() = 0;
};

// The engine library's own functions.
class CEFEngine {
  public:
    virtual bool LoadLibrary(const char* path) = 0;
    virtual std::string ApiHash() = 0;
    virtual int32_t VersionInfo(int32_t entry) = 0;
    // -1 in the browser process; a child's exit code once it has run
    virtual int32_t ExecuteProcess(int32_t count, char** vector, CEFApp* app) = 0;
    virtual bool Initialize(int32_t count, char** vector, const CEFSettings& settings, CEFApp* app) = 0;
    virtual void Shutdown() = 0;
    virtual void ClearSchemeHandlerFactories() = 0;
    virtual bool CurrentlyOn(int32_t thread) = 0;
    virtual CEFProcessMessage* CreateProcessMessage(const char* name) = 0;
    virtual CEFV8Value* CreateString(const char* text) = 0;
    virtual CEFRequest* CreateRequest() = 0;

  protected:
    ~CEFEngine() = default;
};

// The engine binding of this process; null (the library is absent) until one is installed.
int64_t CEFEngine_Set(CEFEngine* engine);
CEFEngine* CEFEngine_Get();
