// Tests of the core script classes: instances for each class name, requests reached by the CRC-32
// of the method name, exact answers, and the failures of unknown methods and bad arguments.
#include "core/web/core_interop.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/platform/path.h"
#include "core/platform/registry.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/analytics.h"
#include "core/web/web_get.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

TempDir* g_dir = nullptr;

class CoreInteropEnvironment : public LogCaptureEnvironment {
  public:
    void SetUp() override {
        LogCaptureEnvironment::SetUp();
        g_dir = new TempDir;
        SetBothEnv("XDG_CONFIG_HOME", g_dir->path().c_str());
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(Path_Init(), 1);
        ASSERT_EQ(Registry_Init(), 1);
        ASSERT_EQ(WebGet_Init(), 1);
        ASSERT_EQ(Analytics_Init(), 1);
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetStringByPath(config, "analytics.key", "k");
        // Nothing listens there and nothing drives the connection: events stay queued.
        Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/track/");
        Analytics_LoadConfigFromDictionary(config);
        Dictionary_Release(&config);
    }
    void TearDown() override {
        Analytics_Remove();
        WebGet_Remove();
        Registry_Remove();
        Path_Remove();
        NotificationCenter_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
        delete g_dir;
        LogCaptureEnvironment::TearDown();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new CoreInteropEnvironment);

// One script object: the instance the library makes for the class name.
struct Instance {
    explicit Instance(const char* className) {
        created = CoreInterop_CreateInstance(className, id, sizeof(id), nullptr, Execute, &invoke, &release,
                                             &process, &user);
    }
    ~Instance() {
        if (release) release(&user);
    }
    static int64_t Execute(void*, InteropExecuteCallback*, const char*, void*) { return 1; }

    // Sends the JSON request with the zlib CRC-32 of its "method" (or the hash given) and answers
    // the invoke's result and the response as compact JSON.
    std::string Call(const std::string& request, int64_t* answer = nullptr, int64_t hash = -1) {
        Dictionary* root = nullptr;
        Dictionary_Create(&root);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, root);
        EXPECT_EQ(JSON_LoadBuffer(json, request.data(), (uint32_t)request.size()), 1) << request;
        JSON_Release(&json);
        Dictionary* dict = nullptr;
        Dictionary_SkipRoot(root, &dict);
        const char* method = "";
        Dictionary_GetStringPtrByKey(dict, "method", &method);
        if (hash < 0) hash = crc32(0, reinterpret_cast<const Bytef*>(method), (uInt)strlen(method));
        Dictionary_SetInt32ByKey(dict, "#methodHash", (int32_t)(uint32_t)hash);
        Dictionary* response = nullptr;
        Dictionary_Create(&response);
        const int64_t result = invoke(user, dict, response);
        if (answer) *answer = result;
        std::string text = Text(response);
        Dictionary_Release(&response);
        Dictionary_Release(&root);
        return text;
    }
    static std::string Text(Dictionary* dict) {
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, dict);
        JSON_SetMinify(json, 1);
        char buffer[4096] = {};
        uint32_t length = 0;
        JSON_SaveBuffer(json, buffer, sizeof(buffer) - 1, &length);
        JSON_Release(&json);
        return "{" + std::string(buffer, length) + "}";
    }

    int64_t created = 0;
    char id[INTEROP_INSTANCE_ID_SIZE] = {};
    InteropInvokeFunc invoke = nullptr;
    InteropReleaseFunc release = nullptr;
    InteropProcessFunc process = nullptr;
    void* user = nullptr;
};

std::string Returns(const char* value) {
    return std::string(R"({"returnValue":)") + value + "}";
}

TEST(CoreInterop, EachClassGetsItsInstanceAndOthersNone) {
    struct Case {
        const char* name;
        bool id, release, process;
    } cases[] = {
        {"QVR.Process", true, true, true},     {"QVR.Pipe", true, true, true},
        {"QVR.NotificationCenter", false, true, false}, {"QVR.Registry", false, false, false},
        {"QVR.FileSystem", false, false, false}, {"QVR.Platform", false, false, false},
        {"QVR.Analytics", false, false, false}, {"QVR.WebGet", false, false, false},
    };
    for (const Case& c : cases) {
        Instance instance(c.name);
        EXPECT_EQ(instance.created, 1) << c.name;
        EXPECT_NE(instance.invoke, nullptr) << c.name;
        EXPECT_EQ(instance.id[0] != 0, c.id) << c.name;
        EXPECT_EQ(instance.release != nullptr, c.release) << c.name;
        EXPECT_EQ(instance.process != nullptr, c.process) << c.name;
        EXPECT_EQ(instance.user != nullptr, c.release) << c.name;
    }
    for (const char* name : {"QVR.filesystem", "QVR.Workflow", "", "QVR.FileSystem "}) {
        Instance instance(name);
        EXPECT_EQ(instance.created, 0) << name;
        EXPECT_EQ(instance.invoke, nullptr);
        EXPECT_EQ(instance.user, nullptr);
    }
    EXPECT_EQ(CoreInterop_Init() + CoreInterop_Remove() + CoreInterop_SetOverride("Debug_Print", nullptr) +
                  CoreInterop_SetOption("a.b", "c"),
              4);
}

TEST(CoreInterop, UnknownMethodsAndBadArgumentsAnswerZero) {
    Instance files("QVR.FileSystem");
    int64_t answer = -1;
    // Another case of a name, a name of another class, no hash at all.
    for (const char* request : {R"({"method":"FileExists","path":"/"})", R"({"method":"launch"})"}) {
        TakeLog();
        EXPECT_EQ(files.Call(request, &answer), "{}") << request;
        EXPECT_EQ(answer, 0);
    }
    struct Case {
        const char* request;
        const char* response;
        const char* log;
    } cases[] = {
        {R"({"method":"fileErase"})", R"({"returnValue":0})", "Parameter missing (Path.fileErase::path)"},
        {R"({"method":"fileCopy","sourceFilename":"/a","targetFilename":"/b"})", R"({"returnValue":false})",
         "Parameter missing (Path.fileCopy::failIfExists)"},
        {R"({"method":"pathParseExtension","path":"a.txt","includeDot":"yes"})", R"({"returnValue":""})",
         "Incorrect parameter type (Path.pathParseExtension::includeDot)"},
        {R"({"method":"fileGetSize","path":7})", R"({"returnValue":0})",
         "Incorrect parameter type (Path.fileGetSize::path)"},
    };
    for (const Case& c : cases) {
        TakeLog();
        EXPECT_EQ(files.Call(c.request, &answer), c.response) << c.request;
        EXPECT_EQ(answer, 0);
        const std::string log = TakeLog();
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        // Only the first failing argument is reported.
        EXPECT_EQ(log.find("Parameter", log.find(c.log) + 1), std::string::npos) << log;
    }
    TakeLog();
    Dictionary* empty = nullptr;
    Dictionary_Create(&empty);
    EXPECT_EQ(files.invoke(nullptr, empty, empty), 0);
    EXPECT_NE(TakeLog().find("Class invoker unable to find method (Path)"), std::string::npos);
    Dictionary_Release(&empty);
}

TEST(CoreInterop, FileSystemActsOnFilesAndAnswersErrorValues) {
    Instance files("QVR.FileSystem");
    const std::string dir = g_dir->path() + "/files";
    const std::string file = dir + "/a.txt";
    auto call = [&](const std::string& method, const std::string& args) {
        return files.Call(R"({"method":")" + method + "\"" + args + "}");
    };
    const std::string onDir = R"(,"path":")" + dir + "\"";
    const std::string onFile = R"(,"path":")" + file + "\"";
    EXPECT_EQ(call("directoryCreate", onDir), Returns("0"));
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(call("directoryIsEmpty", onDir), Returns("true"));
    std::ofstream(file) << "hello";
    EXPECT_EQ(call("fileExists", onDir), Returns("true"));
    EXPECT_EQ(call("directoryExists", onDir), Returns("true"));
    EXPECT_EQ(call("directoryExists", onFile), Returns("false"));
    EXPECT_EQ(call("directoryIsEmpty", onDir), Returns("false"));
    EXPECT_EQ(call("fileGetSize", onFile), Returns("5"));
    const std::string copy = R"(,"sourceFilename":")" + file + R"(","targetFilename":")" + dir + "/b.txt\"";
    EXPECT_EQ(call("fileCopy", copy + R"(,"failIfExists":true)"), Returns("true"));
    EXPECT_EQ(call("fileCopy", copy + R"(,"failIfExists":true)"), Returns("false"));
    EXPECT_EQ(call("pathCompare", onFile + R"(,"comparePath":")" + dir + R"(/A.TXT","ignoreCase":true)"),
              Returns("true"));
    EXPECT_EQ(call("pathCompare", onFile + R"(,"comparePath":")" + dir + R"(/A.TXT","ignoreCase":false)"),
              Returns("false"));
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(call("getModifiedTime", onFile), Returns(std::to_string(info.st_mtime).c_str()));
    EXPECT_EQ(call("getModifiedTime", R"(,"path":"/no/such/file")"), Returns("0"));
    // The size arrives later through the callback; the call answers at once.
    EXPECT_EQ(call("directoryGetSize", onDir + R"(,"callbackId":"cb1")"), Returns("true"));
    // The error values of the attempts, not booleans: the platform code of EEXIST where a file stands.
    EXPECT_EQ(call("directoryCreate", onFile), Returns("100017"));
    // A refusal is never 0: a directory is not erased as a file, nor a file as a directory.
    EXPECT_EQ(call("fileErase", onDir), Returns("100021"));
    EXPECT_EQ(call("directoryErase", onFile), Returns("100020"));
    EXPECT_EQ(call("fileErase", onFile), Returns("0"));
    EXPECT_EQ(call("fileExists", onFile), Returns("false"));
    EXPECT_EQ(call("directoryErase", onDir), Returns("0"));
    EXPECT_EQ(call("directoryExists", onDir), Returns("false"));
}

// A file system mounted inside the tree (in a child's own mount namespace) is not erased across:
// the script gets the code of EBUSY, and what the mount holds stays.
TEST(CoreInterop, DirectoryEraseStopsAtAFileSystemMountedInside) {
    if (!CanIsolate()) GTEST_SKIP() << "no mount namespace of a child's own here (needs root)";
    const std::string tree = g_dir->path() + "/mounted", mnt = tree + "/mnt";
    ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    const std::optional<std::string> text =
        RunIsolated([&] { return EmptyTmpfs(mnt) && WriteText(mnt + "/kept", "k"); },
                    [&] {
                        Instance files("QVR.FileSystem");
                        const std::string answer =
                            files.Call(R"({"method":"directoryErase","path":")" + tree + "\"}");
                        return answer + "|" + ReadFile(mnt + "/kept");
                    });
    EXPECT_EQ(text.value_or("the child failed"), Returns("100016") + "|k");
}

TEST(CoreInterop, PathTextsAreThePathLayersOwn) {
    Instance files("QVR.FileSystem");
    struct Case {
        const char* request;
        const char* value;
    } cases[] = {
        {R"({"method":"pathParseExtension","path":"/a/b.tar.gz","includeDot":true})", R"(".gz")"},
        {R"({"method":"pathParseExtension","path":"/a/b.tar.gz","includeDot":false})", R"("gz")"},
        {R"({"method":"pathParseName","path":"/a/b.txt"})", R"("b.txt")"},
        {R"({"method":"pathParseNameWithoutExtension","path":"/a/b.txt"})", R"("b")"},
        {R"({"method":"pathParseDirectory","path":"/a/b.txt"})", R"("/a/")"},
        {R"({"method":"pathFixSlash","path":"/a\\b","trailingSlash":true})", R"("/a/b/")"},
        {R"({"method":"pathConvertToUrl","path":"/a/b"})", R"("file:///a/b")"},
        {R"({"method":"pathConvertFromUrl","url":"file:///a/b"})", R"("/a/b")"},
    };
    for (const Case& c : cases) EXPECT_EQ(files.Call(c.request), Returns(c.value)) << c.request;
}

TEST(CoreInterop, RegistryKeepsWideValuesAndBytes) {
    Instance registry("QVR.Registry");
    Authenticate_SetEnabled(0);
    const std::string where = R"("view":"default","type":"user","key":"scripts/x")";
    auto set = [&](const char* method, const std::string& rest) {
        return registry.Call(std::string(R"({"method":")") + method + R"(","security":"default",)" + where + rest + "}");
    };
    auto get = [&](const char* method, const std::string& rest) {
        return registry.Call(std::string(R"({"method":")") + method + R"(",)" + where + rest + "}");
    };
    EXPECT_EQ(get("getInt64", R"(,"name":"big","defaultValue":6000000000)"), Returns("6000000000"));
    EXPECT_EQ(set("setInt32", R"(,"name":"small","value":-5)"), Returns("true"));
    EXPECT_EQ(get("getInt32", R"(,"name":"small","defaultValue":1)"), Returns("-5"));
    EXPECT_EQ(get("getInt32", R"(,"name":"none","defaultValue":9)"), Returns("9"));
    EXPECT_EQ(set("setString", R"(,"name":"s","value":"text")"), Returns("true"));
    EXPECT_EQ(get("getString", R"(,"name":"s","defaultValue":"d")"), Returns(R"("text")"));
    EXPECT_EQ(set("setData", R"(,"name":"d","value":"AAEC/w==")"), Returns("true"));
    EXPECT_EQ(get("getData", R"(,"name":"d","defaultValue":"")"), Returns(R"("AAEC/w==")"));
    EXPECT_EQ(get("getData", R"(,"name":"none","defaultValue":"QUJD")"), Returns(R"("QUJD")"));
    EXPECT_EQ(get("getData", R"(,"name":"none","defaultValue":"")"), Returns("null"));
    TakeLog();
    EXPECT_EQ(set("setData", R"(,"name":"e","value":"not base64!")"), Returns("false"));
    EXPECT_NE(TakeLog().find("Parameter is not Base64 (Registry.setData::value)"), std::string::npos);
    EXPECT_EQ(get("keyExists", ""), Returns("true"));
    EXPECT_EQ(get("deleteValue", R"(,"name":"s")"), Returns("true"));
    EXPECT_EQ(get("getString", R"(,"name":"s","defaultValue":"d")"), Returns(R"("d")"));
    EXPECT_EQ(get("deleteKey", ""), Returns("true"));
    EXPECT_EQ(get("keyExists", ""), Returns("false"));
    Authenticate_SetEnabled(1);
}

TEST(CoreInterop, PlatformAnswers) {
    Instance platform("QVR.Platform");
    EXPECT_EQ(platform.Call(R"({"method":"getCredential","target":"no-such-target"})"),
              R"({"username":"","password":"","returnValue":false})");
    // An access type the store does not know is the script's mistake: refused, never a stop.
    EXPECT_EQ(platform.Call(R"({"method":"getWebCredential","accessType":9,"host":"h","realm":""})"),
              R"({"username":"","password":"","returnValue":false})");
    EXPECT_EQ(platform.Call(R"({"method":"setWebCredential","accessType":-1,"host":"h","realm":"","username":"u",)"
                            R"("password":"p"})"),
              Returns("false"));
    // The method formatting a wall-clock time is reached by its hash alone.
    EXPECT_EQ(platform.Call(R"({"method":"","date":784111777})", nullptr, 0x07bfa61d),
              Returns(R"("Sun, 06 Nov 1994 08:49:37 GMT")"));
    EXPECT_EQ(platform.Call(R"({"method":"setEnvironmentVariable","name":"CORE_INTEROP_T","value":"v1"})"),
              Returns("true"));
    EXPECT_EQ(platform.Call(R"({"method":"getEnvironmentVariable","name":"CORE_INTEROP_T"})"), Returns(R"("v1")"));
    EXPECT_EQ(platform.Call(R"({"method":"unsetEnvironmentVariable","name":"CORE_INTEROP_T"})"), Returns("true"));
    EXPECT_EQ(getenv("CORE_INTEROP_T"), nullptr);
    EXPECT_EQ(platform.Call(R"({"method":"getBitness"})"), Returns("64"));
    EXPECT_EQ(platform.Call(R"({"method":"findProcess","path":"/no/such/program-x"})"), Returns("-1"));
    // This test program carries no data store.
    EXPECT_EQ(platform.Call(R"({"method":"getDataStore"})"), Returns("null"));
    EXPECT_EQ(platform.Call(R"({"method":"getFileDataStore","path":"/no/such/file"})"), Returns("null"));
    EXPECT_EQ(platform.Call(R"({"method":"findWindow","caption":"*","className":"*","searchOnlyVisible":true})"),
              Returns("false"));
}

TEST(CoreInterop, ProcessStreamsNamePipesOnly) {
    Instance process("QVR.Process");
    Instance pipe("QVR.Pipe");
    Instance other("QVR.Process");
    EXPECT_EQ(process.Call(R"({"method":"setApplicationName","applicationName":"/bin/true"})"), Returns("true"));
    EXPECT_EQ(process.Call(R"({"method":"getApplicationName"})"), Returns(R"("/bin/true")"));
    EXPECT_EQ(process.Call(R"({"method":"getShortApplicationName"})"), Returns(R"("true")"));
    EXPECT_EQ(process.Call(R"({"method":"getId"})"), Returns("0"));
    const std::string pipeId = pipe.id;
    EXPECT_EQ(process.Call(R"({"method":"setStdout","stdout":{"instanceId":")" + pipeId + "\"}}"), Returns("true"));
    EXPECT_EQ(process.Call(R"({"method":"getStdout"})"), Returns((R"({"instanceId":")" + pipeId + "\"}").c_str()));
    // An id of another kind of object is refused and the slot kept.
    EXPECT_EQ(process.Call(R"({"method":"setStdin","stdin":{"instanceId":")" + std::string(other.id) + "\"}}"),
              Returns("false"));
    EXPECT_EQ(process.Call(R"({"method":"getStdin"})"), Returns("{}"));
    EXPECT_EQ(process.Call(R"({"method":"setStderr","stderr":"x"})"), Returns("false"));
}

TEST(CoreInterop, PipeSettingsAndWrites) {
    Instance pipe("QVR.Pipe");
    EXPECT_EQ(pipe.Call(R"({"method":"setName","name":"core-interop-t"})"), Returns("true"));
    EXPECT_EQ(pipe.Call(R"({"method":"getName"})"), Returns(R"("core-interop-t")"));
    EXPECT_EQ(pipe.Call(R"({"method":"setBufferSize","bufferSize":4096})"), Returns("true"));
    EXPECT_EQ(pipe.Call(R"({"method":"getBufferSize"})"), Returns("4096"));
    EXPECT_EQ(pipe.Call(R"({"method":"setOpenExisting","openExisting":true})"), Returns("true"));
    EXPECT_EQ(pipe.Call(R"({"method":"getOpenExisting"})"), Returns("true"));
    // Nothing is written to a pipe that was never started.
    EXPECT_EQ(pipe.Call(R"({"method":"write","buffer":"aGk="})"), Returns("0"));
}

TEST(CoreInterop, NotificationCentresOfOneScriptShareItsRegistration) {
    const int32_t before = Interop_GetExecuteCallbackCount();
    {
        Instance first("QVR.NotificationCenter");
        {
            Instance second("QVR.NotificationCenter");
            EXPECT_EQ(Interop_GetExecuteCallbackCount(), before + 1);
        }
        // The first instance still has its registration after the second is dropped.
        EXPECT_EQ(Interop_GetExecuteCallbackCount(), before + 1);
        EXPECT_EQ(first.Call(R"({"method":"addObserver","type":"T","notification":"N","callbackId":"c"})"),
                  Returns("true"));
        EXPECT_EQ(first.Call(R"({"method":"fire","type":"T","notification":"N","sender":"","info":"{\"a\":1}"})"),
                  Returns("true"));
        EXPECT_EQ(first.Call(R"({"method":"removeObserver","type":"T","notification":"N","callbackId":"c"})"),
                  Returns("true"));
    }
    EXPECT_EQ(Interop_GetExecuteCallbackCount(), before);
}

TEST(CoreInterop, RedirectRulesAndAnalytics) {
    Instance web("QVR.WebGet");
    EXPECT_EQ(web.Call(R"({"method":"redirectAdd","name":"r1","flags":1,"mutable":true,"pattern":"^http://a/",)"
                       R"("replacement":"http://b/","compileOptions":0,"subOptions":0})"),
              Returns("true"));
    EXPECT_EQ(web.Call(R"({"method":"redirect","flags":1,"url":"http://a/x"})"), Returns(R"("http://b/x")"));
    EXPECT_EQ(web.Call(R"({"method":"redirectRemove","name":"r1"})"), Returns("true"));
    EXPECT_EQ(web.Call(R"({"method":"redirect","flags":1,"url":"http://a/x"})"), Returns(R"("http://a/x")"));
    EXPECT_EQ(web.Call(R"({"method":"redirectClearAll"})"), Returns("true"));
    Instance analytics("QVR.Analytics");
    EXPECT_EQ(analytics.Call(R"({"method":"sendEvent","eventName":"E","info":"{\"a\":1}"})"), Returns("true"));
    EXPECT_EQ(analytics.Call(R"({"method":"sendEvent","eventName":"E","info":"[1"})"), Returns("false"));
    EXPECT_EQ(analytics.Call(R"({"method":"setEnabled","enabled":false})"), Returns("true"));
    Analytics_Clear();
}

} // namespace
