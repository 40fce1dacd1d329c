#include "core/certs/asn1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"
#include "tests/support/oracle_process.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

struct Tree {
    ASN1* p = nullptr;
    Tree() { ASN1_Create(&p); }
    ~Tree() { ASN1_Release(&p); }
    operator ASN1*() const { return p; }
};

uint32_t Count(ASN1* node) {
    uint32_t n = 99;
    ASN1_GetElementCount(node, &n);
    return n;
}

// Made by `openssl asn1parse -genconf` from:
//   asn1=SEQUENCE:top
//   [top] v=INTEGER:0x1234567890ABCDEF  o=OID:1.2.840.113549.1.1.11  n=NULL  s=UTF8:h\xc3\xa9llo
//         b=BMPSTRING:A\xc3\xa9  t=UTCTIME:991231235959Z  w=OCTWRAP,SEQUENCE:inner  x=EXPLICIT:0,INTEGER:-1
//   [inner] a=OID:2.5.29.17  p=PRINTABLESTRING:abc
const Bytes kDocument = Hex(
    "304b02081234567890abcdef06092a864886f70d01010b05000c0868c383c2a96c6c6f1e06004100c300a9170d"
    "3939313233313233353935395a040c300a0603551d111303616263a0030201ff");

// One line of `openssl asn1parse -i`: where an element starts, its depth, header and contents
// lengths and whether it is constructed.
struct Listed {
    uint32_t Offset, Depth, Header, Length;
    bool Constructed;
    bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Listed& e) {
    return out << e.Offset << ":d=" << e.Depth << " hl=" << e.Header << " l=" << e.Length
               << (e.Constructed ? " cons" : " prim");
}

// The tree as asn1parse walks it: constructed elements are entered, strings are not.
void Walk(ASN1* node, const uint8_t* base, uint32_t depth, std::vector<Listed>& out) {
    for (uint32_t i = 0; i < Count(node); i++) {
        ASN1* e = ASN1_GetElement(node, i);
        uint8_t tag = 0;
        ASN1_GetTag(e, &tag);
        const uint32_t header = (uint32_t)(ASN1_GetValuePtr(e) - ASN1_GetNodePtr(e));
        out.push_back({(uint32_t)(ASN1_GetNodePtr(e) - base), depth, header, ASN1_GetValueSize(e), (tag & 0x20) != 0});
        if (tag & 0x20) Walk(e, base, depth + 1, out);
    }
}

// Keys and certificates as OpenSSL's own tools write them decode to the structure asn1parse lists.
TEST(ASN1, DecodesWhatOpensslToolsWrite) {
    const char* const commands[] = {
        "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -outform DER",
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -outform DER",
        "openssl req -x509 -newkey rsa:1024 -nodes -keyout /dev/null -subj /CN=t/O=x -days 1 -outform DER "
        "-addext subjectAltName=DNS:a.example,IP:127.0.0.1 -addext basicConstraints=critical,CA:TRUE",
    };
    for (const char* command : commands) {
        const auto der = RunOracle(std::string(command) + " 2>/dev/null", "");
        if (!der) GTEST_SKIP() << "openssl is not available";
        const auto listing = RunOracle("openssl asn1parse -inform DER -i", *der);
        ASSERT_TRUE(listing.has_value()) << command;
        std::vector<Listed> want;
        std::istringstream lines(*listing);
        for (std::string line; std::getline(lines, line);) {
            Listed e{};
            char kind[5] = {};
            if (sscanf(line.c_str(), " %u:d=%u hl=%u l=%u %4s", &e.Offset, &e.Depth, &e.Header, &e.Length, kind) == 5) {
                e.Constructed = std::string(kind) == "cons";
                want.push_back(e);
            }
        }
        Tree tree;
        const auto* bytes = reinterpret_cast<const uint8_t*>(der->data());
        ASSERT_EQ(1, ASN1_Decode(tree, bytes, (uint32_t)der->size())) << command;
        std::vector<Listed> got;
        Walk(tree, bytes, 0, got);
        EXPECT_GE(want.size(), 7u) << command;
        EXPECT_EQ(got, want) << command;
    }
}

TEST(ASN1, DecodesOpensslDocumentToItsStructure) {
    Tree tree;
    ASSERT_EQ(1, ASN1_Decode(tree, kDocument.data(), (uint32_t)kDocument.size()));
    ASSERT_EQ(1u, Count(tree));
    ASN1* top = ASN1_GetElement(tree, 0);
    EXPECT_EQ(16u, ASN1_GetType(top));
    EXPECT_EQ(77u, ASN1_GetNodeSize(top));
    EXPECT_EQ(75u, ASN1_GetValueSize(top));
    ASSERT_EQ(8u, Count(top));
    // Offsets, header lengths, lengths and types as `openssl asn1parse -i` lists them.
    const struct {
        uint32_t Offset, Header, Length, Type;
        uint8_t Tag;
    } rows[] = {{2, 2, 8, 2, 0x02},   {12, 2, 9, 6, 0x06},  {23, 2, 0, 5, 0x05},  {25, 2, 8, 12, 0x0C},
                {35, 2, 6, 30, 0x1E}, {43, 2, 13, 23, 0x17}, {58, 2, 12, 4, 0x04}, {72, 2, 3, 0, 0xA0}};
    for (uint32_t i = 0; i < 8; i++) {
        ASN1* e = ASN1_GetElement(top, i);
        SCOPED_TRACE(i);
        EXPECT_EQ(kDocument.data() + rows[i].Offset, ASN1_GetNodePtr(e));
        EXPECT_EQ(kDocument.data() + rows[i].Offset + rows[i].Header, ASN1_GetValuePtr(e));
        EXPECT_EQ(rows[i].Length, ASN1_GetValueSize(e));
        EXPECT_EQ(rows[i].Type, ASN1_GetType(e));
        uint8_t tag = 0;
        ASN1_GetTag(e, &tag);
        EXPECT_EQ(rows[i].Tag, tag);
    }
    // The OCTET STRING's contents are walked as nested DER.
    ASN1* wrapped = ASN1_GetElement(ASN1_GetElement(top, 6), 0);
    EXPECT_EQ(2u, Count(wrapped));
    EXPECT_EQ(1u, Count(ASN1_GetElement(top, 7)));

    char text[64];
    EXPECT_EQ(1, ASN1_ParseString(ASN1_GetElement(top, 3), text, sizeof(text)));
    EXPECT_STREQ("h\xc3\x83\xc2\xa9llo", text);
    EXPECT_EQ(1, ASN1_ParseString(ASN1_GetElement(top, 4), text, sizeof(text)));
    EXPECT_STREQ("A\xc3\x83\xc2\xa9", text);
    EXPECT_EQ(1, ASN1_ParseOid(ASN1_GetElement(top, 1), text, sizeof(text)));
    EXPECT_STREQ("1.2.840.113549.1.1.11", text);
    double time = 0;
    EXPECT_EQ(1, ASN1_ParseUTCTime(ASN1_GetElement(top, 5), &time));
    EXPECT_EQ(946684799.0, time); // date -u -d "1999-12-31 23:59:59" +%s

    BigInt* value = nullptr;
    BigInt_Create(&value);
    EXPECT_EQ(1, ASN1_ParseBigInt(ASN1_GetElement(top, 0), value));
    char hex[32];
    BigInt_ExportHex(value, hex, sizeof(hex));
    EXPECT_STREQ("1234567890ABCDEF", hex);
    EXPECT_EQ(0, ASN1_ParseBigInt(ASN1_GetElement(top, 1), value));
    BigInt_Release(&value);

    EXPECT_EQ(ASN1_GetElement(top, 0), ASN1_GetElement(top, 0xFFFFFFFF));
    EXPECT_EQ(nullptr, ASN1_GetElement(top, 8));
    EXPECT_EQ(nullptr, ASN1_GetElement(ASN1_GetElement(top, 0), 0));
    EXPECT_EQ(0u, ASN1_GetType(nullptr));
    ASN1_Reset(tree);
    EXPECT_EQ(0u, Count(tree));
}

TEST(ASN1, DecodeOutcomes) {
    const struct {
        const char* Hex;
        int64_t Result;
        uint32_t TopCount;
    } rows[] = {
        {"", 0, 0},
        {"020105", 1, 1},
        {"0201050500", 1, 2},
        {"020105ff", 1, 1},           // a single trailing byte is ignored
        {"3080020105" "0000", 1, 1},  // indefinite length
        {"3000020105", 1, 2},         // an empty SEQUENCE leaves its siblings (as openssl asn1parse)
        {"3080" "3000" "0201050000", 1, 1},
        {"3000", 1, 1},
        {"3081" "00", 1, 1},
        {"02ff05", 0, 0},             // reserved length octet
        {"020505", 0, 0},             // longer than the range
        {"0d0105", 0, 0},             // refused type 13
        {"1f1d0105", 0, 0},           // refused high tag number 29
        {"3080", 0, 0},               // no room for end-of-contents
        {"3003020105" "0d0100", 0, 1},// a later element refused: the complete one stays
        {"3005020105" "0d00", 0, 0},  // a refused child clears its level and fails upward
        {"02", 0, 0},                 // header cut off
        {"0284ffffffff05", 0, 0},     // length beyond 31 bits
        {"02850100000001" "05", 0, 0},// five length octets: not cut to their low bytes
        {"02850000000001" "05", 0, 0},// five length octets even when the value fits
        {"3002" "0402" "0500", 0, 0}, // a child running past its parent's end
        {"3006" "0201", 0, 0},        // truncated
        {"30030201", 0, 0},
        {"3080020105", 1, 1},         // the contents run to the end of the range
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Hex);
        Bytes in = Hex(row.Hex);
        Tree tree;
        const uint8_t dummy = 0;
        EXPECT_EQ(row.Result, ASN1_Decode(tree, in.empty() ? &dummy : in.data(), (uint32_t)in.size()));
        EXPECT_EQ(row.TopCount, Count(tree));
    }
    Tree tree;
    EXPECT_EQ(0, ASN1_Decode(tree, nullptr, 4));
}

TEST(ASN1, IndefiniteAndEmptySequences) {
    Bytes in = Hex("30800201050000");
    Tree tree;
    ASSERT_EQ(1, ASN1_Decode(tree, in.data(), (uint32_t)in.size()));
    ASN1* seq = ASN1_GetElement(tree, 0);
    EXPECT_EQ(5u, ASN1_GetValueSize(seq));
    EXPECT_EQ(1u, Count(seq));
    EXPECT_EQ(2u, ASN1_GetType(ASN1_GetElement(seq, 0)));

    // A definite length of 0 is an empty element; what follows stays at its own level.
    Bytes siblings = Hex("300002010505000201" "07");
    Tree t2;
    ASSERT_EQ(1, ASN1_Decode(t2, siblings.data(), (uint32_t)siblings.size()));
    ASSERT_EQ(4u, Count(t2));
    EXPECT_EQ(0u, Count(ASN1_GetElement(t2, 0)));
    EXPECT_EQ(0u, ASN1_GetValueSize(ASN1_GetElement(t2, 0)));
}

// n SEQUENCEs with definite lengths, one inside the other, around a NULL.
Bytes Nested(int n) {
    Bytes in = {0x05, 0x00};
    for (int i = 0; i < n; i++) {
        const size_t length = in.size();
        Bytes header = {0x30};
        if (length < 128) header.push_back((uint8_t)length);
        else header.insert(header.end(), {0x82, (uint8_t)(length >> 8), (uint8_t)length});
        in.insert(in.begin(), header.begin(), header.end());
    }
    return in;
}

TEST(ASN1, NestingBoundIsExact) {
    const struct {
        int Depth;
        int64_t Result;
    } rows[] = {{ASN1_MAX_DEPTH, 1}, {ASN1_MAX_DEPTH + 1, 0}, {10000, 0}};
    for (const auto& row : rows) {
        const Bytes in = Nested(row.Depth);
        Tree tree;
        EXPECT_EQ(row.Result, ASN1_Decode(tree, in.data(), (uint32_t)in.size())) << row.Depth;
        if (!row.Result) {
            EXPECT_EQ(0u, Count(tree));
            continue;
        }
        ASN1* node = ASN1_GetElement(tree, 0);
        for (int i = 1; node && i < row.Depth; i++) node = ASN1_GetElement(node, 0);
        ASSERT_NE(nullptr, node);
        EXPECT_EQ(5u, ASN1_GetType(ASN1_GetElement(node, 0)));
    }
}

TEST(ASN1, DeepNestingFailsWithoutExhaustingTheStack) {
    const struct {
        const char* Unit;
        int64_t Result;
    } rows[] = {{"3080", 0}, {"a080", 0}, {"2480", 0}};
    for (const auto& row : rows) {
        Bytes unit = Hex(row.Unit);
        Bytes in;
        for (int i = 0; i < 100000; i++) in.insert(in.end(), unit.begin(), unit.end());
        in.insert(in.end(), {0x05, 0x00});
        in.insert(in.end(), 200000, 0x00);
        Tree tree;
        EXPECT_EQ(row.Result, ASN1_Decode(tree, in.data(), (uint32_t)in.size())) << row.Unit;
        EXPECT_EQ(0u, Count(tree));
    }
    // OCTET STRINGs nested past the bound: the outer decode stands, the inner walk stops.
    Bytes in = {0x05, 0x00};
    for (int i = 0; i < 2000; i++) {
        Bytes wrap = {0x04, 0x82, (uint8_t)(in.size() >> 8), (uint8_t)in.size()};
        if (in.size() >= 65536) break;
        wrap.insert(wrap.end(), in.begin(), in.end());
        in.swap(wrap);
    }
    Tree tree;
    EXPECT_EQ(1, ASN1_Decode(tree, in.data(), (uint32_t)in.size()));
}

TEST(ASN1, DecodeTL) {
    const struct {
        const char* Hex;
        uint32_t Offset;
        int32_t Length;
        uint32_t Tag, Header;
    } rows[] = {
        {"0203", 0, 3, 0x02, 2},         {"3080", 0, 0, 0x30, 2},     {"02ff", 0, -1, 0x02, 2},
        {"04820102", 0, 258, 0x04, 4},   {"0482", 0, 0, 0x04, 4},     {"1f8140" "05", 0, 5, 0xC0, 4},
        {"0d01", 0, 0, 0, 0},            {"0201", 5, 0, 0, 2},        {"0284ffffffff", 0, -1, 0x02, 6}, {"028480000000", 0, -1, 0x02, 6}, {"02850100000001", 0, -1, 0x02, 7},
    };
    for (const auto& row : rows) {
        Bytes in = Hex(row.Hex);
        uint32_t tag = 99, header = 99;
        EXPECT_EQ(row.Length, ASN1_DecodeTL(in.data(), (uint32_t)in.size(), row.Offset, &tag, &header)) << row.Hex;
        EXPECT_EQ(row.Tag, tag) << row.Hex;
        EXPECT_EQ(row.Header, header) << row.Hex;
    }
}

ASN1* DecodeOne(Tree& tree, const Bytes& in) {
    if (!ASN1_Decode(tree, in.data(), (uint32_t)in.size())) return nullptr;
    return ASN1_GetElement(tree, 0);
}

TEST(ASN1, ParseOid) {
    const struct {
        const char* Hex;
        int64_t Result;
        const char* Text;
    } rows[] = {
        {"06092a864886f70d01010b", 1, "1.2.840.113549.1.1.11"},
        {"0603551d11", 1, "2.5.29.17"},
        // Expected texts as `openssl asn1parse` prints them.
        {"0603883703", 1, "2.999.3"},        // a first arc of 2 takes any second arc
        {"060178", 1, "2.40"},
        {"06014f", 1, "1.39"},
        {"060150", 1, "2.0"},
        {"0605908080804f", 1, "2.4294967295"},
        {"06059080808050", 0, ""},           // second arc past 32 bits
        {"06062a8fffffff7f", 1, "1.2.4294967295"},
        {"06062a908080800b", 0, ""},         // 2^32 + 11, not to be read as 11
        {"06032a8001", 0, ""},               // a leading 0x80 group would alias 1.2.1
        {"060188", 0, ""},
        {"06032a8648", 1, "1.2.840"},
        {"06022a86", 0, ""},                 // continuation past the contents
        {"0600", 0, ""},
    };
    for (const auto& row : rows) {
        Bytes in = Hex(row.Hex);
        Tree tree;
        ASN1* node = DecodeOne(tree, in);
        ASSERT_NE(nullptr, node) << row.Hex;
        char text[64] = "junk";
        EXPECT_EQ(row.Result, ASN1_ParseOid(node, text, sizeof(text))) << row.Hex;
        EXPECT_STREQ(row.Text, text);
    }
    Bytes in = Hex("06092a864886f70d01010b");
    Tree tree;
    char small[6];
    EXPECT_EQ(1, ASN1_ParseOid(DecodeOne(tree, in), small, sizeof(small)));
    EXPECT_STREQ("1.2.8", small);
}

TEST(ASN1, ParseStringTimeAndInt32) {
    const struct {
        const char* Hex;
        int32_t Size;
        int64_t Result;
        const char* Text;
    } strings[] = {
        {"0c03616263", 16, 1, "abc"},        {"1303616263", 3, 1, "ab"},
        {"1403616263", 16, 1, "abc"},        {"1603616263", 16, 1, "abc"},
        {"1a03616263", 16, 0, ""},           // VisibleString is not read
        {"1e0600e920ac0041", 16, 1, "\xc3\xa9\xe2\x82\xac" "A"},
        {"1e0600e920ac0041", 5, 1, "\xc3\xa9"},
        {"1e04d83dde00", 16, 1, "\xf0\x9f\x98\x80"},
        {"1e02d83d", 16, 1, "\xef\xbf\xbd"},
        {"0201ff", 16, 0, ""},
    };
    for (const auto& row : strings) {
        Bytes in = Hex(row.Hex);
        Tree tree;
        char text[16] = "junk";
        EXPECT_EQ(row.Result, ASN1_ParseString(DecodeOne(tree, in), text, row.Size)) << row.Hex;
        EXPECT_STREQ(row.Text, text) << row.Hex;
    }

    // Expected seconds from `date -u -d "<date>" +%s`.
    const struct {
        const char* Hex;
        int64_t Result;
        double Time;
    } times[] = {
        {"170d3939313233313233353935395a", 1, 946684799.0},  // 99 is 1999
        {"170d3439313233313233353935395a", 1, 2524607999.0}, // 49 is 2049
        {"170d3530303130313030303030305a", 1, 0.0},          // 50 is 1950, before the clock's start
        {"1706303030313031", 1, 946684800.0},
        {"170b3234303232393132333430", 1, 1709210040.0},   // 2402291234 + trailing ignored
        {"1705303030313031", 0, 0},
        {"1706303031333031", 0, 0},                         // month 13
        {"1706303030314131", 0, 0},
        {"180f32303530303130313030303030305a", 1, 2524608000.0}, // GeneralizedTime 2050
        {"1808323030303031303", 0, 0},                      // cut short
        {"0406303030313031", 0, 0},                         // not a time
    };
    for (const auto& row : times) {
        Bytes in = Hex(row.Hex);
        Tree tree;
        ASN1* node = DecodeOne(tree, in);
        if (node == nullptr) {
            EXPECT_EQ(0, row.Result) << row.Hex;
            continue;
        }
        double time = -1;
        EXPECT_EQ(row.Result, ASN1_ParseUTCTime(node, &time)) << row.Hex;
        EXPECT_EQ(row.Time, time) << row.Hex;
    }

    const struct {
        const char* Hex;
        int64_t Result;
        uint32_t Value;
    } ints[] = {{"0201ff", 1, 255}, {"0200", 1, 0}, {"020480000001", 1, 0x80000001},
                {"02050100000000", 0, 0}, {"0401ff", 0, 0}};
    for (const auto& row : ints) {
        Bytes in = Hex(row.Hex);
        Tree tree;
        uint32_t value = 7;
        EXPECT_EQ(row.Result, ASN1_ParseInt32(DecodeOne(tree, in), &value)) << row.Hex;
        EXPECT_EQ(row.Value, value) << row.Hex;
    }
}

TEST(ASN1, FindReturnsTheElementAfterTheOid) {
    Tree tree;
    ASSERT_EQ(1, ASN1_Decode(tree, kDocument.data(), (uint32_t)kDocument.size()));
    ASN1* top = ASN1_GetElement(tree, 0);
    ASN1* out = nullptr;
    ASSERT_EQ(1, ASN1_Find(tree, "2.5.29.17", 0xFFFFFFFF, &out));
    char text[16];
    ASN1_ParseString(out, text, sizeof(text));
    EXPECT_STREQ("abc", text);
    ASSERT_EQ(1, ASN1_Find(top, "1.2.840.113549.1.1.11", 1, &out));
    EXPECT_EQ(ASN1_GetElement(top, 2), out);
    EXPECT_EQ(0, ASN1_Find(top, "2.5.29.17", 2, &out));   // three levels down
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, ASN1_Find(top, "2.5.29.17", 3, &out));
    EXPECT_EQ(0, ASN1_Find(tree, "2.5.29", 0xFFFFFFFF, &out));
    EXPECT_EQ(1, ASN1_Find(ASN1_GetElement(top, 1), "1.2.840.113549.1.1.11", 0, &out));
    EXPECT_EQ(nullptr, out);

    Bytes last = Hex("30050603551d11");   // OID with no value after it
    Tree t2;
    ASSERT_EQ(1, ASN1_Decode(t2, last.data(), (uint32_t)last.size()));
    EXPECT_EQ(0, ASN1_Find(t2, "2.5.29.17", 0xFFFFFFFF, &out));
}

TEST(ASN1, EncodeBigInt) {
    // Expected bytes checked with `openssl asn1parse -genconf` (asn1=INTEGER:0x7f2222...).
    const struct {
        std::string Magnitude;
        uint32_t Size;
        int64_t Result;
        std::string Out;
    } rows[] = {
        {"", 8, 1, "020100"}, // DER has no empty INTEGER
        {"", 2, 0, ""},
        {"05", 8, 1, "020105"},
        {"80ff", 8, 1, "02030080ff"}, // a 0x00 keeps it positive (as openssl -genconf INTEGER:0x80FF)
        {"80ff", 4, 0, ""},
        {"80" + std::string(254, '2'), 132, 1, "02818100" "80" + std::string(254, '2')},
        {"7f" + std::string(254, '2'), 131, 1, "028180" "7f" + std::string(254, '2')},
        {"7f" + std::string(254, '2'), 130, 0, ""},
        {std::string(512, '1'), 300, 1, "02820100" + std::string(512, '1')},
        {"0102", 3, 0, ""},
    };
    for (const auto& row : rows) {
        BigInt* value = nullptr;
        BigInt_Create(&value);
        Bytes magnitude = Hex(row.Magnitude);
        BigInt_ImportBinary(value, magnitude.data(), (uint32_t)magnitude.size());
        Bytes buffer(row.Size, 0xEE);
        Tree tree;
        EXPECT_EQ(row.Result, ASN1_EncodeBigInt(tree, value, buffer.data(), row.Size)) << row.Magnitude;
        if (row.Result) {
            Bytes want = Hex(row.Out);
            EXPECT_EQ(want, Bytes(buffer.begin(), buffer.begin() + (long)want.size()));
            EXPECT_EQ(want.size(), ASN1_GetNodeSize(ASN1_GetElement(tree, 0)));
            EXPECT_EQ(1, ASN1_EncodeBigInt(nullptr, value, buffer.data(), row.Size));
        }
        BigInt_Release(&value);
    }
}

TEST(ASN1, EncodeSequenceGrowsOneElementAtATime) {
    const Bytes integer = Hex("0246" + std::string(140, '1'));
    Bytes buffer(200, 0);
    uint32_t length = 0;
    ASSERT_EQ(1, ASN1_EncodeSequenceAddNode(nullptr, buffer.data(), 200, integer.data(), (uint32_t)integer.size(), &length));
    EXPECT_EQ(74u, length);
    EXPECT_EQ(Hex("3048" "0246" + std::string(140, '1')), Bytes(buffer.begin(), buffer.begin() + 74));
    Tree tree;
    ASSERT_EQ(1, ASN1_EncodeSequenceAddNode(tree, buffer.data(), 200, integer.data(), (uint32_t)integer.size(), &length));
    // Same bytes as `openssl asn1parse -genconf` of a SEQUENCE of two INTEGER:0x1111...(70 bytes).
    EXPECT_EQ(147u, length);
    EXPECT_EQ(Hex("308190" + ("0246" + std::string(140, '1')) + ("0246" + std::string(140, '1'))),
              Bytes(buffer.begin(), buffer.begin() + 147));
    EXPECT_EQ(2u, Count(ASN1_GetElement(tree, 0)));
    // No room for a third: the buffer stays as it was.
    Bytes before = buffer;
    EXPECT_EQ(0, ASN1_EncodeSequenceAddNode(nullptr, buffer.data(), 200, integer.data(), (uint32_t)integer.size(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(before, buffer);

    const struct {
        const char* Buffer;
        const char* Element;
        uint32_t ElementSize;
    } refused[] = {
        {"0201050000", "020105", 3},   // the buffer holds no SEQUENCE
        {"31030201050000", "020105", 3},
        {"0000000000", "0205", 2},       // element longer than its size
        {"0000000000", "02", 1},
        {"0000000000", "02ff", 2},
        {"0100000000", "020105", 3},   // low four bits of an empty header
    };
    for (const auto& row : refused) {
        Bytes b = Hex(row.Buffer);
        Bytes e = Hex(row.Element);
        EXPECT_EQ(0, ASN1_EncodeSequenceAddNode(nullptr, b.data(), (int32_t)b.size(), e.data(), row.ElementSize, &length))
            << row.Buffer << " " << row.Element;
    }
    Bytes b = Hex("3000000000");
    Bytes e = Hex("0500");
    EXPECT_EQ(1, ASN1_EncodeSequenceAddNode(nullptr, b.data(), 5, e.data(), 2, &length));
    EXPECT_EQ(Hex("30020500"), Bytes(b.begin(), b.begin() + 4));
}

TEST(ASN1, Aborts) {
    const struct {
        std::function<void()> Call;
        std::string Text;
    } rows[] = {
        {[] {
             uint8_t b[1] = {0};
             const uint8_t e[2] = {5, 0};
             uint32_t n = 0;
             ASN1_EncodeSequenceAddNode(nullptr, b, 1, e, 2, &n);
         },
         "Assertion failed (DataSize >= 2)\nDataSize is too small"},
        {[] { ASN1_GetElement(nullptr, 0); }, "Pointer is NULL\n"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                row.Call();
            },
            AbortRegex(row.Text));
}

} // namespace
