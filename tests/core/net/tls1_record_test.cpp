// The TLS record layer: protection of every suite checked by an independent implementation
// (python3-cryptography) in both directions, tampering, framing limits, alerts, the pump calls
// and the states in which records are refused.
#include <cstring>

#include "core/crypto/sha1.h"
#include "tests/core/net/tls1_test_support.h"

namespace {

const Bytes kClientRandom = Pattern(32, 0x01);
const Bytes kServerRandom = Pattern(32, 0x81);
const Bytes kMaster = Pattern(48, 0x5A);
const Bytes kFirst = Pattern(37, 0x11);
const Bytes kSecond = Pattern(5000, 0x22);

struct Suite {
    const char* Name;
    uint32_t Version;
};

// Every row of the suite table, CBC under each version, RC4 under the oldest and newest.
const Suite kSuites[] = {
    {"ecdhe-ecdsa-aes256-gcm-sha384", 0x33}, {"ecdhe-rsa-aes256-gcm-sha384", 0x33}, {"ecdhe-ecdsa-aes256-sha384", 0x33},
    {"ecdhe-rsa-aes256-sha384", 0x32},       {"ecdhe-ecdsa-aes256-sha", 0x31},      {"ecdhe-rsa-aes256-sha", 0x33},
    {"rsa-aes256-gcm-sha384", 0x33},         {"rsa-aes256-sha256", 0x33},           {"rsa-aes256-sha", 0x32},
    {"ecdhe-ecdsa-aes128-gcm-sha256", 0x33}, {"ecdhe-rsa-aes128-gcm-sha256", 0x33}, {"ecdhe-ecdsa-aes128-sha256", 0x31},
    {"ecdhe-rsa-aes128-sha256", 0x33},       {"ecdhe-ecdsa-aes128-sha", 0x32},      {"ecdhe-rsa-aes128-sha", 0x31},
    {"rsa-aes128-gcm-sha256", 0x33},         {"rsa-aes128-sha256", 0x32},           {"rsa-aes128-sha", 0x31},
    {"rsa-aes128-sha", 0x32},                {"rsa-aes128-sha", 0x33},              {"rc4-sha", 0x31},
    {"rc4-sha", 0x33},                       {"rc4-md5", 0x32},
};

std::string Base(const char* op, const Suite& s) {
    return Tls1Request(op, s.Name, s.Version, kClientRandom, kServerRandom, kMaster);
}

std::string SealRequest(const Suite& s, const std::vector<Bytes>& plains, const std::string& extra = "") {
    std::string list;
    for (const Bytes& p : plains) list += (list.empty() ? "\"" : ",\"") + ToHex(p) + "\"";
    return Base("seal", s) + ",\"plains\":[" + list + "]" + extra + "}";
}

struct Tls1Record : Tls1Test {
    // Keys of one direction installed as the suite and version say (1 write, 0 read).
    void Keys(const Suite& s, uint32_t direction) {
        ASSERT_EQ(TLS1_InitForTest(tls, s.Name, s.Version, kClientRandom.data(), kServerRandom.data(), kMaster.data(),
                                   direction, nullptr, 0, nullptr),
                  1);
    }
    Bytes Send(uint8_t type, const Bytes& plain) {
        Bytes out(TLS1_RECORD_BUFFER);
        uint32_t length = 0;
        EXPECT_EQ(TLS1_DraftSendForTest(tls, type, plain.data(), (uint32_t)plain.size(), nullptr, out.data(),
                                        (uint32_t)out.size(), &length),
                  1);
        out.resize(length);
        return out;
    }
    // The plaintext of the records, and the answer of TLS1_ReadPackets.
    int64_t Receive(const Bytes& records, Bytes* plain) {
        plain->assign(65536, 0);
        uint32_t length = 0;
        const int64_t result = TLS1_DraftReceiveForTest(tls, records.data(), (uint32_t)records.size(), plain->data(),
                                                        (uint32_t)plain->size(), &length);
        plain->resize(length);
        return result;
    }
};

TEST_F(Tls1Record, EverySuiteProtectsWhatTheOracleOpens) {
    std::vector<std::string> requests;
    for (const Suite& s : kSuites) {
        TLS1* fresh = nullptr;
        TLS1_Create(&fresh);
        std::swap(fresh, tls);
        Keys(s, 1);
        // Two records: the CBC chain, the GCM nonce and the sequence number move on.
        Bytes sent = Send(TLS1_CONTENT_APPLICATION_DATA, kFirst);
        const Bytes more = Send(TLS1_CONTENT_APPLICATION_DATA, kSecond);
        sent.insert(sent.end(), more.begin(), more.end());
        std::swap(fresh, tls);
        TLS1_Release(&fresh);
        requests.push_back(Base("open", s) + ",\"data\":\"" + ToHex(sent) + "\"}");
    }
    const auto answers = Tls1Oracle(requests);
    for (size_t i = 0; i < std::size(kSuites); i++) {
        const std::string minor = std::to_string(kSuites[i].Version & 15);
        EXPECT_EQ(answers[i], "23." + minor + "." + ToHex(kFirst) + " 23." + minor + "." + ToHex(kSecond))
            << kSuites[i].Name << " " << kSuites[i].Version;
    }
}

TEST_F(Tls1Record, EverySuiteOpensWhatTheOracleProtects) {
    std::vector<std::string> requests;
    for (const Suite& s : kSuites) requests.push_back(SealRequest(s, {kFirst, kSecond}));
    const auto answers = Tls1Oracle(requests);
    Bytes expected = kFirst;
    expected.insert(expected.end(), kSecond.begin(), kSecond.end());
    for (size_t i = 0; i < std::size(kSuites); i++) {
        SCOPED_TRACE(std::string(kSuites[i].Name) + " " + std::to_string(kSuites[i].Version));
        ASSERT_FALSE(answers[i].empty());
        TLS1_Release(&tls);
        TLS1_Create(&tls);
        Keys(kSuites[i], 0);
        Bytes plain;
        EXPECT_EQ(Receive(FromHex(answers[i]), &plain), 1);
        EXPECT_EQ(plain, expected);
        EXPECT_EQ(LastError(), 0u);
    }
}

TEST_F(Tls1Record, TamperedRecordsFailWithBadRecordMac) {
    const Suite gcm = {"ecdhe-rsa-aes128-gcm-sha256", 0x33};
    const Suite cbc11 = {"rsa-aes128-sha", 0x32};
    const Suite cbc10 = {"rsa-aes256-sha", 0x31};
    const Suite rc4 = {"rc4-sha", 0x33};
    struct Case {
        const Suite* S;
        const char* Extra; // seal options
        int32_t Flip;      // byte to change: from the start if >= 0, else from the end
    };
    const Case cases[] = {
        {&gcm, "", -1},   // the tag
        {&gcm, "", 20},   // the ciphertext
        {&cbc11, "", 5},  // the explicit IV: the first plaintext block, under the MAC
        {&cbc10, "", -1}, // the last block: padding
        {&rc4, "", 6},    // the content
        {&cbc11, ",\"badpad\":true,\"pads\":[2]", 0x7FFF}, // one padding byte differs
        {&cbc10, ",\"badpad\":true,\"pads\":[0]", 0x7FFF},
    };
    std::vector<std::string> requests;
    for (const Case& c : cases) requests.push_back(SealRequest(*c.S, {Pattern(40, 3)}, c.Extra));
    const auto answers = Tls1Oracle(requests);
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        ASSERT_FALSE(answers[i].empty());
        TLS1_Release(&tls);
        TLS1_Create(&tls);
        TLS1_SetPrintCallback(tls, nullptr, Tls1CapturePrint);
        Tls1Printed().clear();
        Keys(*cases[i].S, 0);
        Bytes record = FromHex(answers[i]);
        if (cases[i].Flip != 0x7FFF) record[cases[i].Flip >= 0 ? cases[i].Flip : record.size() - 1] ^= 0x01;
        Bytes plain;
        EXPECT_EQ(Receive(record, &plain), 0);
        EXPECT_EQ(LastError(), TLS1_ALERT_BAD_RECORD_MAC);
        EXPECT_TRUE(plain.empty());
        EXPECT_NE(Tls1Printed().find("TLS1 failed hmac digest"), std::string::npos);
    }
}

TEST_F(Tls1Record, ShortGcmRecordIsADecodeError) {
    Keys({"ecdhe-rsa-aes128-gcm-sha256", 0x33}, 0);
    Bytes record = {23, 3, 3, 0, 23};
    record.resize(5 + 23, 0x42);
    Bytes plain;
    EXPECT_EQ(Receive(record, &plain), 0);
    EXPECT_EQ(LastError(), TLS1_ALERT_DECODE_ERROR);
    EXPECT_NE(Tls1Printed().find("Malformed AEAD encrypted data. Unexpected size (23 < 24)"), std::string::npos);
    EXPECT_NE(Tls1Printed().find("TLS1 decrypt failed"), std::string::npos);
}

TEST_F(Tls1Record, EmptyRecordsAreAcceptedUnderCbc) {
    // TLS 1.0 servers send an empty record before each one with data, against chosen-IV attacks.
    const Suite s = {"rsa-aes128-sha", 0x31};
    const auto answers = Tls1Oracle({SealRequest(s, {Bytes{}, Bytes{'x'}, Bytes{}})});
    ASSERT_FALSE(answers[0].empty());
    Keys(s, 0);
    Bytes plain;
    EXPECT_EQ(Receive(FromHex(answers[0]), &plain), 1);
    EXPECT_EQ(plain, Bytes{'x'});
}

// A SHA-1 record that counts the bytes it digests.
uint64_t g_digested = 0;
int64_t CountingProcess(void* instance, const void* data, uint32_t length) {
    g_digested += length;
    return SHA1_INTERFACE.Process(instance, data, length);
}
const HashInterface kCountingSHA1 = [] {
    HashInterface record = SHA1_INTERFACE;
    record.Process = CountingProcess;
    return record;
}();

TEST_F(Tls1Record, MacCheckDigestsAsMuchWhateverThePadding) {
    // Records of one length whose padding is 0, 1, 2, 3 blocks longer than needed, and one whose
    // padding is wrong: the check must digest as many bytes for each, or its time tells the
    // padding apart (a padding oracle).
    const Suite s = {"rsa-aes128-sha", 0x32};
    std::vector<std::string> requests;
    for (uint32_t extra = 0; extra < 4; extra++)
        requests.push_back(SealRequest(s, {Pattern(256 - 16 * extra, 9)}, ",\"pads\":[" + std::to_string(extra) + "]"));
    requests.push_back(SealRequest(s, {Pattern(256 - 32, 9)}, ",\"pads\":[2],\"badpad\":true"));
    const auto answers = Tls1Oracle(requests);

    TLS1CipherInfo counting{};
    std::vector<uint64_t> digested;
    for (size_t i = 0; i < requests.size(); i++) {
        ASSERT_FALSE(answers[i].empty());
        Keys(s, 0);
        counting = *tls->CipherInfo;
        counting.HashInterface = &kCountingSHA1;
        tls->CipherInfo = &counting;
        ASSERT_EQ(TLS1_SetKeyBlock(tls, 0), 1); // binds the read MAC to the counting record
        g_digested = 0;
        Bytes plain;
        EXPECT_EQ(Receive(FromHex(answers[i]), &plain), i < 4 ? 1 : 0) << i;
        digested.push_back(g_digested);
        TLS1_ClearLastError(tls);
    }
    for (size_t i = 1; i < digested.size(); i++) EXPECT_EQ(digested[i], digested[0]) << i;
}

TEST_F(Tls1Record, FramingLimitsAndRefusedRecords) {
    struct Case {
        Bytes Input;
        int64_t Result;
        uint32_t Error;
        const char* Printed;
    };
    const Case cases[] = {
        {{22, 3, 3, 0, 0}, 0, 40, "Invalid SSL message"},
        {{22, 3, 3, 0x43, 0xFC}, 0, 40, "Invalid SSL message"},
        {{22, 3, 3, 0x43, 0xFB}, 1, 0, ""}, // 17403: waits for the body
        {{0x80, 0x2E, 0x01, 0x03, 0x01}, 0, 40, "No SSL v23 handshaking allowed"},
        {{24, 3, 3, 0, 1, 0}, 0, 10, ""},
        // Data before the server's keys are in place would be plaintext nobody vouched for.
        {{23, 3, 3, 0, 1, 'x'}, 0, 10, ""},
        {{21, 3, 3, 0, 2, 2, 40}, 0, 40, "Alert: Handshake Failure (40)"},
        {{21, 3, 3, 0, 2, 2, 99}, 0, 99, "Alert: Unknown (99)"},
        {{21, 3, 3, 0, 1, 2}, 0, 50, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(c.Input));
        TLS1_ClearLastError(tls);
        Tls1Printed().clear();
        tls->Flags |= TLS1_FLAG_WANT_HEADER;
        tls->BytesWanted = TLS1_RECORD_HEADER;
        EXPECT_EQ(Feed(c.Input), c.Result);
        EXPECT_EQ(LastError(), c.Error);
        EXPECT_NE(Tls1Printed().find(c.Printed), std::string::npos);
        Bytes none;
        EXPECT_EQ(Receive({}, &none), c.Result); // a failure stays until cleared
        TLS1_Close(tls);
        tls->Flags &= ~TLS1_FLAG_READ_PROTECTED;
    }
    TLS1_ClearLastError(tls);
    tls->BytesWanted = TLS1_RECORD_BUFFER;
    tls->Flags &= ~TLS1_FLAG_WANT_HEADER;
    EXPECT_EQ(Feed(Bytes(10, 0)), 0);
    EXPECT_EQ(LastError(), 40u);
    EXPECT_NE(Tls1Printed().find("SSL read overflow"), std::string::npos);
}

TEST_F(Tls1Record, FailureWithoutAlertEndsTheConnection) {
    // A host-name mismatch records no alert number, yet nothing more may be read.
    TLS1_Fail(tls, 0);
    const Bytes alert = {21, 3, 3, 0, 2, 1, 0};
    EXPECT_EQ(Feed(alert), 0);
    EXPECT_EQ(LastError(), 0u);
    EXPECT_TRUE(Sent().empty()); // the close_notify was never read
    int32_t left = 0;
    TLS1_ReadGetBufferLeft(tls, &left);
    EXPECT_EQ(left, kDuplexStreamSideCapacity);
    TLS1_ClearLastError(tls);
    EXPECT_EQ(Feed(alert), 1);
    EXPECT_EQ(Sent().size(), 7u);
}

TEST_F(Tls1Record, ChangeCipherSpecOnlyWhereTheServerFinishedIsDue) {
    struct Case {
        uint32_t Expected;
        uint32_t Pending;
        Bytes Record;
        int64_t Result;
    };
    const Case cases[] = {
        {TLS1_HS_SERVER_HELLO, 0, {20, 3, 3, 0, 1, 1}, 0},       // before any key exists
        {TLS1_HS_SERVER_HELLO_DONE, 0, {20, 3, 3, 0, 1, 1}, 0},  // before our own flight
        {TLS1_HS_FINISHED, 3, {20, 3, 3, 0, 1, 1}, 0},           // inside a handshake message
        {TLS1_HS_FINISHED, 0, {20, 3, 3, 0, 2, 1, 1}, 0},        // a body of two bytes
        {TLS1_HS_FINISHED, 0, {20, 3, 3, 0, 1, 2}, 0},           // a body that is not 1
        {TLS1_HS_FINISHED, 0, {20, 3, 3, 0, 1, 1}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(c.Record));
        Keys({"ecdhe-rsa-aes128-gcm-sha256", 0x33}, 1);
        TLS1_ClearLastError(tls);
        tls->Flags &= ~TLS1_FLAG_READ_PROTECTED;
        tls->ExpectedHandshakeType = c.Expected;
        tls->HandshakeContext->PendingLength = c.Pending;
        EXPECT_EQ(Feed(c.Record), c.Result);
        EXPECT_EQ(LastError(), c.Result ? 0u : 10u);
        EXPECT_EQ((tls->Flags & TLS1_FLAG_READ_PROTECTED) != 0, c.Result == 1);
        tls->HandshakeContext->PendingLength = 0;
    }
}

TEST_F(Tls1Record, HelloGoesOutAsVersion31AndCloseNotifyOnce) {
    uint32_t error = 99;
    ASSERT_EQ(TLS1_Connect(tls, "example.test", &error), 1);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(TLS1_IsConnected(tls), 1);
    const Bytes hello = Sent();
    ASSERT_GE(hello.size(), 6u);
    EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 3), (Bytes{22, 3, 1}));
    EXPECT_EQ(hello[5], TLS1_HS_CLIENT_HELLO);

    // The server's warning close_notify is answered once, under the record version.
    EXPECT_EQ(Feed({21, 3, 3, 0, 2, 1, 0}), 1);
    EXPECT_EQ(Sent(), (Bytes{21, 3, 3, 0, 2, 1, 0}));
    EXPECT_NE(Tls1Printed().find("Alert: Close Notify (0)"), std::string::npos);
    EXPECT_EQ(TLS1_SendCloseNotify(tls), 0);
    EXPECT_TRUE(Sent().empty());
    // Anything the server sends after our close_notify is refused.
    EXPECT_EQ(Feed({23, 3, 3, 0, 1, 0}), 0);
    EXPECT_EQ(LastError(), 10u);

    TLS1_Close(tls);
    EXPECT_EQ(TLS1_IsConnected(tls), 0);
    ASSERT_EQ(TLS1_Connect(tls, "example.test", &error), 1);
    Sent();
    EXPECT_EQ(TLS1_SendCloseNotify(tls), 1);
}

TEST_F(Tls1Record, WritePutCutsRecordsAndNeedsRoomForAWholeOne) {
    const Bytes data = Pattern(2 * 16384 + 100, 4);
    uint32_t queued = 0;
    ASSERT_EQ(TLS1_WritePut(tls, data.data(), (uint32_t)data.size(), &queued), 1);
    EXPECT_EQ(queued, data.size());
    const Bytes sent = Sent();
    ASSERT_EQ(sent.size(), data.size() + 15);
    size_t at = 0;
    for (uint32_t length : {16384u, 16384u, 100u}) {
        EXPECT_EQ(Bytes(sent.begin() + at, sent.begin() + at + 5),
                  (Bytes{23, 3, 3, (uint8_t)(length >> 8), (uint8_t)length}));
        at += 5 + length;
    }
    EXPECT_EQ(TLS1_WritePut(tls, data.data(), 0, &queued), 1);
    EXPECT_EQ(queued, 0u);

    // Below 18432 bytes of room nothing is queued, and plaintext waiting in a source stays there.
    const Bytes filler(kDuplexStreamSideCapacity - TLS1_RECORD_BUFFER + 1, 0);
    DuplexStream_WritePut(tls->Stream, filler.data(), (uint32_t)filler.size());
    EXPECT_EQ(TLS1_WritePut(tls, data.data(), 10, &queued), 0);
    EXPECT_EQ(queued, 0u);
    DuplexStream* source = nullptr;
    DuplexStream_Create(&source);
    DuplexStream_WritePut(source, data.data(), 20000);
    EXPECT_EQ(TLS1_WriteFill(tls, source), 0);
    int32_t waiting = 0;
    DuplexStream_WriteGetBufferUsed(source, &waiting);
    EXPECT_EQ(waiting, 20000);
    Sent();
    EXPECT_EQ(TLS1_WriteFill(tls, source), 1);
    DuplexStream_WriteGetBufferUsed(source, &waiting);
    EXPECT_EQ(waiting, 20000 - 16384);
    const Bytes filled = Sent();
    ASSERT_EQ(filled.size(), 5u + 16384);
    EXPECT_EQ(Bytes(filled.begin() + 5, filled.end()), Bytes(data.begin(), data.begin() + 16384));
    DuplexStream_Release(&source);
}

TEST_F(Tls1Record, RenegotiationKeepsWhatIsBufferedAndTheRecordVersion) {
    // A server's HelloRequest on a TLS 1.0 connection while TLS 1.2 is the most we offer: data
    // queued and received stays, and the new hello goes out under the running keys and version.
    const Suite s = {"rsa-aes128-sha", 0x31};
    Keys(s, 1);
    tls->Flags |= TLS1_FLAG_WRITE_PROTECTED | TLS1_FLAG_READ_PROTECTED;
    tls->Connected = 1;
    tls->HandshakeComplete = 1;
    DuplexStream_ReadPut(tls->Stream, "unread", 6);
    uint32_t queued = 0;
    TLS1_WritePut(tls, kFirst.data(), (uint32_t)kFirst.size(), &queued);
    uint32_t error = 0;
    ASSERT_EQ(TLS1_Connect(tls, "", &error), 1);
    int32_t unread = 0;
    TLS1_ReadGetBufferUsed(tls, &unread);
    EXPECT_EQ(unread, 6);
    const auto answers = Tls1Oracle({Base("open", s) + ",\"data\":\"" + ToHex(Sent()) + "\"}"});
    EXPECT_EQ(answers[0].rfind("23.1." + ToHex(kFirst) + " 22.1.01", 0), 0u) << answers[0];
}

TEST_F(Tls1Record, BackPressureLeavesRecordsUnread) {
    Keys({"ecdhe-rsa-aes128-gcm-sha256", 0x33}, 0);
    const Bytes filler(kDuplexStreamSideCapacity - 4, 0);
    DuplexStream_ReadPut(tls->Stream, filler.data(), (uint32_t)filler.size());
    EXPECT_EQ(Feed({23, 3, 3, 0, 30}), 1);
    int32_t left = 0;
    TLS1_ReadGetBufferLeft(tls, &left);
    EXPECT_EQ(left, 4);
    EXPECT_EQ(MemoryStream_GetUsed(tls->Received), 5);
    // Received bytes go in whole or not at all: half a record would put the stream out of step.
    const Bytes tooMany(TLS1_RECEIVE_BUFFER_MAX, 0);
    EXPECT_EQ(TLS1_ReadPut(tls, tooMany.data(), (uint32_t)tooMany.size()), 0);
    EXPECT_EQ(MemoryStream_GetUsed(tls->Received), 5);
}

} // namespace
