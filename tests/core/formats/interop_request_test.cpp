// Tests of the request accessors: the method and its hash, typed parameters with their failure
// texts, and the Base64 buffers.
#include "core/formats/interop_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/formats/crc.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "tests/support/log_capture.h"

namespace {

// A request as the bridge hands it to Invoke: the JSON object, and the method's CRC-32 as the
// private "methodHash".
class Request {
  public:
    explicit Request(const char* text) {
        Dictionary_Create(&root_);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, root_);
        EXPECT_EQ(JSON_LoadBuffer(json, text, (uint32_t)strlen(text)), 1) << text;
        JSON_Release(&json);
        Dictionary_SkipRoot(root_, &dict_);
        const char* method = nullptr;
        // A request whose method is "bare" lacks the bridge's hash.
        if (Dictionary_GetStringPtrByKey(dict_, "method", &method) && strcmp(method, "bare") != 0)
            Dictionary_SetInt32ByKey(dict_, "#methodHash",
                                     (int32_t)CRC_Update(0, method, (uint32_t)strlen(method)));
    }
    ~Request() { Dictionary_Release(&root_); }
    Dictionary* operator*() const { return dict_; }

  private:
    Dictionary* root_ = nullptr;
    Dictionary* dict_ = nullptr;
};

class ApiGenTest : public ::testing::Test {
  protected:
    LogCapture log;
};

TEST_F(ApiGenTest, MethodAndHashOrTheReason) {
    const char* cases[][2] = {
        {R"({"method":"getValue"})", ""},
        {R"({"amount":1})", "Class invoker unable to find method (Analytics)"},
        {R"({"method":5})", "Method type is not a string (Analytics)"},
        {R"({"method":"bare"})", "Method lookup hash not found (Analytics.bare)"},
    };
    for (const auto& c : cases) {
        log.Clear();
        Request request(c[0]);
        const char* method = nullptr;
        uint32_t hash = 0;
        EXPECT_EQ(ApiGen_GetMethod(*request, "Analytics", &method, &hash), c[1][0] ? 0 : 1) << c[0];
        EXPECT_NE(log.Text().find(c[1]), std::string::npos) << log.Text();
    }
    Request request(cases[0][0]);
    const char* method = nullptr;
    uint32_t hash = 0;
    ApiGen_GetMethod(*request, "Analytics", &method, &hash);
    EXPECT_STREQ(method, "getValue");
    EXPECT_EQ(hash, CRC_Update(0, "getValue", 8));
}

TEST_F(ApiGenTest, ParametersNeedTheirExactType) {
    Request request(
        R"({"method":"m","n":"5","b":1,"i":42,"big":5000000000,"f":2.5,"s":"text","d":{"k":true},"t":true})");
    int32_t i32 = -1;
    int64_t i64 = -1;
    double f = -1;
    uint32_t b = 7;
    char buffer[3] = "";
    const char* text = nullptr;
    Dictionary* dict = nullptr;
    EXPECT_EQ(ApiGen_GetInt32(*request, "C", "m", "i", &i32), 1);
    EXPECT_EQ(i32, 42);
    EXPECT_EQ(ApiGen_GetInt64(*request, "C", "m", "big", &i64), 1);
    EXPECT_EQ(i64, 5000000000);
    EXPECT_EQ(ApiGen_GetFloat64(*request, "C", "m", "f", &f), 1);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(ApiGen_GetBoolean(*request, "C", "m", "t", &b), 1);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(ApiGen_GetString(*request, "C", "m", "s", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "te");
    EXPECT_EQ(ApiGen_GetStringPtr(*request, "C", "m", "s", &text), 1);
    EXPECT_STREQ(text, "text");
    EXPECT_EQ(ApiGen_GetDictionary(*request, "C", "m", "d", &dict), 1);
    EXPECT_TRUE(Dictionary_ContainsKey(dict, "k"));

    // parameter, the line logged; the out value stays untouched
    const char* failures[][2] = {
        {"n", "Incorrect parameter type (C.m::n)"},
        {"none", "Parameter missing (C.m::none)"},
    };
    for (const auto& c : failures) {
        log.Clear();
        i32 = -1;
        EXPECT_EQ(ApiGen_GetInt32(*request, "C", "m", c[0], &i32), 0);
        EXPECT_EQ(i32, -1);
        EXPECT_NE(log.Text().find(c[1]), std::string::npos) << log.Text();
    }
    log.Clear();
    b = 7;
    EXPECT_EQ(ApiGen_GetBoolean(*request, "C", "m", "b", &b), 0);
    EXPECT_EQ(b, 7u);
    EXPECT_NE(log.Text().find("Incorrect parameter type (C.m::b)"), std::string::npos);
    EXPECT_EQ(ApiGen_GetDictionary(*request, "C", "m", "s", &dict), 0);
    EXPECT_EQ(ApiGen_GetString(*request, "C", "m", "i", buffer, sizeof(buffer)), 0);
}

TEST_F(ApiGenTest, Base64Buffers) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0, size = 0;
    EXPECT_EQ(ApiGen_CreateBase64DecodedBuffer("YWJj", &bytes, &length, &size), 1);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string("abc\0", 4));
    EXPECT_EQ(ApiGen_DeleteBase64DecodedBuffer(&bytes, &size), 1);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ApiGen_DeleteBase64DecodedBuffer(&bytes, &size), 1);
    // Not Base64: the decoder's 0, and still a terminated buffer to free.
    EXPECT_EQ(ApiGen_CreateBase64DecodedBuffer("Y", &bytes, &length, &size), 0);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[length], 0);
    ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);

    char* text = nullptr;
    EXPECT_EQ(ApiGen_CreateBase64EncodedBuffer("abc", 3, &text, &size), 1);
    EXPECT_STREQ(text, "YWJj");
    EXPECT_GE(size, 15u);
    EXPECT_EQ(ApiGen_DeleteBase64EncodedBuffer(&text, &size), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ApiGen_CreateBase64EncodedBuffer(nullptr, 3, &text, &size), 0);
    EXPECT_EQ(text, nullptr);
}

} // namespace
