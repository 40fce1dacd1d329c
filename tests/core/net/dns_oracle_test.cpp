// DNS messages beside python3-dnspython: the messages we build encode to the same bytes as its
// own (compression included), and we decode what it encodes. One python3 run makes them all.
#include "core/net/dns.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// name -> wire form, one line each ("name hex").
const char kScript[] = R"PY(
import dns.message, dns.name, dns.rrset, dns.rdataclass, dns.rdatatype, dns.flags
def message(id, flags, rcode=0):
    m = dns.message.Message(id=id)
    m.flags = flags
    m.set_rcode(rcode)
    return m
def question(m, name, kind):
    m.find_rrset(m.question, dns.name.from_text(name), dns.rdataclass.IN, dns.rdatatype.from_text(kind),
                 create=True, force_unique=True)
def record(section, name, ttl, kind, text):
    section.append(dns.rrset.from_text(name, ttl, 'IN', kind, text))
F = dns.flags
m = message(0x1234, F.RD); question(m, 'example.com.', 'A'); print('query', m.to_wire().hex())
m = message(0xBEEF, F.QR | F.AA | F.RD | F.RA, 3); question(m, 'no.such.example.', 'A')
print('nxdomain', m.to_wire().hex())
m = message(7, F.RD); question(m, 'a.example.', 'A'); question(m, 'b.example.', 'MX')
question(m, 'c.b.example.', 'TXT'); print('questions', m.to_wire().hex())
m = message(0x0102, F.QR | F.RD | F.RA); question(m, 'www.example.com.', 'A')
record(m.answer, 'www.example.com.', 3600, 'CNAME', 'example.com.')
record(m.answer, 'example.com.', 300, 'A', '93.184.216.34')
record(m.answer, 'example.com.', 300, 'MX', '10 mail.example.com.')
record(m.answer, 'example.com.', 60, 'TXT', '"hello world"')
record(m.authority, 'example.com.', 86400, 'NS', 'ns1.example.net.')
record(m.additional, 'mail.example.com.', 300, 'A', '192.0.2.25')
record(m.additional, '34.216.184.93.in-addr.arpa.', 300, 'PTR', 'EXAMPLE.com.')
print('response', m.to_wire().hex())
)PY";

std::string ToHex(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof(two), "%02x", b);
        out += two;
    }
    return out;
}

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::map<std::string, Bytes> RunOracle() {
    std::map<std::string, Bytes> out;
    // A bounded wait: a python3 that hangs is ended by timeout(1).
    const std::string command = "timeout 60 /usr/bin/python3 - 2>/dev/null <<'EOF'\n" + std::string(kScript) + "EOF\n";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) text.append(chunk, n);
    if (pclose(pipe) != 0) return {};
    std::istringstream lines(text);
    std::string name, hex;
    while (lines >> name >> hex) out[name] = Hex(hex);
    return out;
}

const std::map<std::string, Bytes>& Oracle() {
    static const std::map<std::string, Bytes> answers = RunOracle();
    return answers;
}

struct Record {
    int64_t (*Add)(DNS*, DNSResource**);
    const char* Name;
    uint16_t Type;
    uint32_t TTL;
    Bytes Data;
    const char* Text; // the text form after decoding
};

Bytes Named(const std::string& text, const Bytes& prefix = {}) {
    Bytes out = prefix;
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

struct Case {
    const char* Name;
    uint16_t Id;
    uint8_t QR, AA, RD, RA, RCODE;
    std::vector<std::pair<const char*, uint16_t>> Questions;
    std::vector<Record> Records;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"query", 0x1234, 0, 0, 1, 0, 0, {{"example.com", DNS_TYPE_A}}, {}},
        {"nxdomain", 0xBEEF, 1, 1, 1, 1, 3, {{"no.such.example", DNS_TYPE_A}}, {}},
        {"questions", 7, 0, 0, 1, 0, 0, {{"a.example", DNS_TYPE_A}, {"b.example", DNS_TYPE_MX}, {"c.b.example", DNS_TYPE_TXT}}, {}},
        {"response",
         0x0102,
         1,
         0,
         1,
         1,
         0,
         {{"www.example.com", DNS_TYPE_A}},
         {{DNS_AnswerAdd, "www.example.com", DNS_TYPE_CNAME, 3600, Named("example.com"), "example.com"},
          {DNS_AnswerAdd, "example.com", DNS_TYPE_A, 300, {93, 184, 216, 34}, "93.184.216.34"},
          {DNS_AnswerAdd, "example.com", DNS_TYPE_MX, 300, Named("mail.example.com", {0, 10}), "[10] mail.example.com"},
          {DNS_AnswerAdd, "example.com", DNS_TYPE_TXT, 60, Bytes{11, 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'},
           nullptr},
          {DNS_NameServerAdd, "example.com", DNS_TYPE_NS, 86400, Named("ns1.example.net"), "ns1.example.net"},
          {DNS_AdditionalRecordAdd, "mail.example.com", DNS_TYPE_A, 300, {192, 0, 2, 25}, "192.0.2.25"},
          {DNS_AdditionalRecordAdd, "34.216.184.93.in-addr.arpa", DNS_TYPE_PTR, 300, Named("EXAMPLE.com"),
           "example.com"}}},
    };
    return cases;
}

struct DnsOracle : ::testing::Test {
    DNS* dns = nullptr;
    void SetUp() override {
        if (Oracle().size() != Cases().size()) GTEST_SKIP() << "python3-dnspython is not installed";
        DNS_Create(&dns);
    }
    void TearDown() override {
        if (dns) DNS_Release(&dns);
    }
};

TEST_F(DnsOracle, EncodesAsDnspythonDoes) {
    for (const Case& c : Cases()) {
        DNS_Reset(dns);
        DNS_HeaderSetID(dns, c.Id);
        DNS_HeaderSetQR(dns, c.QR);
        DNS_HeaderSetAA(dns, c.AA);
        DNS_HeaderSetRD(dns, c.RD);
        DNS_HeaderSetRA(dns, c.RA);
        DNS_HeaderSetRCODE(dns, c.RCODE);
        for (const auto& [name, type] : c.Questions) {
            DNSQuestion* q = nullptr;
            DNS_QuestionAdd(dns, &q);
            DNS_QuestionSetName(dns, q, name);
            DNS_QuestionSetType(dns, q, type);
            DNS_QuestionSetClass(dns, q, DNS_CLASS_IN);
        }
        for (const Record& r : c.Records) {
            DNSResource* resource = nullptr;
            r.Add(dns, &resource);
            DNS_ResourceSetName(dns, resource, r.Name);
            DNS_ResourceSetType(dns, resource, r.Type);
            DNS_ResourceSetClass(dns, resource, DNS_CLASS_IN);
            DNS_ResourceSetTTL(dns, resource, r.TTL);
            DNS_ResourceSetData(dns, resource, r.Data.data(), (int32_t)r.Data.size());
        }
        Bytes out(1024);
        int32_t length = 0;
        ASSERT_EQ(DNS_Encode(dns, out.data(), (int32_t)out.size(), &length), 1) << c.Name;
        out.resize((size_t)length);
        EXPECT_EQ(ToHex(out), ToHex(Oracle().at(c.Name))) << c.Name;
    }
}

TEST_F(DnsOracle, DecodesWhatDnspythonEncodes) {
    for (const Case& c : Cases()) {
        const Bytes& wire = Oracle().at(c.Name);
        ASSERT_EQ(DNS_Decode(dns, wire.data(), (int32_t)wire.size()), 1) << c.Name;
        EXPECT_EQ(DNS_HeaderGetID(dns), c.Id);
        EXPECT_EQ(DNS_HeaderGetQR(dns), c.QR);
        EXPECT_EQ(DNS_HeaderGetRCODE(dns), c.RCODE);
        EXPECT_EQ(DNS_HeaderGetQDCount(dns), c.Questions.size());
        DNSQuestion* q = nullptr;
        DNS_QuestionGetFirst(dns, &q);
        for (const auto& [name, type] : c.Questions) {
            ASSERT_NE(q, nullptr);
            char text[DNS_NAME_MAX + 1];
            DNS_QuestionGetName(dns, q, text, sizeof(text));
            EXPECT_STREQ(text, name);
            EXPECT_EQ(DNS_QuestionGetType(dns, q), type);
            DNS_QuestionGetNext(dns, q, &q);
        }
        int64_t (*firsts[])(DNS*, DNSResource**) = {DNS_AnswerGetFirst, DNS_NameServerGetFirst,
                                                    DNS_AdditionalRecordGetFirst};
        int64_t (*adds[])(DNS*, DNSResource**) = {DNS_AnswerAdd, DNS_NameServerAdd, DNS_AdditionalRecordAdd};
        for (int list = 0; list < 3; list++) {
            DNSResource* r = nullptr;
            firsts[list](dns, &r);
            for (const Record& want : c.Records) {
                if (want.Add != adds[list]) continue;
                ASSERT_NE(r, nullptr) << want.Name;
                char text[DNS_TEXT_MAX + 1];
                DNS_ResourceGetName(dns, r, text, sizeof(text));
                EXPECT_STREQ(text, want.Name);
                EXPECT_EQ(DNS_ResourceGetType(dns, r), want.Type);
                EXPECT_EQ(DNS_ResourceGetTTL(dns, r), want.TTL);
                if (want.Text) {
                    DNS_ResourceGetString(dns, r, text, sizeof(text));
                    EXPECT_STREQ(text, want.Text);
                }
                DNS_AnswerGetNext(dns, r, &r);
            }
            EXPECT_EQ(r, nullptr);
        }
    }
    const Bytes& nx = Oracle().at("nxdomain");
    DNS_Decode(dns, nx.data(), (int32_t)nx.size());
    EXPECT_STREQ(DNS_TranslateHeaderRCODE(DNS_HeaderGetRCODE(dns)), "Name Error");
}

} // namespace
