#include "core/net/dns.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "core/runtime/class.h"
#include "tests/support/abort_table.h"
#include "tests/support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Known answers built with python3's struct module field by field after RFC 1035 section 4.1.
const std::string kQuery = "123401000001000000000000076578616d706c6503636f6d0000010001";
// A response whose answer, CNAME, MX, NS, SOA, TXT and LOC names point back to the question
// (RFC 1876's default LOC size and precisions 1 m, 10 km and 10 m).
const std::string kResponse =
    "123481800001000300010003076578616d706c6503636f6d0000010001c00c0001000100000e1000045db8d82203777777c00c"
    "00050001000151800002c00cc00c000f00010000012c0009000a046d61696cc00cc00c000200010002a300001401610c69616e"
    "612d73657276657273036e657400c00c0006000100000e100026026e73c00c0a686f73746d6173746572c00c78a3f17500001c"
    "2000000e10001275000000012cc00c001000010000003c000c0b68656c6c6f20776f726c64c00c001d00010000003c00100012"
    "16138af183807fc9118000989586";

struct DnsTest : ::testing::Test {
    DNS* dns = nullptr;
    LogCapture log;
    void SetUp() override { DNS_Create(&dns); }
    void TearDown() override { DNS_Release(&dns); }

    Bytes Encode(int32_t size = 1024) {
        Bytes out((size_t)size);
        int32_t length = 0;
        EXPECT_EQ(DNS_Encode(dns, out.data(), size, &length), 1);
        out.resize((size_t)length);
        return out;
    }
    DNSResource* Add(int64_t (*add)(DNS*, DNSResource**), const char* name, uint16_t type, uint32_t ttl,
                     const Bytes& data) {
        DNSResource* r = nullptr;
        add(dns, &r);
        DNS_ResourceSetName(dns, r, name);
        DNS_ResourceSetType(dns, r, type);
        DNS_ResourceSetClass(dns, r, DNS_CLASS_IN);
        DNS_ResourceSetTTL(dns, r, ttl);
        DNS_ResourceSetData(dns, r, data.data(), (int32_t)data.size());
        return r;
    }
    std::string Text(DNSResource* r) {
        char text[DNS_TEXT_MAX + 1];
        DNS_ResourceGetString(dns, r, text, sizeof(text));
        return text;
    }
};

Bytes Stored(const std::string& text) {
    return Bytes(text.c_str(), text.c_str() + text.size() + 1);
}

TEST_F(DnsTest, EncodesQueryForExampleComA) {
    DNS_HeaderSetID(dns, 0x1234);
    DNS_HeaderSetRD(dns, 1);
    DNSQuestion* q = nullptr;
    DNS_QuestionAdd(dns, &q);
    DNS_QuestionSetName(dns, q, "example.com");
    DNS_QuestionSetType(dns, q, DNS_TYPE_A);
    DNS_QuestionSetClass(dns, q, DNS_CLASS_IN);
    EXPECT_EQ(Encode(), Hex(kQuery));
}

TEST_F(DnsTest, BuildsResponseWithCompressedNamesByteForByte) {
    DNS_HeaderSetID(dns, 0x1234);
    DNS_HeaderSetQR(dns, 1);
    DNS_HeaderSetRD(dns, 1);
    DNS_HeaderSetRA(dns, 1);
    DNSQuestion* q = nullptr;
    DNS_QuestionAdd(dns, &q);
    DNS_QuestionSetName(dns, q, "example.com");
    DNS_QuestionSetType(dns, q, DNS_TYPE_A);
    DNS_QuestionSetClass(dns, q, DNS_CLASS_IN);
    Add(DNS_AnswerAdd, "example.com", DNS_TYPE_A, 3600, {93, 184, 216, 34});
    Add(DNS_AnswerAdd, "www.example.com", DNS_TYPE_CNAME, 86400, Stored("example.com"));
    Bytes mx = {0, 10};
    for (char c : Stored("mail.example.com")) mx.push_back((uint8_t)c);
    Add(DNS_AnswerAdd, "example.com", DNS_TYPE_MX, 300, mx);
    Add(DNS_NameServerAdd, "example.com", DNS_TYPE_NS, 172800, Stored("a.iana-servers.net"));
    Bytes soa = Stored("ns.example.com");
    for (char c : Stored("hostmaster.example.com")) soa.push_back((uint8_t)c);
    for (uint32_t v : {2024010101u, 7200u, 3600u, 1209600u, 300u})
        soa.insert(soa.end(), (const uint8_t*)&v, (const uint8_t*)&v + 4);
    Add(DNS_AdditionalRecordAdd, "example.com", DNS_TYPE_SOA, 3600, soa);
    Bytes txt = {11};
    for (char c : std::string("hello world")) txt.push_back((uint8_t)c);
    Add(DNS_AdditionalRecordAdd, "example.com", DNS_TYPE_TXT, 60, txt);
    Add(DNS_AdditionalRecordAdd, "example.com", DNS_TYPE_LOC, 60,
        Hex("001216138af183807fc9118000989586"));
    EXPECT_EQ(Encode(), Hex(kResponse));
}

TEST_F(DnsTest, DecodesResponseIntoRecordsAndTextForms) {
    const Bytes message = Hex(kResponse);
    ASSERT_EQ(DNS_Decode(dns, message.data(), (int32_t)message.size()), 1);
    EXPECT_EQ(DNS_HeaderGetID(dns), 0x1234);
    EXPECT_EQ(DNS_HeaderGetQR(dns), 1);
    EXPECT_EQ(DNS_HeaderGetRA(dns), 1);
    EXPECT_EQ(DNS_HeaderGetANCount(dns) * 100 + DNS_HeaderGetNSCount(dns) * 10 + DNS_HeaderGetARCount(dns), 313);
    struct Row {
        const char* name;
        uint16_t type;
        int32_t stored, wire;
        const char* text;
    };
    const Row rows[] = {
        {"example.com", 1, 4, 4, "93.184.216.34"},
        {"www.example.com", 5, 12, 2, "example.com"},
        {"example.com", 15, 19, 9, "[10] mail.example.com"},
        {"example.com", 2, 19, 20, "a.iana-servers.net"},
        {"example.com", 6, 58, 38,
         "MNAME=ns.example.com, RNAME=hostmaster.example.com, Serial=2024010101, Refresh=2h 0m 0s, "
         "Retry=1h 0m 0s, Expire=2w 0d 0h 0m 0s, Minimum=5m 0s"},
        {"example.com", 16, 12, 12, "\x0bhello world"},
        {"example.com", 29, 16, 16,
         "VERSION=0, SIZE=1.00, HORIZ PRE=10000.00, VERT PRE=10.00, LAT=51.0000, LONG=-1.0000, ALT=-2.50m"},
    };
    std::vector<DNSResource*> records;
    DNSResource* r = nullptr;
    for (int64_t ok = DNS_AnswerGetFirst(dns, &r); ok; ok = DNS_AnswerGetNext(dns, r, &r)) records.push_back(r);
    for (int64_t ok = DNS_NameServerGetFirst(dns, &r); ok; ok = DNS_NameServerGetNext(dns, r, &r))
        records.push_back(r);
    for (int64_t ok = DNS_AdditionalRecordGetFirst(dns, &r); ok; ok = DNS_AdditionalRecordGetNext(dns, r, &r))
        records.push_back(r);
    ASSERT_EQ(records.size(), std::size(rows));
    for (size_t i = 0; i < records.size(); i++) {
        char name[DNS_NAME_MAX + 1];
        DNS_ResourceGetName(dns, records[i], name, sizeof(name));
        int32_t stored = 0;
        uint8_t data[DNS_DATA_MAX];
        DNS_ResourceGetData(dns, records[i], data, sizeof(data), &stored);
        EXPECT_STREQ(name, rows[i].name) << i;
        EXPECT_EQ(DNS_ResourceGetType(dns, records[i]), rows[i].type) << i;
        EXPECT_EQ(stored, rows[i].stored) << i;
        EXPECT_EQ(DNS_ResourceGetTrueDataSize(dns, records[i]), rows[i].wire) << i;
        EXPECT_EQ(Text(records[i]), rows[i].text) << i;
    }
    // What was decoded encodes back to the same bytes, SOA included.
    EXPECT_EQ(Encode(), message);
}

TEST_F(DnsTest, SecondQuestionEndsInPointerToFirst) {
    for (const char* name : {"a.example", "b.example"}) {
        DNSQuestion* q = nullptr;
        DNS_QuestionAdd(dns, &q);
        DNS_QuestionSetName(dns, q, name);
    }
    const Bytes out = Encode();
    EXPECT_EQ(Bytes(out.begin() + 27, out.end()), Hex("0162c00e00000000"));
}

TEST_F(DnsTest, EncodeStringCompression) {
    struct Row {
        const char* written; // hex already in the message
        const char* name;
        const char* expected;
    };
    const Row rows[] = {
        {"", "Example.COM", "07" "4578616d706c65" "03" "434f4d" "00"},
        {"076578616d706c6503636f6d00", "WWW.EXAMPLE.com", "03575757c000"},     // case ignored
        {"03777777c000", "www.com", "03777777"},                               // cut by the buffer end
        {"03777777c000", "x.www.com", "0178" "03777777" "03636f6d00"},         // pointer bytes match only as such
        {"076578616d706c6503636f6d00", "example.com.", "c000"},                // trailing dot
        {"", ".", "00"},
    };
    for (const Row& row : rows) {
        Bytes message = Hex(row.written);
        const size_t at = message.size();
        message.resize(at + 64, 0xEE);
        int32_t length = 0;
        const int32_t size = std::string(row.name) == "www.com" ? (int32_t)at + 4 : (int32_t)message.size();
        const int64_t ok = DNS_EncodeString(row.name, message.data(), size, (int32_t)at, &length);
        if (std::string(row.name) == "www.com") {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(message[at], 0xEE); // nothing written past the buffer
            continue;
        }
        EXPECT_EQ(ok, 1) << row.name;
        EXPECT_EQ(Bytes(message.begin() + (long)at, message.begin() + (long)at + length), Hex(row.expected))
            << row.name;
    }
}

// Work spent looking for names to point at, per byte written.
double WorkPerByte(DNS* dns, int32_t* length) {
    Bytes out(65535);
    const uint64_t before = dns_internal::CompressionSteps();
    EXPECT_EQ(DNS_Encode(dns, out.data(), (int32_t)out.size(), length), 1);
    return (double)(dns_internal::CompressionSteps() - before) / *length;
}

// Names of long runs of one-letter labels beside data spelling the same labels are the worst
// case of a search through the written bytes; looked up by suffix they cost about what plain
// names cost per byte.
TEST_F(DnsTest, CompressionWorkIsLinear) {
    std::string run;
    for (int i = 0; i < 200; i++) run += "a.";
    Bytes spelled;
    for (int i = 0; i < 250; i++) spelled.insert(spelled.end(), {0x01, 'a'});
    for (int i = 0; i < 55; i++) Add(DNS_AnswerAdd, (run + std::to_string(i)).c_str(), DNS_TYPE_TXT, 60, spelled);
    int32_t craftedLength = 0;
    const double crafted = WorkPerByte(dns, &craftedLength);
    EXPECT_GT(craftedLength, 50000);

    DNS_Reset(dns);
    for (int i = 0; i < 2300; i++)
        Add(DNS_AnswerAdd, ("host" + std::to_string(i) + ".example.com").c_str(), DNS_TYPE_A, 60, {10, 0, 0, 1});
    int32_t plainLength = 0;
    const double plain = WorkPerByte(dns, &plainLength);
    EXPECT_GT(plainLength, 40000);
    EXPECT_LT(crafted, 4 * plain) << crafted << " " << plain;
}

// Past 16 KB a name cannot be pointed at: those names are written again in full, and every
// record reads back as it was.
TEST_F(DnsTest, MessageOver16KBReadsBack) {
    struct Record {
        std::string Name;
        uint16_t Type;
        Bytes Data;
    };
    std::vector<Record> records;
    const Bytes filler(400, 'x');
    for (int i = 0; i < 60; i++) {
        // From record 40 on (past 16 KB) each new name comes twice, once as an owner and once in a
        // CNAME, then again as the next owner.
        const std::string name = i < 40 ? "r" + std::to_string(i) + ".example" : "late" + std::to_string(i / 2) + ".example.org";
        records.push_back({name, DNS_TYPE_TXT, filler});
        records.push_back({name, DNS_TYPE_CNAME, Stored("c." + name)});
    }
    for (const Record& r : records) Add(DNS_AnswerAdd, r.Name.c_str(), r.Type, 60, r.Data);
    int32_t length = 0;
    Bytes out(65535);
    ASSERT_EQ(DNS_Encode(dns, out.data(), (int32_t)out.size(), &length), 1);
    EXPECT_GT(length, 20000);
    ASSERT_EQ(DNS_Decode(dns, out.data(), length), 1);
    DNSResource* r = nullptr;
    DNS_AnswerGetFirst(dns, &r);
    for (const Record& want : records) {
        ASSERT_NE(r, nullptr);
        char name[DNS_NAME_MAX + 1];
        DNS_ResourceGetName(dns, r, name, sizeof(name));
        EXPECT_EQ(name, want.Name);
        Bytes data(DNS_DATA_MAX);
        int32_t stored = 0;
        DNS_ResourceGetData(dns, r, data.data(), (int32_t)data.size(), &stored);
        data.resize((size_t)stored);
        EXPECT_EQ(data, want.Data) << want.Name;
        DNS_AnswerGetNext(dns, r, &r);
    }
}

TEST_F(DnsTest, EncodeRefusesNamesItCannotWrite) {
    uint8_t message[600];
    int32_t length = 7;
    for (const std::string& name : {std::string("a..b"), std::string(".a"), std::string(64, 'x'),
                                    "a." + std::string(64, 'x') + ".b", std::string(192, 'x'),
                                    std::string(513, 'y')})
        EXPECT_EQ(DNS_EncodeString(name.c_str(), message, sizeof(message), 0, &length), 0) << name.size();
    EXPECT_EQ(length, 0);
    // 63 bytes is the longest label that reads back.
    EXPECT_EQ(DNS_EncodeString(std::string(63, 'x').c_str(), message, sizeof(message), 0, &length), 1);
    EXPECT_EQ(length, 65);
    EXPECT_EQ(DNS_EncodeString("a", message, 10, 10, &length), 0);
    EXPECT_NE(log.Text().find("Invalid position 10 (max 10)\n"), std::string::npos);
}

TEST_F(DnsTest, EncodeFailuresNameTheList) {
    struct Row {
        int64_t (*add)(DNS*, DNSResource**);
        int32_t size;
        const char* message;
    };
    const Row rows[] = {
        {nullptr, 20, "Encoding Failed in QDList (0 / 20)\n"},
        {DNS_AnswerAdd, 30, "Encoding Failed in ANList (0 / 30)\n"},
        {DNS_NameServerAdd, 30, "Encoding Failed in NSList (0 / 30)\n"},
        {DNS_AdditionalRecordAdd, 30, "Encoding Failed in ARList (0 / 30)\n"},
    };
    for (const Row& row : rows) {
        DNS_Reset(dns);
        log.Clear();
        DNSQuestion* q = nullptr;
        DNS_QuestionAdd(dns, &q);
        DNS_QuestionSetName(dns, q, "example.com");
        if (row.add) Add(row.add, "example.com", DNS_TYPE_A, 1, {1, 2, 3, 4});
        Bytes out((size_t)row.size + 8, 0xEE);
        int32_t length = 0;
        EXPECT_EQ(DNS_Encode(dns, out.data(), row.size, &length), 0);
        EXPECT_NE(log.Text().find(row.message), std::string::npos) << row.message;
        for (size_t i = (size_t)row.size; i < out.size(); i++) EXPECT_EQ(out[i], 0xEE);
    }
}

TEST_F(DnsTest, DecodeFailuresAndSlop) {
    const std::string header = "000100000001000000000000";
    const std::string question = header + "0000010001";
    struct Row {
        std::string hex;
        int64_t result;
        const char* message;
    };
    const std::string long63 = "3f" + std::string(126, '6');
    std::string longName = header;
    for (int i = 0; i < 9; i++) longName += long63;
    longName += "0000010001";
    // A CNAME whose data name is four long labels and a pointer back to a four-label question.
    const std::string fourLabels = long63 + long63 + long63 + long63;
    const std::string cname = "000100000001000100000000" + fourLabels + "0000050001" + "c00c000500010000000001" +
                              "02" + fourLabels + "c00c";
    const Row rows[] = {
        {header + "c00c00010001", 0, "Depth too great (101 > 100)\n"},
        {header + "4000010001", 0, "Unsupported pattern (0x40 64 [0])\n"},
        {header + "05616200", 0, "Copy size too large (5 > 3)\n"},
        {header + "c0ff00010001", 0, "Invalid position 255 (max 18)\n"},
        {header + "00", 0, "Decoding Failed in QDList (0 / 13)\n"},
        {longName, 0, "Length of string buffer too small (64 > 1)\n"},
        {"000100000000000100000000" "000001000100000000" "0200", 0, "In Resource length too big (512 > 512)\n"},
        {"000100000000000100000000" "0000010001000000000001", 0, "Decoding Failed in ANList (0 / 23)\n"},
        {cname, 0, "Out Resource length too big (512 > 512)\n"},
        {question + "ab", 1, "One byte [0xAB] slop (17 of 18 processed)\n"},
        {question + "abcd", 0, "Failed (17 of 19 processed)\n"},
        {"0001", 0, "Failed (0 of 2 processed)\n"},
    };
    for (const Row& row : rows) {
        log.Clear();
        const Bytes message = Hex(row.hex);
        EXPECT_EQ(DNS_Decode(dns, message.data(), (int32_t)message.size()), row.result) << row.message;
        EXPECT_NE(log.Text().find(row.message), std::string::npos) << row.message << " in " << log.Text();
    }
}

TEST_F(DnsTest, TextFormsOfShortAndUnknownData) {
    struct Row {
        uint16_t type;
        Bytes data;
        int32_t size;
        const char* text;
    };
    const Row rows[] = {
        {99, {1, 2, 0xAB}, 64, "01 02 AB "},
        {99, {1, 2, 0xAB}, 7, "01 02 "},
        {99, {1, 2, 0xAB}, 4, ""},
        {DNS_TYPE_A, {1, 2, 3}, 64, "01 02 03 "},
        {DNS_TYPE_MX, {0, 5}, 64, "00 05 "},
        {DNS_TYPE_LOC, {0, 0x12}, 64, "00 12 "},
        {DNS_TYPE_LOC, Hex("00000000" "80000000" "80000000" "00989680"), 128,
         "VERSION=0, SIZE=0.00, HORIZ PRE=0.00, VERT PRE=0.00, LAT=0.0000, LONG=0.0000, ALT=0.00m"},
        {DNS_TYPE_A, {10, 0, 0, 1}, 5, "10.0"},
    };
    for (const Row& row : rows) {
        char text[256];
        DNS_DecodeResourceRData(text, row.size, row.type, row.data.data(), (int32_t)row.data.size());
        EXPECT_STREQ(text, row.text);
    }
}

TEST(DnsTTL, Texts) {
    const std::pair<int32_t, const char*> rows[] = {
        {90061, "1d 1h 1m 1s"}, {3600, "1h 0m 0s"},         {0, "N/A"},       {-5, "N/A"},
        {59, "59s"},            {61, "1m 1s"},              {694861, "1w 1d 1h 1m 1s"},
    };
    for (const auto& [seconds, text] : rows) {
        char out[64];
        DNS_DecodeResourceTTL(out, sizeof(out), seconds);
        EXPECT_STREQ(out, text) << seconds;
    }
}

TEST(DnsTranslate, UnlistedValues) {
    EXPECT_STREQ(DNS_TranslateHeaderRCODE(3), "Name Error");
    EXPECT_STREQ(DNS_TranslateHeaderRCODE(9), "Reserved");
    EXPECT_STREQ(DNS_TranslateResourceType(252), "Unknown");
    EXPECT_STREQ(DNS_TranslateQuestionType(255), "*");
    EXPECT_STREQ(DNS_TranslateResourceClass(255), "Unknown");
    EXPECT_STREQ(DNS_TranslateHeaderTC(7), "Unknown");
}

TEST_F(DnsTest, PrintsHeaderQuestionsAndRecords) {
    const Bytes message = Hex(kResponse);
    ASSERT_EQ(DNS_Decode(dns, message.data(), (int32_t)message.size()), 1);
    DNS_HeaderSetRCODE(dns, 3);
    log.Clear();
    DNS_Print(dns);
    const std::string text = log.Text();
    size_t at = 0;
    for (const char* line :
         {"ID         = 4660\n", "QR         = 1 (Response)\n", "Opcode     = 0 (Query)\n", "AA         = 0 (Normal)\n",
          "TC         = 0 (Whole)\n", "RD         = 1 (Recursion)\n", "RA         = 1 (Recursion Available)\n",
          "Z          = 0 (Unknown)\n", "RCODE      = 3 (Name Error)\n", "QDCount    = 1 (Question Count)\n",
          "ANCount    = 3 (Resource Count)\n", "NSCount    = 1 (Nameserver Count)\n",
          "ARCount    = 3 (Additional Resource Count)\n", "Question List 1:\n", "  Domain   = example.com\n",
          "  QType    = 1 (A)\n", "  QClass   = 0x0001 (IN)\n", "Answer List 1:\n", "  Type     = 1 (A)\n",
          "  Class    = 1 (IN)\n", "  TTL      = 3600\n", "  RDLength = 4 (4) / 93.184.216.34\n", "Answer List 3:\n",
          "Name Server List 1:\n", "Additional Records 3:\n", "  Type     = 29 (LOC)\n"}) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
}

TEST_F(DnsTest, ResetEmptiesListsAndCountsButKeepsFlags) {
    DNSQuestion* q = nullptr;
    DNS_QuestionAdd(dns, &q);
    Add(DNS_AnswerAdd, "a", DNS_TYPE_A, 1, {1, 2, 3, 4});
    DNS_HeaderSetRD(dns, 1);
    DNS_Reset(dns);
    DNSResource* r = nullptr;
    EXPECT_EQ(DNS_QuestionGetFirst(dns, &q) + DNS_AnswerGetFirst(dns, &r), 0);
    EXPECT_EQ(DNS_HeaderGetQDCount(dns) + DNS_HeaderGetANCount(dns), 0);
    EXPECT_EQ(DNS_HeaderGetRD(dns), 1);
}

TEST_F(DnsTest, DataLimits) {
    DNSResource* r = Add(DNS_AnswerAdd, "a", 99, 1, {1, 2, 3});
    const Bytes big(513, 7);
    EXPECT_EQ(DNS_ResourceSetData(dns, r, big.data(), 513), 0);
    uint8_t out[2];
    int32_t length = 0;
    EXPECT_EQ(DNS_ResourceGetData(dns, r, out, sizeof(out), &length), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(DNS_ResourceSetName(dns, r, std::string(513, 'n').c_str()), 0);
}

TEST(DnsAbort, Texts) {
    ExpectAborts({
        {[] { DNS_Reset(nullptr); }, AbortRegex("Pointer is NULL\n")},
        {[] {
             Class other{};
             other.ClassId = 0x12345678;
             DNS_Reset(reinterpret_cast<DNS*>(&other));
         },
         ClassMismatch(DNS_CLASS_ID, 0x12345678)},
    });
}

} // namespace
