// Tests of XML property lists: the element-to-type mapping, the exact messages of unsupported and
// malformed files, typed getters and setters, saving (reals exact, empty strings) and files written
// by Python's plistlib.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/runtime/dictionary.h"
#include "tests/support/change_log.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/scoped_locale.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Describe(Dictionary* dict) {
    return DictionaryAsJson(dict);
}

const char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";

struct Fixture {
    TempDir dir;
    Plist* plist = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> printed;
    Fixture() {
        Plist_Create(&plist);
        Dictionary_Create(&dict);
        Plist_SetDictionaryHandle(plist, dict);
        Plist_SetPrintCallback(plist, &printed, KeepLine);
    }
    ~Fixture() {
        Plist_Delete(&plist);
        Dictionary_Release(&dict);
    }
    std::string Path() { return dir.file("a.plist"); }
    int64_t LoadBody(const std::string& body) {
        EXPECT_TRUE(WriteText(Path(), kHead + body + "</plist>\n"));
        return Plist_Load(plist, Path().c_str());
    }
    std::string Value(const char* path) {
        char text[256];
        return Plist_GetValue(plist, path, text, sizeof(text)) ? text : "<none>";
    }
};

TEST(PlistTest, ElementsMapOntoTypedItems) {
    Fixture f;
    ASSERT_EQ(f.LoadBody("<dict><key>a</key><string>x</string><key>n</key><integer>42</integer>"
                         "<key>r</key><real>0.1</real><key>t</key><true/><key>f</key><false/>"
                         "<key>e</key><string/><key>l</key><array><integer>1</integer><string>s</string></array>"
                         "<key>d</key><dict><key>in</key><STRING>v</STRING></dict></dict>"),
              1);
    EXPECT_EQ(Describe(f.dict), "{\"a\":\"x\",\"n\":42,\"r\":0.1,\"t\":true,\"f\":false,\"e\":\"\","
                                "\"l\":[1,\"s\"],\"d\":{\"in\":\"v\"}}");
    EXPECT_EQ(f.Value("a"), "x");
    EXPECT_EQ(f.Value("d\\in"), "v");
    int64_t n = 0;
    EXPECT_EQ(Plist_GetValueInt64(f.plist, "n", &n), 1);
    EXPECT_EQ(n, 42);
    double r = 0;
    EXPECT_EQ(Plist_GetValueFloat64(f.plist, "r", &r), 1);
    EXPECT_EQ(r, 0.1);
    uint32_t t = 0;
    EXPECT_EQ(Plist_GetValueBoolean(f.plist, "t", &t), 1);
    EXPECT_EQ(t, 1u);
    EXPECT_EQ(Plist_HasKey(f.plist, "l"), 1);
    EXPECT_EQ(Plist_HasKey(f.plist, "zz"), 0);
    EXPECT_EQ(Plist_GetValueBoolean(f.plist, "zz", &t), 0);
}

struct Bad {
    const char* Body;
    const char* Message; // besides "Error while trying to parse plist"
};

TEST(PlistTest, UnsupportedOrMalformedValuesFailTheLoad) {
    const Bad cases[] = {
        {"<dict><key>d</key><date>2020-01-01T00:00:00Z</date></dict>", "Unsupported data type encountered [date]"},
        {"<dict><key>d</key><data>AAAA</data></dict>", "Unsupported data type encountered [data]"},
        {"<dict><key>n</key><integer/></dict>", ""},
        {"<dict><key>n</key><integer>12x</integer></dict>", ""},
        {"<dict><key>n</key><integer>99999999999999999999</integer></dict>", ""},
        {"<dict><key>r</key><real>abc</real></dict>", ""},
        {"<dict><key>a</key><array>x</array></dict>", ""},
        {"<dict><key>a</key></dict>", ""},
    };
    for (const Bad& c : cases) {
        Fixture f;
        EXPECT_EQ(f.LoadBody(c.Body), 0) << c.Body;
        EXPECT_TRUE(HasLine(f.printed, "Error while trying to parse plist")) << c.Body;
        EXPECT_TRUE(HasLine(f.printed, c.Message)) << c.Body;
    }
    // A key holding a NUL would be cut at it: the document's reference to it is refused.
    for (const char* body : {"<dict><key>a&#0;b</key><string>x</string></dict>",
                             "<dict><key>a&#x0;b</key><string>x</string></dict>"}) {
        Fixture f;
        EXPECT_EQ(f.LoadBody(body), 0) << body;
    }
}

TEST(PlistTest, MissingPlistElementOrFile) {
    Fixture f;
    ASSERT_TRUE(WriteText(f.Path(), "<root/>"));
    EXPECT_EQ(Plist_Load(f.plist, f.Path().c_str()), 1);
    ASSERT_EQ(f.printed.size(), 1u);
    EXPECT_TRUE(HasLine(f.printed, "Failed to find plist doctype [" + f.Path() + "]"));
    EXPECT_EQ(Describe(f.dict), "");
    EXPECT_EQ(Plist_Load(f.plist, f.dir.file("none").c_str()), 0);
    EXPECT_TRUE(HasLine(f.printed, "Unable to open file (" + f.dir.file("none") + ")"));
    ASSERT_TRUE(WriteText(f.Path(), "<plist><dict><key>a</key>"));
    EXPECT_EQ(Plist_Load(f.plist, f.Path().c_str()), 0);
}

// Reals are written with as many digits as reading back the same double takes: up to 17.
TEST(PlistTest, RealsNeedingSeventeenDigitsReadBackExactly) {
    const struct {
        double Value;
        const char* Text;
    } rows[] = {{0.1 + 0.2, "0.30000000000000004"}, {1.7976931348623157e308, "1.7976931348623157e+308"}};
    for (const auto& row : rows) {
        Fixture f;
        Plist_SetValueFloat64(f.plist, "r", row.Value);
        ASSERT_EQ(Plist_Save(f.plist, f.Path().c_str()), 1);
        EXPECT_NE(ReadFile(f.Path()).find(std::string("<real>") + row.Text + "</real>"), std::string::npos) << row.Text;
        Fixture back;
        ASSERT_EQ(Plist_Load(back.plist, f.Path().c_str()), 1);
        double value = 0;
        ASSERT_EQ(Plist_GetValueFloat64(back.plist, "r", &value), 1);
        EXPECT_EQ(value, row.Value) << row.Text;
    }
}

// Where the decimal mark is a comma, reals still read and write with a point.
TEST(PlistTest, RealsKeepTheirPointWhereTheDecimalMarkIsAComma) {
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    Fixture f;
    ASSERT_EQ(f.LoadBody("<dict><key>q</key><real>0.25</real><key>e</key><real>2.5e-1</real></dict>"), 1);
    for (const char* key : {"q", "e"}) {
        double value = 0;
        EXPECT_EQ(Plist_GetValueFloat64(f.plist, key, &value), 1) << key;
        EXPECT_EQ(value, 0.25) << key;
    }
    Plist_SetValueFloat64(f.plist, "r", 0.1 + 0.2);
    ASSERT_EQ(Plist_Save(f.plist, f.Path().c_str()), 1);
    const std::string saved = ReadFile(f.Path());
    EXPECT_NE(saved.find("<real>0.25</real>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<real>0.30000000000000004</real>"), std::string::npos) << saved;
    EXPECT_EQ(f.LoadBody("<dict><key>c</key><real>0,25</real></dict>"), 0);
}

// Element names fold only A-Z: a Turkish locale, where 'I' is no capital 'i', changes nothing.
TEST(PlistTest, ElementNamesFoldTheSameInATurkishLocale) {
    USE_LOCALE_OR_SKIP(turkish, "tr_TR.UTF-8");
    Fixture f;
    ASSERT_EQ(f.LoadBody("<DICT><KEY>i</KEY><INTEGER>7</INTEGER><KEY>s</KEY><STRING>x</STRING></DICT>"), 1);
    EXPECT_EQ(Describe(f.dict), R"({"i":7,"s":"x"})");
}

TEST(PlistTest, SavesIndentedWithExactRealsAndEmptyStrings) {
    Fixture f;
    ASSERT_EQ(f.LoadBody("<dict><key>a</key><string>x &amp; &lt;y&gt;</string></dict>"), 1);
    Plist_SetValueFloat64(f.plist, "pi", 3.14159265);
    Plist_SetValueFloat64(f.plist, "third", 1.0 / 3);
    Plist_SetValue(f.plist, "empty", "");
    Plist_SetValueBoolean(f.plist, "b", 1);
    Plist_SetValueInt64(f.plist, "a", -7);
    ASSERT_EQ(Plist_Save(f.plist, f.Path().c_str()), 1);
    EXPECT_EQ(ReadFile(f.Path()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n\n"
              "<plist version=\"1.0\">\n"
              "    <dict>\n"
              "        <key>a</key>\n"
              "        <integer>-7</integer>\n"
              "        <key>pi</key>\n"
              "        <real>3.14159265</real>\n"
              "        <key>third</key>\n"
              "        <real>0.3333333333333333</real>\n"
              "        <key>empty</key>\n"
              "        <string></string>\n"
              "        <key>b</key>\n"
              "        <true>\n"
              "        </true>\n"
              "    </dict>\n"
              "</plist>\n");
    const std::string before = Describe(f.dict);
    Plist_Reset(f.plist);
    ASSERT_EQ(Plist_Load(f.plist, f.Path().c_str()), 1);
    EXPECT_EQ(Describe(f.dict), before);
    double third = 0;
    Plist_GetValueFloat64(f.plist, "third", &third);
    EXPECT_EQ(third, 1.0 / 3);
}

// A setter makes a missing path with its parents, so the value reads back by the same path; a path
// through a value that is not a dictionary fails and changes nothing.
TEST(PlistTest, SettersMakeMissingPathsAndRefusePathsThroughValues) {
    Fixture f;
    ASSERT_EQ(f.LoadBody("<dict><key>s</key><string>x</string><key>d</key><dict/></dict>"), 1);
    EXPECT_EQ(Plist_SetValue(f.plist, "d.new", "n"), 1);
    EXPECT_EQ(Plist_SetValueInt64(f.plist, "e.f.g", 5), 1);
    EXPECT_EQ(f.Value("d.new"), "n");
    const std::string before = Describe(f.dict);
    EXPECT_EQ(before, "{\"s\":\"x\",\"d\":{\"new\":\"n\"},\"e\":{\"f\":{\"g\":5}}}");
    EXPECT_EQ(Plist_SetValue(f.plist, "s.x", "y"), 0);
    EXPECT_EQ(Plist_SetValueBoolean(f.plist, "s.x", 1), 0);
    EXPECT_EQ(Plist_SetValueInt64(f.plist, "e.f.g.h", 1), 0);
    EXPECT_EQ(Plist_SetValueFloat64(f.plist, "s.x", 1.5), 0);
    EXPECT_EQ(Describe(f.dict), before);
}

TEST(PlistTest, NullItemsCannotBeSaved) {
    Fixture f;
    Dictionary* root = nullptr;
    Dictionary_AddDictionary(f.dict, nullptr, &root, nullptr);
    Dictionary_AddNull(root, "n", nullptr);
    EXPECT_EQ(Plist_Save(f.plist, f.Path().c_str()), 0);
    ASSERT_EQ(f.printed.size(), 1u);
    EXPECT_TRUE(HasLine(f.printed, "Unsupported data type encountered [1]"));
}

TEST(PlistTest, ReadsWhatPythonWrites) {
    if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 absent";
    Fixture f;
    const std::string script =
        "import plistlib\n"
        "v = {'s': 'a<b>&\"c\\'', 'e': '', 'i': -9007199254740993, 'r': 0.1, 'g': 1e300, 't': True,\n"
        "     'f': False, 'l': [1, 'x', [2.5], {}], 'd': {'k': 'v', 'u': '\\u00e9\\u20ac'}}\n"
        "open('" + f.Path() + "', 'wb').write(plistlib.dumps(v, sort_keys=False))\n";
    ASSERT_TRUE(WriteText(f.dir.file("w.py"), script));
    ASSERT_EQ(std::system(("python3 " + f.dir.file("w.py")).c_str()), 0);
    ASSERT_EQ(Plist_Load(f.plist, f.Path().c_str()), 1);
    EXPECT_EQ(Describe(f.dict), "{\"s\":\"a<b>&\\\"c'\",\"e\":\"\",\"i\":-9007199254740993,\"r\":0.1,\"g\":1e+300,"
                                "\"t\":true,\"f\":false,\"l\":[1,\"x\",[2.5],{}],"
                                "\"d\":{\"k\":\"v\",\"u\":\"\\u00E9\\u20AC\"}}");
    double g = 0;
    Plist_GetValueFloat64(f.plist, "g", &g);
    EXPECT_EQ(g, 1e300);
    // And what we write, Python reads back to the same values.
    ASSERT_EQ(Plist_Save(f.plist, f.Path().c_str()), 1);
    const std::string check =
        "import plistlib, sys\n"
        "v = plistlib.loads(open('" + f.Path() + "', 'rb').read())\n"
        "sys.exit(0 if v == {'s': 'a<b>&\"c\\'', 'e': '', 'i': -9007199254740993, 'r': 0.1, 'g': 1e300,\n"
        "  't': True, 'f': False, 'l': [1, 'x', [2.5], {}], 'd': {'k': 'v', 'u': '\\u00e9\\u20ac'}} else 1)\n";
    ASSERT_TRUE(WriteText(f.dir.file("r.py"), check));
    EXPECT_EQ(std::system(("python3 " + f.dir.file("r.py")).c_str()), 0);
}

// Inside a property list the text of keys and strings is data: blanks, tabs and line breaks at
// its ends stay, an empty key is a key, and numbers may stand between blanks. Files come from
// plistlib, and what we save plistlib reads back to the same values.
TEST(PlistTest, KeysAndStringsKeepTheirTextExactlyBothWays) {
    if (std::system("/usr/bin/python3 -c 'import plistlib' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 absent";
    Fixture f;
    const std::string value =
        "{' lead': '  two blanks', 'trail ': 'tab\\t', '\\tkey\\n': '\\n line \\n', '': 'empty key',\n"
        " 'e': '', 'ws': ' \\t\\n ', 'n': {' in ': [' a ', '', 3, 2.5, True, {'': ''}], 'z': False},\n"
        " 'i': 7, 'r': -0.125}";
    ASSERT_TRUE(WriteText(f.dir.file("w.py"), "import plistlib\nv = " + value + "\nopen('" + f.Path() +
                                                   "', 'wb').write(plistlib.dumps(v, sort_keys=False))\n"));
    ASSERT_EQ(std::system(("/usr/bin/python3 " + f.dir.file("w.py")).c_str()), 0);
    ASSERT_EQ(Plist_Load(f.plist, f.Path().c_str()), 1) << ReadFile(f.Path());
    EXPECT_EQ(Describe(f.dict), "{\" lead\":\"  two blanks\",\"trail \":\"tab\\t\",\"\\tkey\\n\":\"\\n line \\n\","
                                "\"\":\"empty key\",\"e\":\"\",\"ws\":\" \\t\\n \","
                                "\"n\":{\" in \":[\" a \",\"\",3,2.5,true,{\"\":\"\"}],\"z\":false},\"i\":7,\"r\":-0.125}");
    EXPECT_EQ(f.Value("ws"), " \t\n ");
    ASSERT_EQ(Plist_Save(f.plist, f.Path().c_str()), 1);
    ASSERT_TRUE(WriteText(f.dir.file("r.py"), "import plistlib, sys\nv = plistlib.loads(open('" + f.Path() +
                                                   "', 'rb').read())\nsys.exit(0 if v == " + value + " else 1)\n"));
    EXPECT_EQ(std::system(("/usr/bin/python3 " + f.dir.file("r.py")).c_str()), 0) << ReadFile(f.Path());
    // Our own reader sees the same again, and "<key/>" is an empty key too.
    Fixture back;
    ASSERT_EQ(Plist_Load(back.plist, f.Path().c_str()), 1);
    EXPECT_EQ(Describe(back.dict), Describe(f.dict));
    // A carriage return, which plistlib itself never writes, reaches it as one.
    ASSERT_EQ(Plist_SetValue(back.plist, "cr", "a\rb"), 1);
    ASSERT_EQ(Plist_Save(back.plist, f.Path().c_str()), 1);
    ASSERT_TRUE(WriteText(f.dir.file("cr.py"), "import plistlib, sys\nv = plistlib.loads(open('" + f.Path() +
                                                    "', 'rb').read())\nsys.exit(0 if v['cr'] == 'a\\rb' else 1)\n"));
    EXPECT_EQ(std::system(("/usr/bin/python3 " + f.dir.file("cr.py")).c_str()), 0) << ReadFile(f.Path());
    Fixture empty;
    ASSERT_EQ(empty.LoadBody("<dict><key/><string> x </string><key>n</key><integer> 5\n</integer>"
                             "<key>d</key><dict>\n  </dict><key>a</key><array>\n</array></dict>"),
              1);
    EXPECT_EQ(Describe(empty.dict), "{\"\":\" x \",\"n\":5,\"d\":{},\"a\":[]}");
}

// A load into a Dictionary whose changes are watched (or whose duplicates are refused) takes the
// general path for every item; one that nobody watches stores items in one step. Both must leave
// the same tree and print the same lines.
WatchedLoad LoadWatched(const TempDir& dir, const std::string& body, bool watched, uint32_t duplicates) {
    const std::string path = dir.file("w.plist");
    EXPECT_TRUE(WriteText(path, kHead + body + "</plist>\n"));
    return ChangeLogLoad(
        Plist_Create, Plist_Delete, Plist_SetDictionaryHandle, Plist_SetPrintCallback, watched, duplicates,
        [&](Plist* plist) { return Plist_Load(plist, path.c_str()); },
        [](Plist*, Dictionary* dict, WatchedLoad& out) { out.Tree = Describe(dict); });
}

TEST(PlistTest, WatchedAndUnwatchedLoadsAgree) {
    TempDir dir;
    const std::string longKey(150, 'k');
    const std::string bodies[] = {
        "<dict><key>s</key><string>x</string><key>e</key><string/><key>n</key><integer>-42</integer>"
        "<key>r</key><real>0.1</real><key>t</key><TRUE/><key>f</key><false/>"
        "<key>l</key><array><integer>1</integer><array/><dict><key>in</key><string>v</string></dict></array>"
        "<key>d</key><dict/></dict>",
        "<dict><key>.dot</key><string>p</string><key>#hash</key><integer>1</integer></dict>",
        "<dict><key>" + longKey + "</key><string>long</string><key>" + longKey + "x</key><true/></dict>",
        "<dict><key>dup</key><string>a</string><key>dup</key><array><integer>2</integer></array>"
        "<key>dup</key><dict><key>i</key><real>1.5</real></dict><key>dup</key><false/></dict>",
        "<array><string>top</string><integer>7</integer></array>",
        "<dict><key>bad</key><integer>x</integer></dict>",
    };
    for (const std::string& body : bodies) {
        for (uint32_t duplicates = 0; duplicates < 2; duplicates++) {
            const WatchedLoad plain = LoadWatched(dir, body, false, duplicates);
            const WatchedLoad watched = LoadWatched(dir, body, true, duplicates);
            EXPECT_EQ(plain.Ok, watched.Ok) << body;
            EXPECT_EQ(plain.Tree, watched.Tree) << body << duplicates;
            EXPECT_EQ(plain.Log.Printed, watched.Log.Printed) << body << duplicates;
            EXPECT_EQ(plain.Logged, watched.Logged) << body << duplicates;
        }
    }
    const WatchedLoad known = LoadWatched(
        dir, "<dict><key>s</key><string>x</string><key>n</key><integer>3</integer><key>t</key><true/></dict>", true, 1);
    EXPECT_EQ(known.Tree, "{\"s\":\"x\",\"n\":3,\"t\":true}");
    EXPECT_EQ(known.Log.Reports, (std::vector<std::string>{"key [0].s -", "value [0].s -", "key [0].n -", "value [0].n -", "key [0].t -", "value [0].t false"}));
    const WatchedLoad cut = LoadWatched(dir, "<dict><key>" + longKey + "</key><string>long</string></dict>", false, 1);
    EXPECT_EQ(cut.Logged, "DEBUG - Dictionary - Key exceeds maximum length " + longKey + " (150 > 119)\n");
}

} // namespace
