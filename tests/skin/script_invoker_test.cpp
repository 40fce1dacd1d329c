// The script invoker: digests of page text against Python's hashlib, instances created for the
// window that asks (or refused without one), and calls carried to the bridge as JSON.
#include "skin/script_invoker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "skin/native_skin_window.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "tests/support/log_capture.h"
#include "workflow/workflow_app.h"

namespace {

class InvokerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("script_invoker.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
        ASSERT_TRUE(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                                SkinInterop_SetOverride, SkinInterop_SetOption));
        GlobalWebBrowserInterface = nullptr;
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        ASSERT_EQ(SkinApp_Init(), 1);
    }
    void TearDown() override {
        SkinApp_Remove();
        WebBrowser_Remove();
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new InvokerEnvironment);

std::string Hex(const std::string& bytes) {
    std::string text;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof(two), "%02x", c);
        text += two;
    }
    return text;
}

// The UTF-16 units of UTF-8 text (valid input only).
std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t point = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < n; k++) point = (point << 6) | ((unsigned char)text[i + k] & 0x3F);
        i += (size_t)n;
        if (point >= 0x10000) {
            point -= 0x10000;
            out += (char16_t)(0xD800 + (point >> 10));
            out += (char16_t)(0xDC00 + (point & 0x3FF));
        } else {
            out += (char16_t)point;
        }
    }
    return out;
}

// "<algorithm> <hex of input, "-" when empty> <digest>" lines from hashlib (zlib for CRC).
std::map<std::string, std::string> Oracle(const std::vector<std::string>& algorithms,
                                          const std::vector<std::string>& inputs) {
    std::string command = "/usr/bin/python3 -c '\n"
                          "import sys, hashlib, zlib\n"
                          "for a in sys.argv[1].split(\",\"):\n"
                          "  for h in sys.argv[2:]:\n"
                          "    d = bytes.fromhex(h[1:])\n"
                          "    v = \"%08x\" % zlib.crc32(d) if a == \"crc\" else hashlib.new(a, d).hexdigest()\n"
                          "    print(a, h[1:] or \"-\", v)\n' ";
    std::string list;
    for (const auto& a : algorithms) list += (list.empty() ? "" : ",") + a;
    command += list;
    for (const auto& input : inputs) command += " x" + Hex(input);
    std::map<std::string, std::string> digests;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return digests;
    char algorithm[32], hex[4096], digest[256];
    while (fscanf(pipe, "%31s %4095s %255s", algorithm, hex, digest) == 3)
        digests[std::string(algorithm) + " " + hex] = digest;
    pclose(pipe);
    return digests;
}

class ScriptInvokerTest : public ::testing::Test {
  protected:
    ScriptInvoker* invoker = nullptr;
    void SetUp() override { ASSERT_EQ(ScriptInvoker_Create(&invoker), 1); }
    void TearDown() override {
        Interop_RemoveInstancesActiveInRequester(nullptr);
        ScriptInvoker_Release(&invoker);
        EXPECT_EQ(invoker, nullptr);
    }
    std::string Hash(const char* algorithm, const std::string& data) {
        char out[200];
        if (!ScriptInvoker_Hash(invoker, algorithm, data.data(), (int32_t)data.size(), out, sizeof(out)))
            return "(failed)";
        return out;
    }
    std::string HashUtf16(const char* algorithm, const std::u16string& data) {
        char out[200];
        if (!ScriptInvoker_HashUtf16(invoker, algorithm, reinterpret_cast<const uint16_t*>(data.data()),
                                     (int32_t)data.size(), out, sizeof(out)))
            return "(failed)";
        return out;
    }
    std::string Invoke(const std::string& id, const std::string& request) {
        MemoryStream* out = nullptr;
        MemoryStream_Create(&out);
        MemoryStream_SetAutoGrow(out, 1);
        ScriptInvoker_Invoke(invoker, id.c_str(), request.c_str(), out);
        uint8_t* bytes = nullptr;
        MemoryStream_GetPointer(out, &bytes);
        uint64_t length = 0;
        MemoryStream_Length(out, &length);
        std::string text(reinterpret_cast<char*>(bytes), (size_t)length);
        MemoryStream_ReleasePointer(out, &bytes);
        MemoryStream_Release(&out);
        return text;
    }
};

// The little-endian bytes of UTF-16 units.
std::string LittleEndian(const std::u16string& units) {
    std::string bytes;
    for (char16_t unit : units) bytes += {(char)(unit & 0xFF), (char)(unit >> 8)};
    return bytes;
}

TEST_F(ScriptInvokerTest, DigestsEqualHashlibOverUtf8AndUtf16) {
    const std::vector<std::string> texts = {
        "", "abc", std::string(1000, 'a'), "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93 \xF0\x9F\x98\x80 \xE4\xB8\xAD"};
    std::vector<std::string> inputs = texts;
    for (const auto& text : texts) inputs.push_back(LittleEndian(Utf16(text)));
    const std::vector<std::string> algorithms = {"crc", "md5", "sha1", "sha224", "sha256", "sha384", "sha512"};
    const auto digests = Oracle(algorithms, inputs);
    ASSERT_EQ(digests.size(), algorithms.size() * (inputs.size() - 1)); // "" is twice in the inputs
    for (const auto& algorithm : algorithms) {
        for (const auto& text : texts) {
            const std::string le = LittleEndian(Utf16(text));
            EXPECT_EQ(Hash(algorithm.c_str(), text), digests.at(algorithm + " " + (text.empty() ? "-" : Hex(text))))
                << algorithm << " " << text;
            EXPECT_EQ(HashUtf16(algorithm.c_str(), Utf16(text)), digests.at(algorithm + " " + (le.empty() ? "-" : Hex(le))))
                << algorithm << " " << text;
        }
    }
}

TEST_F(ScriptInvokerTest, Utf16DigestsAreOverLittleEndianUnits) {
    // hashlib over s.encode('utf-16-le'); the last is a lone high surrogate before "a", whose
    // bytes are 3d d8 61 00.
    const struct {
        const char* algorithm;
        std::u16string text;
        const char* digest;
    } cases[] = {
        {"sha256", u"abc", "13e228567e8249fce53337f25d7970de3bd68ab2653424c7b8f9fd05e33caedf"},
        {"md5", u"abc", "ce1473cf80c6b3fda8e3dfc006adc315"},
        {"sha256", u"h\u00e9llo w\u00f6rld \u2713 \U0001F600 \u4e2d",
         "0fe31ec1fcfe10963fea1a7d7c06c10fd2153298c20d65d20593fae10c0d6a41"},
        {"MD5", u"h\u00e9llo w\u00f6rld \u2713 \U0001F600 \u4e2d", "97dff9b1ed66f0b2fb1a694a338f3bf8"},
        {"sha1", std::u16string{(char16_t)0xD83D, u'a'}, "fa766fdd998b3c66458d1f4b689d214ce0d54152"},
    };
    for (const auto& c : cases) EXPECT_EQ(HashUtf16(c.algorithm, c.text), c.digest) << c.algorithm;
    // Longer than one piece of the hashing: the result does not depend on where pieces end.
    const std::u16string many(10000, u'\u00e9');
    EXPECT_EQ(HashUtf16("sha1", many), Hash("sha1", LittleEndian(many)));
}

TEST_F(ScriptInvokerTest, NamesMatchWithoutCaseAndUnknownOnesFail) {
    // RFC 1319 and RFC 1320 give "abc" for the two digests hashlib no longer offers.
    EXPECT_EQ(Hash("md2", "abc"), "da853b0d3f88d99b30283a69e6ded6bb");
    EXPECT_EQ(Hash("Md4", "abc"), "a448017aaf21d8525fc10ae87aa6729d");
    EXPECT_EQ(Hash("ShA256", "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_STREQ(ScriptInvoker_GetErrorString(invoker), "");
    for (const char* name : {"sha3", "", "sha-256"}) {
        EXPECT_EQ(Hash(name, "abc"), "(failed)") << name;
        EXPECT_EQ(HashUtf16(name, u"abc"), "(failed)") << name;
        EXPECT_STREQ(ScriptInvoker_GetErrorString(invoker), "Unsupported hash algorithm");
    }
}

TEST_F(ScriptInvokerTest, AWindowItselfIsItsScriptInstance) {
    SkinWindow* window = nullptr;
    ASSERT_EQ(SkinWindow_Create(&window), 1);
    char windowId[INTEROP_INSTANCE_ID_SIZE];
    SkinWindow_GetInstanceId(window, windowId, sizeof(windowId));
    ScriptInvoker_SetWindowInstanceId(invoker, windowId);

    char id[INTEROP_INSTANCE_ID_SIZE] = "";
    ASSERT_EQ(ScriptInvoker_CreateInstance(invoker, nullptr, "QVR.SkinWindow", id, sizeof(id)), 1);
    EXPECT_STREQ(id, windowId);
    EXPECT_EQ(ScriptInvoker_HasInstance(invoker, id), 1);
    // Releasing the instance gives back the bridge's reference; the window lives on.
    EXPECT_EQ(ScriptInvoker_ReleaseInstance(invoker, id), 1);
    Interop_Process();
    EXPECT_EQ(ScriptInvoker_HasInstance(invoker, id), 0);
    EXPECT_EQ(Class_ConvertFromInstanceId(windowId), window);

    id[0] = 0;
    EXPECT_EQ(ScriptInvoker_CreateInstance(invoker, windowId, "QVR.NoSuchClass", id, sizeof(id)), 0);
    SkinWindow_Release(&window);
    Interop_Process();

    // The window is gone: nothing is asked of the bridge for it.
    id[0] = 0;
    EXPECT_EQ(ScriptInvoker_CreateInstance(invoker, nullptr, "QVR.SkinApp", id, sizeof(id)), 0);
    EXPECT_STREQ(id, "");
}

TEST_F(ScriptInvokerTest, CallsReachTheApplicationByMethodName) {
    SkinWindow* window = nullptr;
    ASSERT_EQ(SkinWindow_Create(&window), 1);
    char windowId[INTEROP_INSTANCE_ID_SIZE];
    SkinWindow_GetInstanceId(window, windowId, sizeof(windowId));
    char id[INTEROP_INSTANCE_ID_SIZE] = "";
    ASSERT_EQ(ScriptInvoker_CreateInstance(invoker, windowId, "QVR.SkinApp", id, sizeof(id)), 1);
    char appId[INTEROP_INSTANCE_ID_SIZE];
    SkinApp_GetInstanceId(appId, sizeof(appId));
    EXPECT_STREQ(id, appId);
    EXPECT_EQ(Invoke(id, R"({"method":"expandString","expand":"a{Lower:XY}b"})"), R"({"returnValue":"axyb"})");
    EXPECT_EQ(Invoke(id, R"({"method":"noSuchMethod"})"), "");
    EXPECT_EQ(Invoke("no-such-instance", R"({"method":"expandString","expand":"x"})"), "");
    SkinWindow_Release(&window);
}

} // namespace
