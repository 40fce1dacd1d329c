// Tests of the XML reader and writer: the document-to-Dictionary mapping, escaping and references,
// the error codes of malformed and hostile input, round trips, files and the tree builders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/runtime/dictionary.h"
#include "tests/support/change_log.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

// The tree as minified JSON: keys, order, types (Null, String, Dictionary) and texts all show.
std::string Describe(Dictionary* dict) {
    return "{" + DictionaryAsJson(dict) + "}";
}

struct Fixture {
    XML* xml = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> printed;
    Fixture() {
        XML_Create(&xml);
        Dictionary_Create(&dict);
        XML_SetDictionaryHandle(xml, dict);
        XML_SetPrintCallback(xml, &printed, KeepLine);
    }
    ~Fixture() {
        XML_Delete(&xml);
        Dictionary_Release(&dict);
    }
    int64_t Load(const std::string& text) { return XML_LoadBuffer(xml, text.data(), (uint32_t)text.size()); }
    std::string Error() {
        uint32_t code = 0;
        XML_GetLastError(xml, &code);
        return XML_TranslateError(code);
    }
    std::string Save(uint32_t minify) {
        XML_SetMinify(xml, minify);
        uint32_t length = 0;
        EXPECT_EQ(XML_SaveBufferEstimate(xml, &length), 1);
        std::string out(length, '\0');
        uint32_t written = 0;
        EXPECT_EQ(XML_SaveBuffer(xml, out.data(), length, &written), 1);
        out.resize(written);
        return out;
    }
};

struct Mapping {
    const char* Input;
    const char* Tree;
};

TEST(XmlTest, DocumentsMapOntoTheDictionary) {
    const Mapping cases[] = {
        {"<?xml version=\"1.0\"?><root><a>1</a></root>",
         "{\"?xml\":{\"-version\":\"1.0\",\"-?\":null},\"root\":{\"a\":\"1\"}}"},
        {"<e x=\"1\">t</e>", "{\"e\":{\"-x\":\"1\",\".text\":\"t\"}}"},
        {"<r><a>1</a><a>2</a></r>", "{\"r\":{\"a\":\"1\",\"a\":\"2\"}}"},
        {"<r><e/><f /></r>", "{\"r\":{\"e\":{},\"f\":{}}}"},
        {"<r>\n  x <a/> y\t\n <b>  </b></r>", "{\"r\":{\".text\":\"x\",\"a\":{},\".text\":\"y\",\"b\":{}}}"},
        {"<a b c>t</a>", "{\"a\":{\"-b\":null,\"-c\":null,\".text\":\"t\"}}"},
        {"<a x=1>skipped</a>", "{\"a\":{\"-x\":\"1\"}}"},
        {"<r><!-- two words --></r>", "{\"r\":{\"!--\":{\"-two\":null,\"-words\":null,\"---\":null}}}"},
        {"<!DOCTYPE plist PUBLIC \"p\" \"s\"><plist/>",
         "{\"!DOCTYPE\":{\"-plist\":null,\"-PUBLIC\":null,\"-p\":null,\"-s\":null},\"plist\":{}}"},
        {"<a>&lt;b&gt; &amp; &quot;&apos; &#65;&#x42;&#xe9;</a>", "{\"a\":\"<b> & \\\"' AB\\u00E9\"}"},
        {"<a v=\"&lt;&amp;&quot;\"/>", "{\"a\":{\"-v\":\"<&\\\"\"}}"},
    };
    for (const Mapping& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.Input), 1) << c.Input;
        EXPECT_EQ(Describe(f.dict), c.Tree) << c.Input;
    }
}

struct Failure {
    std::string Input;
    const char* Error;
};

TEST(XmlTest, BadInputFailsWithItsCode) {
    std::string deep;
    for (int i = 0; i < 100000; i++) deep += "<a>";
    const Failure cases[] = {
        {"<a", "Truncated"},
        {"<a x=\"1", "Truncated"},
        {"<a><b>", "Truncated"},
        {"<a></b>", "Syntax"},
        {"</a>", "Syntax"},
        {"<>", "Syntax"},
        {"<-a/>", "Syntax"},
        {"<a / b>", "Syntax"},
        {"<a>&foo;</a>", "Reference"},
        {"<a>&#0;</a>", "Reference"},
        {"<a>&#xD800;</a>", "Reference"},
        {"<a>& b</a>", "Reference"},
        {"<a>\xff</a>", "Encoding"},
        {"<a>\xc0\x80</a>", "Encoding"},
        {"<a>\xc3", "Encoding"},
        {std::string("<a>\0</a>", 8), "Encoding"},
        {"<" + std::string(319, 'n') + "/>", "NameLength"},
        {"<a " + std::string(1000000, 'n') + "/>", "NameLength"},
        {deep, "Depth"},
        // Entities declared by the document are never expanded.
        {"<!DOCTYPE r [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]><r>&b;</r>", "Reference"},
    };
    for (const Failure& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.Input), 0) << c.Input.substr(0, 40);
        EXPECT_EQ(f.Error(), c.Error) << c.Input.substr(0, 40);
    }
    Fixture f;
    EXPECT_EQ(XML_LoadBuffer(f.xml, "", 0), 0);
    EXPECT_EQ(f.Error(), "ZeroLength");
}

TEST(XmlTest, EveryCutOfADocumentFails) {
    const std::string doc = "<?xml version=\"1.0\"?><r a=\"1\"><b>t&amp;</b><c/>x</r>";
    for (size_t n = 1; n < doc.size(); n++) {
        if (n == 21) continue; // the declaration alone is a whole document
        Fixture f;
        EXPECT_EQ(f.Load(doc.substr(0, n)), 0) << doc.substr(0, n);
    }
}

TEST(XmlTest, WritesMinifiedOrIndented) {
    Fixture f;
    ASSERT_EQ(f.Load("<?xml version=\"1.0\"?><r x=\"1\"><a>t</a><b><c/></b></r>"), 1);
    EXPECT_EQ(f.Save(1), "<?xml version=\"1.0\"?><r x=\"1\"><a>t</a><b><c></c></b></r>");
    EXPECT_EQ(f.Save(0), "<?xml version=\"1.0\"?>\n\n"
                         "<r x=\"1\">\n"
                         "    <a>t</a>\n"
                         "    <b>\n"
                         "        <c>\n"
                         "        </c>\n"
                         "    </b>\n"
                         "</r>\n");
}

// Indented output writes an element's only text inline even when the element has attributes: on
// lines of its own, the indentation would become part of the text for other readers.
TEST(XmlTest, IndentedTextOfAnElementWithAttributesStaysInline) {
    Fixture f;
    ASSERT_EQ(f.Load("<r><a x=\"1\">t</a><b y=\"2\"><c>u</c></b></r>"), 1);
    EXPECT_EQ(f.Save(0), "<r>\n"
                         "    <a x=\"1\">t</a>\n"
                         "    <b y=\"2\">\n"
                         "        <c>u</c>\n"
                         "    </b>\n"
                         "</r>\n");
}

TEST(XmlTest, ValuesAreEscapedSoTheyCannotInjectMarkup) {
    Fixture f;
    Dictionary* root = nullptr;
    XML_AddElement(f.dict, "r", &root, nullptr);
    XML_AddAttribute(root, "v", "\"/><evil x=\"");
    XML_AddStringElement(root, "t", " </t><evil/>&amp; ", nullptr);
    const std::string text = f.Save(1);
    EXPECT_EQ(text, "<r v=\"&quot;/&gt;&lt;evil x=&quot;\"><t>&#32;&lt;/t&gt;&lt;evil/&gt;&amp;amp;&#32;</t></r>");
    const std::string before = Describe(f.dict);
    ASSERT_EQ(f.Load(text), 1);
    EXPECT_EQ(Describe(f.dict), before);
}

// Names are written as they stand, so one the text cannot carry fails the save with its message
// rather than writing markup of its own or being dropped.
TEST(XmlTest, NamesTheTextCannotCarryFailTheSave) {
    const struct {
        const char* Element;   // a String element of this name at the top
        const char* Attribute; // else an attribute of this name on element "r"
        const char* Message;
    } rows[] = {
        {"x><evil/><y", nullptr, "Unable to write element [x><evil/><y]: the XML text cannot carry it"},
        {"a b", nullptr, "Unable to write element [a b]: the XML text cannot carry it"},
        {"-attr", nullptr, "Unable to write element [-attr]: the XML text cannot carry it"},
        {"/x", nullptr, "Unable to write element [/x]: the XML text cannot carry it"},
        {"x/", nullptr, "Unable to write element [x/]: the XML text cannot carry it"},
        {"\xff", nullptr, "Unable to write element [\xff]: the XML text cannot carry it"},
        {nullptr, "a b=\"1\"", "Unable to write attribute [a b=\"1\"]: the XML text cannot carry it"},
        {nullptr, "x>", "Unable to write attribute [x>]: the XML text cannot carry it"},
    };
    for (const auto& row : rows) {
        Fixture f;
        if (row.Element) {
            Dictionary_AddString(f.dict, row.Element, "v", nullptr);
        } else {
            Dictionary* r = nullptr;
            XML_AddElement(f.dict, "r", &r, nullptr);
            XML_AddAttribute(r, row.Attribute, "1");
        }
        uint32_t length = 7;
        EXPECT_EQ(XML_SaveBufferEstimate(f.xml, &length), 0) << row.Message;
        EXPECT_TRUE(HasLine(f.printed, row.Message)) << ::testing::PrintToString(f.printed);
    }
    // Text only reads back inside an element or after one, and not straight after other text.
    Fixture text;
    Dictionary_AddString(text.dict, "#text", "lost", nullptr);
    uint32_t length = 0;
    EXPECT_EQ(XML_SaveBufferEstimate(text.xml, &length), 0);
    Dictionary* r = nullptr;
    XML_AddElement(text.dict, "r", &r, nullptr);
    Dictionary_Reset(text.dict);
    XML_AddElement(text.dict, "r", &r, nullptr);
    XML_AddAttribute(r, "a", "1");
    Dictionary_AddString(r, "#text", "one", nullptr);
    Dictionary_AddString(r, "#text", "two", nullptr);
    EXPECT_EQ(XML_SaveBufferEstimate(text.xml, &length), 0);
}

// The Dictionary keeps 119 bytes of a name (never half a character); what it keeps is written as
// it stands, unless the cut leaves a name the text cannot carry: then the save fails and the file
// keeps what it held.
TEST(XmlTest, NamesCutByTheDictionaryWriteBackOrFailTheSave) {
    const std::string n118(118, 'n');
    const struct {
        std::string Document;
        std::string Saved; // empty: the save fails
    } rows[] = {
        {"<" + std::string(130, 'n') + "/>", "<" + n118 + "n></" + n118 + "n>"},
        {"<" + n118 + "\xC3\xA9/>", "<" + n118 + "></" + n118 + ">"},
        {"<r><" + n118 + "/p/><x/></r>", ""},
    };
    for (const auto& row : rows) {
        TempDir dir;
        ASSERT_TRUE(WriteText(dir.file("a.xml"), "old"));
        Fixture f;
        ASSERT_EQ(f.Load(row.Document), 1) << row.Document;
        if (row.Saved.empty()) {
            EXPECT_EQ(XML_SaveFile(f.xml, dir.file("a.xml").c_str()), 0);
            EXPECT_TRUE(HasLine(f.printed, "Unable to write element [" + n118 + "/]: the XML text cannot carry it"))
                << ::testing::PrintToString(f.printed);
            EXPECT_EQ(ReadFile(dir.file("a.xml")), "old");
            continue;
        }
        const std::string tree = Describe(f.dict);
        ASSERT_EQ(XML_SaveFile(f.xml, dir.file("a.xml").c_str()), 1);
        EXPECT_EQ(ReadFile(dir.file("a.xml")), row.Saved);
        ASSERT_EQ(f.Load(row.Saved), 1);
        EXPECT_EQ(Describe(f.dict), tree);
    }
}

// Attributes belong to the start tag: one added after an element's content is written there and
// reads back ahead of the content.
TEST(XmlTest, AttributesAddedAfterContentGoToTheStartTag) {
    const struct {
        void (*Build)(Dictionary* root);
        const char* Saved;
        const char* ReadBack;
    } rows[] = {
        {[](Dictionary* root) {
             Dictionary* r = nullptr;
             XML_AddElement(root, "r", &r, nullptr);
             XML_AddStringElement(r, "a", "t", nullptr);
             XML_AddAttribute(r, "x", "1");
         },
         "<r x=\"1\"><a>t</a></r>", "{\"r\":{\"-x\":\"1\",\"a\":\"t\"}}"},
        {[](Dictionary* root) {
             Dictionary* outer = nullptr;
             Dictionary* inner = nullptr;
             Dictionary* leaf = nullptr;
             XML_AddElement(root, "+", &outer, nullptr);
             XML_AddElement(outer, "+", &inner, nullptr);
             XML_AddElement(inner, "+", &leaf, nullptr);
             XML_AddElement(leaf, "+", nullptr, nullptr);
             Dictionary_AddString(inner, "-%0000", "", nullptr);
         },
         "<+><+ %0000=\"\"><+><+></+></+></+></+>", "{\"+\":{\"+\":{\"-%0000\":\"\",\"+\":{\"+\":{}}}}}"},
    };
    for (const auto& row : rows) {
        Fixture f;
        row.Build(f.dict);
        const std::string text = f.Save(1);
        EXPECT_EQ(text, row.Saved);
        ASSERT_EQ(f.Load(text), 1);
        EXPECT_EQ(Describe(f.dict), row.ReadBack);
    }
}

TEST(XmlTest, WhatIsReadIsWrittenAndReadBackTheSame) {
    const char* documents[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE r PUBLIC \"a b\" \"c\"><r><a>1</a><a>2</a></r>",
        "<r>x<b k=\"v\" n>y</b>z<!-- c --><?pi d?></r>",
        "<r a=\"\" b=\"&#9;x&#10;\"><t>&#32; a &amp; b &#32;</t></r>",
        "<a><b><c><d>deep</d></c></b></a><e/>tail",
        "<a \"x y\" \"=\">t</a>",
        "<?p a b?><x/>",
    };
    for (const char* doc : documents) {
        for (uint32_t minify : {1u, 0u}) {
            Fixture f;
            ASSERT_EQ(f.Load(doc), 1) << doc;
            const std::string tree = Describe(f.dict);
            const std::string text = f.Save(minify);
            ASSERT_EQ(f.Load(text), 1) << text;
            EXPECT_EQ(Describe(f.dict), tree) << doc << "\n" << text;
            EXPECT_EQ(f.Save(minify), text);
        }
    }
}

TEST(XmlTest, ValueCallbackSeesEveryValueWithItsPath) {
    Fixture f;
    std::vector<std::string> seen;
    XML_SetValueCallback(f.xml, &seen,
                         [](XML*, void* user, const char* path, uint32_t type, const char* text, int32_t length,
                            uint64_t, int32_t, int32_t) -> int64_t {
                             static_cast<std::vector<std::string>*>(user)->push_back(
                                 std::string(path) + " " + std::to_string(type) + " " +
                                 std::string(text ? text : "", (size_t)length));
                             return 0;
                         });
    ASSERT_EQ(f.Load("<r x=\"1\"><a>t</a></r>"), 1);
    const std::vector<std::string> expected = {"r 3 ", "r\\-x 1 1", "r\\a 3 ", "r\\a\\#text 1 t"};
    EXPECT_EQ(seen, expected);
}

TEST(XmlTest, LoadStringFormatsTheText) {
    Fixture f;
    ASSERT_EQ(XML_LoadString(f.xml, "<r x=\"%d\"/>", 7), 1);
    EXPECT_EQ(Describe(f.dict), "{\"r\":{\"-x\":\"7\"}}");
}

TEST(XmlTest, BuildersMakeTheDeclarationAndDocumentType) {
    Fixture f;
    Dictionary* root = nullptr;
    XML_AddElement(f.dict, "plist", &root, nullptr);
    XML_EnsureAttribute(root, "version", "1.0");
    XML_EnsureDocType(f.dict, "plist", "PUBLIC", "\"p\"", "\"s\"", nullptr);
    XML_EnsureRoot(f.dict, "1.0", "UTF-8", nullptr);
    XML_EnsureDocType(f.dict, "plist", "PUBLIC", "\"p\"", "\"s\"", nullptr);
    XML_EnsureRoot(f.dict, "1.0", nullptr, nullptr);
    EXPECT_EQ(f.Save(1), "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"p\" \"s\"><plist version=\"1.0\"></plist>");
}

TEST(XmlTest, FilesLoadAndSave) {
    TempDir dir;
    Fixture f;
    EXPECT_EQ(XML_LoadFile(f.xml, dir.file("missing.xml").c_str()), 0);
    EXPECT_TRUE(HasLine(f.printed, "Unable to open file (" + dir.file("missing.xml") + ")"));
    ASSERT_TRUE(WriteText(dir.file("a.xml"), std::string(9000, ' ') + "<r><a>1</a></r>"));
    ASSERT_EQ(XML_LoadFile(f.xml, dir.file("a.xml").c_str()), 1);
    ASSERT_EQ(XML_SaveFile(f.xml, dir.file("a.xml").c_str()), 1);
    EXPECT_EQ(ReadFile(dir.file("a.xml")), "<r><a>1</a></r>");
    EXPECT_EQ(XML_SaveFile(f.xml, dir.path().c_str()), 0);
}

TEST(XmlTest, LongValuesReadWholeAcrossReadChunks) {
    TempDir dir;
    Fixture f;
    const std::string half(100000, 'a');
    ASSERT_TRUE(WriteText(dir.file("long.xml"), "<r v=\"" + half + "&quot;\xC3\xA9" + half + "\"><t>" + half +
                                                    "&lt;\xE2\x82\xAC" + half + "</t></r>"));
    ASSERT_EQ(XML_LoadFile(f.xml, dir.file("long.xml").c_str()), 1);
    const char* text = nullptr;
    ASSERT_EQ(Dictionary_GetStringPtrByPath(f.dict, "r\\-v", &text), 1);
    EXPECT_EQ(std::string(text), half + "\"\xC3\xA9" + half);
    ASSERT_EQ(Dictionary_GetStringPtrByPath(f.dict, "r\\t", &text), 1);
    EXPECT_EQ(std::string(text), half + "<\xE2\x82\xAC" + half);
}

TEST(XmlTest, MergeJoinsTheFirstContainers) {
    Fixture a, b;
    ASSERT_EQ(a.Load("<r><x>1</x></r>"), 1);
    ASSERT_EQ(b.Load("<r><y>2</y></r>"), 1);
    ASSERT_EQ(XML_Merge(a.xml, b.xml, 0), 1);
    EXPECT_EQ(Describe(a.dict), "{\"r\":{\"x\":\"1\",\"y\":\"2\"}}");
    XML_SetDictionaryHandle(b.xml, nullptr);
    EXPECT_EQ(XML_Merge(a.xml, b.xml, 0), 0);
}

// A load into a Dictionary whose changes are watched (or whose duplicates are refused) takes the
// general path for every item; one that nobody watches stores items in one step. Both must leave
// the same tree and print the same lines.
WatchedLoad LoadWatched(const std::string& text, bool watched, uint32_t duplicates) {
    return ChangeLogLoad(
        XML_Create, XML_Delete, XML_SetDictionaryHandle, XML_SetPrintCallback, watched, duplicates,
        [&](XML* xml) { return XML_LoadBuffer(xml, text.data(), (uint32_t)text.size()); },
        [](XML*, Dictionary* dict, WatchedLoad& out) { out.Tree = Describe(dict); });
}

TEST(XmlTest, WatchedAndUnwatchedLoadsAgree) {
    const std::string longName(150, 'n');
    const std::string documents[] = {
        "<?xml version=\"1.0\"?><!DOCTYPE r><r a=\"1\" b=\"\" c><x>t</x><y/><x>u</x><z k=\"v\">w</z></r>",
        "<r>lead<b>in</b>tail<c><d>deep &amp; &#233;</d></c><e></e></r>",
        "<r><" + longName + ">long</" + longName + "><" + longName + " q=\"1\"/></r>",
        "<r><s>1</s><s><t>2</t></s><s/><s>3</s></r>",
        "<r><open>text</r>",
        "<a>1</a><a>2</a>",
    };
    for (const std::string& text : documents) {
        for (uint32_t duplicates = 0; duplicates < 2; duplicates++) {
            const WatchedLoad plain = LoadWatched(text, false, duplicates);
            const WatchedLoad watched = LoadWatched(text, true, duplicates);
            EXPECT_EQ(plain.Ok, watched.Ok) << text;
            EXPECT_EQ(plain.Tree, watched.Tree) << text << duplicates;
            EXPECT_EQ(plain.Log.Printed, watched.Log.Printed) << text << duplicates;
            EXPECT_EQ(plain.Logged, watched.Logged) << text << duplicates;
        }
    }
    const WatchedLoad known = LoadWatched("<r a=\"1\"><x>t</x><y/><x>u<v/></x></r>", true, 1);
    EXPECT_EQ(known.Tree, "{\"r\":{\"-a\":\"1\",\"x\":\"t\",\"y\":{},\"x\":{\".text\":\"u\",\"v\":{}}}}");
    EXPECT_EQ(known.Log.Reports, (std::vector<std::string>{"key r -", "key r.-a -", "value r.-a -", "key r.x -", "value r.x -", "key r.y -", "key r.x -", "key r.x.text -", "value r.x.text -", "key r.x.v -"}));
    const WatchedLoad cut = LoadWatched("<r><" + longName + ">long</" + longName + "></r>", false, 1);
    EXPECT_EQ(cut.Logged, "DEBUG - Dictionary - Key exceeds maximum length " + longName + " (150 > 119)\n");
}

} // namespace
