// Tests of the NTLM messages: negotiate and authenticate layouts, challenge parsing and its bounds,
// and the NTLM2 session and NTLMv2 responses against the MS-NLMP 4.2 example values (user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef, client challenge
// aaaaaaaaaaaaaaaa). The NTLMv2 proof for the fixed test timestamp was computed with python3's
// hmac/hashlib from the NT hash, a script that reproduces the published proof for timestamp 0.
#include "core/web/ntlm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/hex.h"
#include "tests/support/log_capture.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

void Add16(Bytes& b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void Add32(Bytes& b, uint32_t v) {
    Add16(b, v & 0xffff);
    Add16(b, v >> 16);
}
void AddBuffer(Bytes& b, uint32_t length, uint32_t offset) {
    Add16(b, length);
    Add16(b, length);
    Add32(b, offset);
}
Bytes Utf16(const std::string& s) {
    Bytes out;
    for (char c : s) Add16(out, (uint8_t)c);
    return out;
}
uint32_t Read16(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8;
}
uint32_t Read32(const Bytes& b, size_t at) {
    return Read16(b, at) | Read16(b, at + 2) << 16;
}
Bytes Slice(const Bytes& b, size_t at, size_t n) {
    return Bytes(b.begin() + (long)at, b.begin() + (long)(at + n));
}

// The target information of the MS-NLMP example: domain "Domain", server "Server".
Bytes ExampleTargetInfo() {
    Bytes info;
    Add16(info, 2), Add16(info, 12);
    Bytes d = Utf16("Domain");
    info.insert(info.end(), d.begin(), d.end());
    Add16(info, 1), Add16(info, 12);
    Bytes s = Utf16("Server");
    info.insert(info.end(), s.begin(), s.end());
    Add32(info, 0);
    return info;
}

// A form-3 challenge (56-byte header) with the target name "Domain" and the given information.
Bytes Challenge(uint32_t flags, const Bytes& info) {
    const Bytes name = Utf16("Domain");
    Bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    Add32(m, 2);
    AddBuffer(m, (uint32_t)name.size(), 56);
    Add32(m, flags);
    Bytes challenge = FromHex("0123456789abcdef");
    m.insert(m.end(), challenge.begin(), challenge.end());
    for (int i = 0; i < 8; i++) m.push_back(0);
    AddBuffer(m, (uint32_t)info.size(), 56 + (uint32_t)name.size());
    Bytes version = FromHex("0600701700000000");
    m.insert(m.end(), version.begin(), version.begin() + 8);
    m.insert(m.end(), name.begin(), name.end());
    m.insert(m.end(), info.begin(), info.end());
    return m;
}

class NTLMTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTLM_SetForTest(1);
        ASSERT_EQ(NTLM_Create(&Ntlm), 1);
    }
    void TearDown() override {
        NTLM_Release(&Ntlm);
        NTLM_SetForTest(0);
    }
    NTLMResponse2* Parse(const Bytes& m) {
        NTLMResponse2* r = nullptr;
        NTLM_Response2Create(Ntlm, m.data(), (int32_t)m.size(), &r);
        return r;
    }
    // The authenticate message for a challenge, written out whole.
    Bytes Answer(const Bytes& challenge, bool v2, const char* user = "User") {
        NTLMResponse2* r = Parse(challenge);
        EXPECT_NE(r, nullptr);
        if (!r) return {};
        NTLM_ResponseSetV2(Ntlm, r, v2);
        NTLMRequest3* m = nullptr;
        Bytes out(2048);
        if (NTLM_Request3Create(Ntlm, r, user, "Password", &m)) {
            out.resize((size_t)NTLM_Request3GetBuffer(Ntlm, m, out.data(), (int32_t)out.size()));
            NTLM_Request3Delete(Ntlm, &m);
        } else {
            out.clear();
        }
        NTLM_Response2Delete(Ntlm, &r);
        return out;
    }
    NTLM* Ntlm = nullptr;
};

TEST_F(NTLMTest, NegotiateLayout) {
    struct Row {
        const char* Domain;
        const char* Workstation;
        const char* Hex;
    };
    const Row rows[] = {
        {"", "", "4e544c4d53535000" "01000000" "05820800" "0000000020000000" "0000000020000000"},
        {"D", "W", "4e544c4d53535000" "01000000" "05b20800" "0100010020000000" "0100010021000000" "4457"},
    };
    for (const Row& row : rows) {
        NTLMRequest1* m = nullptr;
        ASSERT_EQ(NTLM_Request1Create(Ntlm, row.Domain, row.Workstation, &m), 1);
        uint8_t out[64];
        const int64_t n = NTLM_Request1GetBuffer(Ntlm, m, out, sizeof(out));
        EXPECT_EQ(ToHex(out, (size_t)n), row.Hex) << row.Domain;
        // Too small for the payload: the header alone; too small for a field: the fields before it.
        EXPECT_EQ(NTLM_Request1GetBuffer(Ntlm, m, out, 33), 32);
        EXPECT_EQ(NTLM_Request1GetBuffer(Ntlm, m, out, 20), 16);
        NTLM_Request1Delete(Ntlm, &m);
        EXPECT_EQ(m, nullptr);
    }
}

TEST_F(NTLMTest, ChallengeParsing) {
    const Bytes info = ExampleTargetInfo();
    const Bytes full = Challenge(0x88205, info);
    auto header = [&](size_t size) { return Slice(full, 0, size); };
    auto patched = [&](size_t at, uint32_t value) {
        Bytes m = full;
        m[at] = (uint8_t)value, m[at + 1] = (uint8_t)(value >> 8), m[at + 2] = (uint8_t)(value >> 16),
        m[at + 3] = (uint8_t)(value >> 24);
        return m;
    };
    auto noName = [&](size_t size) {
        Bytes m = header(size);
        m[12] = m[13] = m[14] = m[15] = 0;
        if (size >= 48) m[40] = m[41] = m[42] = m[43] = 0;
        return m;
    };
    // A message over the stored 1081 bytes whose target information lies beyond them.
    Bytes longMessage = noName(56);
    longMessage.resize(1200, 0x41);
    longMessage[40] = 50, longMessage[42] = 50;
    longMessage[44] = 0x4c, longMessage[45] = 0x04; // offset 1100
    struct Row {
        const char* Name;
        Bytes Message;
        bool Ok;
        uint32_t Form;
    };
    const Row rows[] = {
        {"31 bytes", noName(31), false, 0},
        {"form 1, 40 bytes", noName(40), true, 1},
        {"form 2, 48 bytes", noName(48), true, 2},
        {"form 3, 56 bytes", noName(56), true, 3},
        {"full", full, true, 3},
        {"signature", patched(4, 0x00505354), false, 0},
        {"type 3", patched(8, 3), false, 0},
        {"target name past the end", patched(16, (uint32_t)full.size() - 4), false, 0},
        {"target name offset wraps", patched(16, 0xfffffffe), false, 0},
        {"target info past the end", patched(44, (uint32_t)full.size() - 4), false, 0},
        {"flags share no default bit", patched(20, 0x2), false, 0},
        {"buffer beyond the stored bytes", longMessage, false, 0},
    };
    for (const Row& row : rows) {
        NTLMResponse2* r = Parse(row.Message);
        EXPECT_EQ(r != nullptr, row.Ok) << row.Name;
        if (!r) continue;
        EXPECT_EQ(r->Form, row.Form) << row.Name;
        EXPECT_EQ(ToHex(r->Challenge, 8), "0123456789abcdef") << row.Name;
        if (row.Form == 1) {
            EXPECT_EQ(r->TargetInfo.Length, 0) << row.Name;
        }
        EXPECT_EQ(r->UseV2, 0u);
        NTLM_Response2Delete(Ntlm, &r);
        EXPECT_EQ(r, nullptr);
    }
}

TEST_F(NTLMTest, SessionResponseKnownAnswer) {
    // The version bit of the challenge is not echoed; extended security is always asked for.
    const Bytes m = Answer(Challenge(0x88205 | 0x2000000, ExampleTargetInfo()), false);
    ASSERT_EQ(m.size(), 64u + 24 + 24 + 12 + 8 + 16);
    EXPECT_EQ(ToHex(Slice(m, 0, 12)), "4e544c4d5353500003000000");
    EXPECT_EQ(Read32(m, 60), 0x88205u);
    struct Field {
        size_t At;
        uint32_t Length;
        uint32_t Offset;
        std::string Hex;
    };
    const Field fields[] = {
        {12, 24, 64, "aaaaaaaaaaaaaaaa00000000000000000000000000000000"},
        {20, 24, 88, "7537f803ae367128ca458204bde7caf81e97ed2683267232"},
        {28, 12, 112, ToHex(Utf16("Domain"))},
        {36, 8, 124, ToHex(Utf16("User"))},
        {44, 16, 132, ToHex(Utf16("COMPUTER"))},
        {52, 0, 64, ""},
    };
    for (const Field& f : fields) {
        EXPECT_EQ(Read16(m, f.At), f.Length) << f.At;
        EXPECT_EQ(Read16(m, f.At + 2), f.Length) << f.At;
        EXPECT_EQ(Read32(m, f.At + 4), f.Offset) << f.At;
        EXPECT_EQ(ToHex(Slice(m, f.Offset, f.Length)), f.Hex) << f.At;
    }
}

TEST_F(NTLMTest, AuthenticateFlagsAndNameEncoding) {
    struct Row {
        uint32_t ChallengeFlags;
        uint32_t Flags;
        std::string User;
    };
    const Row rows[] = {
        {0xe28a8233, 0x88201, ToHex(Utf16("User"))},
        {0x88205 | 0x4000, 0x88205, ToHex(Utf16("User"))},
        // Without Unicode the names go as 8-bit text.
        {0x8204, 0x88204, "55736572"},
    };
    for (const Row& row : rows) {
        const Bytes m = Answer(Challenge(row.ChallengeFlags, ExampleTargetInfo()), false);
        ASSERT_GE(m.size(), 64u);
        EXPECT_EQ(Read32(m, 60), row.Flags) << std::hex << row.ChallengeFlags;
        EXPECT_EQ(ToHex(Slice(m, Read32(m, 40), Read16(m, 36))), row.User);
    }
}

TEST_F(NTLMTest, NtlmV2KnownAnswer) {
    const Bytes info = ExampleTargetInfo();
    const Bytes m = Answer(Challenge(0xe28a8233, info), true);
    ASSERT_GT(m.size(), 64u);
    EXPECT_EQ(ToHex(Slice(m, Read32(m, 16), Read16(m, 12))), std::string(48, '0'));
    const Bytes nt = Slice(m, Read32(m, 24), Read16(m, 20));
    const std::string blob = "0101000000000000" "800bc8fd00d4d201" "aaaaaaaaaaaaaaaa" "00000000" + ToHex(info) + "00000000";
    EXPECT_EQ(ToHex(nt), "141fc0a93071c89968630daf4d424f0b" + blob);
}

TEST_F(NTLMTest, AuthenticateWrittenWhileFieldsFit) {
    NTLMResponse2* r = Parse(Challenge(0x88205, ExampleTargetInfo()));
    ASSERT_NE(r, nullptr);
    NTLMRequest3* m = nullptr;
    ASSERT_EQ(NTLM_Request3Create(Ntlm, r, "User", "Password", &m), 1);
    // The session key buffer does not fit in 58 bytes; the 4-byte flags after it would, but
    // must not be written in its place.
    const std::pair<int32_t, int64_t> rows[] = {{58, 52}, {63, 60}, {64, 64}, {147, 64}, {148, 148}};
    for (const auto& [capacity, written] : rows) {
        Bytes out((size_t)capacity + 1);
        EXPECT_EQ(NTLM_Request3GetBuffer(Ntlm, m, out.data(), capacity), written) << capacity;
    }
    NTLM_Request3Delete(Ntlm, &m);
    NTLM_Response2Delete(Ntlm, &r);
}

TEST_F(NTLMTest, TooLongUserIsRefused) {
    const Bytes challenge = Challenge(0x88205, ExampleTargetInfo());
    EXPECT_TRUE(Answer(challenge, false, std::string(600, 'u').c_str()).empty());
    EXPECT_FALSE(Answer(challenge, false, std::string(400, 'u').c_str()).empty());
}

TEST_F(NTLMTest, TestFlagsOnlyInTestMode) {
    NTLM_TestFlagTurnOn(0x10);
    NTLM_TestFlagTurnOff(0x4);
    EXPECT_EQ(NTLM_GetDefaultFlags(), 0x88211u);
    NTLM_SetForTest(0);
    EXPECT_EQ(NTLM_GetDefaultFlags(), 0x88205u);
    NTLM_TestFlagTurnOn(0x10);
    EXPECT_EQ(NTLM_GetDefaultFlags(), 0x88205u);
    // Outside test mode the client challenge is random, and the domain and workstation empty.
    const Bytes a = Answer(Challenge(0x88205, ExampleTargetInfo()), false);
    const Bytes b = Answer(Challenge(0x88205, ExampleTargetInfo()), false);
    ASSERT_EQ(a.size(), 64u + 24 + 24 + 8);
    EXPECT_NE(Slice(a, 64, 8), Slice(b, 64, 8));
    EXPECT_EQ(Read16(a, 28), 0u);
    EXPECT_EQ(Read16(a, 44), 0u);
}

TEST_F(NTLMTest, PrintsTheChallenge) {
    Bytes info = ExampleTargetInfo();
    for (int i = 0; i < 4; i++) info.pop_back();
    Add16(info, 7), Add16(info, 8), Add32(info, 1), Add32(info, 0);
    // An entry claiming more than the block holds is not read.
    Add16(info, 3), Add16(info, 200);
    NTLMResponse2* r = Parse(Challenge(0x88205, info));
    ASSERT_NE(r, nullptr);
    TakeLog();
    NTLM_Response2Print(Ntlm, r);
    const std::string log = TakeLog();
    const char* lines[] = {"NTLM Message\n",
                           "Protocol: NTLMSSP\n",
                           "Type: Challenge (2)\n",
                           "Version: 3\n",
                           "Target Name: 56 12, [Domain]\n",
                           "Flags: Unicode, RequestTarget, NTLM, AlwaysSign, ExtendedSecurty (0x00088205)\n",
                           "Challenge: 0123456789abcdef\n",
                           "Context: 0000000000000000\n",
                           "Target Info Block:\n",
                           "   Domain name    : [Domain]\n",
                           "   Server name    : [Server]\n",
                           "   Timestamp      : 1\n"};
    size_t at = 0;
    for (const char* line : lines) {
        const size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << log;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(log.find("Full name"), std::string::npos);
    NTLM_Response2Delete(Ntlm, &r);
}

TEST(NTLMNames, FlagStringAndMessageTypes) {
    char text[256];
    NTLM_GetFlagString(0x80004001, text, sizeof(text));
    EXPECT_STREQ(text, "Unicode, 56, Local");
    NTLM_GetFlagString(0, text, sizeof(text));
    EXPECT_STREQ(text, "");
    const std::pair<uint32_t, const char*> types[] = {{1, "Negotiate"}, {3, "Authenticate"}, {8, "Unknown"}, {5, "Unknown"}};
    for (const auto& [type, name] : types) EXPECT_STREQ(NTLM_TranslateMessageType(type), name);
}

} // namespace
