// Tests of the YAML reader and writer: scalar types in block and flow context, the structure of
// documents, error codes and messages, the writer's layout and quoting, and round trips.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/formats/yaml.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "tests/support/change_log.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

// The tree as one line: containers in brackets, scalars as type letter and text
// (N null, B boolean, F number, S string), keys before "=".
void Shape(Dictionary* dict, std::string& out) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (bool first = true; item; Dictionary_ItemGetNext(dict, item, &item), first = false) {
        if (!first) out += ",";
        const char* key = nullptr;
        if (Dictionary_ItemGetKeyPtr(dict, item, &key) && key) out += std::string(key) + "=";
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        uint32_t flag = 0;
        Dictionary* child = nullptr;
        switch (type) {
        case DICTIONARY_TYPE_NULL:
            out += "N";
            break;
        case DICTIONARY_TYPE_BOOLEAN:
            Dictionary_ItemGetBoolean(dict, item, &flag);
            out += flag ? "Btrue" : "Bfalse";
            break;
        case DICTIONARY_TYPE_FLOAT64:
            out += "F" + std::string(text, (size_t)length);
            break;
        case DICTIONARY_TYPE_STRING:
            out += "S'";
            for (int32_t i = 0; i < length; i++) out += text[i] ? std::string(1, text[i]) : "\\0";
            out += "'";
            break;
        default:
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
            out += type == DICTIONARY_TYPE_LIST ? "[" : "{";
            if (child) Shape(child, out);
            out += type == DICTIONARY_TYPE_LIST ? "]" : "}";
        }
    }
}

struct Fixture {
    YAML* yaml = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> printed;
    Fixture() {
        YAML_Create(&yaml);
        Dictionary_Create(&dict);
        YAML_SetDictionaryHandle(yaml, dict);
        YAML_SetPrintCallback(yaml, &printed, KeepLine);
    }
    ~Fixture() {
        YAML_Delete(&yaml);
        Dictionary_Release(&dict);
    }
    int64_t Load(const std::string& text) {
        return YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size());
    }
    uint32_t Error() {
        uint32_t code = 99;
        YAML_GetLastError(yaml, &code);
        return code;
    }
    std::string Tree() {
        std::string out;
        Shape(dict, out);
        return out;
    }
    std::string Save() {
        uint32_t size = 0;
        EXPECT_EQ(YAML_SaveBufferEstimate(yaml, &size), 1);
        std::string out(size, '\0');
        uint32_t length = 0;
        EXPECT_EQ(YAML_SaveBuffer(yaml, out.data(), size, &length), 1);
        out.resize(length);
        return out;
    }
};

struct Case {
    const char* text;
    const char* tree;
};

TEST(Yaml, LoadsDocuments) {
    const Case cases[] = {
        {"a: 1\nb: \"x y\"\nc: [1, two]\nd:\n", "{a=F1,b=S'x y',c=[F1,S'two'],d=N}"},
        {"flag: TRUE\nlist: [TRUE]\n", "{flag=Btrue,list=[S'TRUE']}"},
        {"a: 0x1F\nb: -0xff\nc: 0o17\nd: 1.2.3\ne: +5\nf: [+5, -5, 1.5, null, Null]\n",
         "{a=F0x1F,b=F-0xff,c=S'0o17',d=S'1.2.3',e=F+5,f=[S'+5',F-5,F1.5,N,S'Null']}"},
        // Inside brackets only JSON's own spellings are numbers: hexadecimal is text there.
        {"a: 0x10\nf: [0x10, -0x10, 0X1f, 1e5, {k: 0x10}]\n", "{a=F0x10,f=[S'0x10',S'-0x10',S'0X1f',F1e5,{k=S'0x10'}]}"},
        {"a: null\nb: NULL\nc: False\nd: ~\ne: 12:30\n", "{a=N,b=N,c=Bfalse,d=S'~',e=S'12:30'}"},
        {"a: hello\n  world\nb: 2\n", "{a=S'hello world',b=F2}"},
        {"color: #fff\n", "{color=N}"},
        {"---\na: 1\n", "{a=F1}"},
        // An exponent is a number in either context; a bare or signless-digit exponent is text.
        {"a: 2.5e-1\nb: 1E7\nc: [-1e-7, 2.5e+1, 1e, e5]\nd: +1.e3\n",
         "{a=F2.5e-1,b=F1E7,c=[F-1e-7,F2.5e+1,S'1e',S'e5'],d=F+1.e3}"},
        {"key: value", "{key=S'value'}"},
        // A spelling beyond the double's range has no value a reader could give: it is text.
        {"a: 1e999\nb: -0x1p3\nc: [1e999, 1e-999]\nd: 1e-999\n", "{a=S'1e999',b=S'-0x1p3',c=[S'1e999',F1e-999],d=F1e-999}"},
        {"- a\n- b: 1\n  c: 2\n-\n  - x\n", "[S'a',{b=F1,c=F2},[S'x']]"},
        {"k:\n- a\n- b\nj: 1\n", "{k=[S'a',S'b'],j=F1}"},
        {"a:\n  b:\n    c: 1\n  d: [1, [2, {e: f, g}]]\n", "{a={b={c=F1},d=[F1,[F2,{e=S'f',g=N}]]}}"},
        {"s: 'it''s'\nd: \"\\t\\u00e9\\x41\\U0001F600\\_\\N\\L\\0.\"\n",
         "{s=S'it's',d=S'\t\xC3\xA9\x41\xF0\x9F\x98\x80\xA0\x85\xE2\x80\xA8\\0.'}"},
        {"\"a b\": 1\n'c': 2\n", "{a b=F1,c=F2}"},
        {"a: \"x\n   y\"\n", "{a=S'x y'}"},
        {"a: [1,\n  2]\n", "{a=[F1,F2]}"},
        {"# only\n", ""},
        // Continuation lines stand deeper than the collection holding the scalar.
        {"a: x\n  y\nb: 1\n", "{a=S'x y',b=F1}"},
        {"- a\n b\n", "[S'a b']"},
        // "- " deeper than the sequence holding an open plain scalar is text of it.
        {"- single multiline\n - sequence entry\n", "[S'single multiline - sequence entry']"},
        {"k: v\n  - x\nj: 1\n", "{k=S'v - x',j=F1}"},
        {"top\nlevel\n", "S'top level'"},
        // Escaped blanks before a line break are content; only the bare ones go with the fold.
        {"a: \"x\\t\n  y\"\nb: \"x\\ \t\n  y\"\nc: \"a \\t \n b\"\n", "{a=S'x\t y',b=S'x  y',c=S'a \t b'}"},
        // Compact nested sequences.
        {"- - a\n  - b\n- c\n", "[[S'a',S'b'],S'c']"},
        {"k:\n- - - x\n  - y\n", "{k=[[[S'x'],S'y']]}"},
        {"- - k: v\n    j: w\n- -x\n", "[[{k=S'v',j=S'w'}],S'-x']"},
        // The last line may lack its line break, whatever it holds.
        {"v: 5 # c", "{v=F5}"},
        {"a: 1\n# c", "{a=F1}"},
        {"- a", "[S'a']"},
        {"- a\n-", "[S'a',N]"},
        {"a:", "{a=N}"},
        {"'a':", "{a=N}"},
        {"a: [1] # c", "{a=[F1]}"},
        {"---", ""},
        // A reserved indicator inside a scalar, or starting a line that continues one, is text.
        {"a: b@c`d\n", "{a=S'b@c`d'}"},
        {"a: x\n  @y\n", "{a=S'x @y'}"},
    };
    for (const Case& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 1) << c.text;
        EXPECT_EQ(f.Error(), 0u) << c.text;
        EXPECT_EQ(f.Tree(), c.tree) << c.text;
    }
}

// Every spelling typed as a number reads back through every getter as the value it spells.
TEST(Yaml, NumbersReadBackAsTheirValue) {
    Fixture f;
    ASSERT_EQ(f.Load("p: +5\ne: +1e5\nh: +0x10\nn: -0x10\nw: 0x10000000000000001\nd: 1.e5\nf: .5e3\nt: 5.\n"
                     "i: 9007199254740993\nl: [-2.5e-06, 1e+21]\n"),
              1);
    Dictionary* root = nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(f.dict, &item);
    Dictionary_ItemGetDictionaryHandle(f.dict, item, &root);
    ASSERT_NE(root, nullptr);
    const struct { const char* key; double real; int64_t whole; } cases[] = {
        {"p", 5, 5}, {"e", 1e5, 100000}, {"h", 16, 16}, {"n", -16, -16},
        {"w", 18446744073709551617.0, INT64_MAX}, {"d", 1e5, 100000}, {"f", 500, 500}, {"t", 5, 5},
        {"i", 9007199254740992.0, 9007199254740993}, {"l[0]", -2.5e-6, 0}, {"l[1]", 1e21, INT64_MAX},
    };
    for (const auto& c : cases) {
        double real = 7;
        int64_t whole = 7;
        EXPECT_EQ(Dictionary_GetFloat64ByPath(root, c.key, &real), 1) << c.key;
        EXPECT_EQ(real, c.real) << c.key;
        EXPECT_EQ(Dictionary_GetInt64ByPath(root, c.key, &whole), 1) << c.key;
        EXPECT_EQ(whole, c.whole) << c.key;
    }
}

struct Failure {
    const char* text;
    uint32_t code;
    const char* message;
    const char* tree; // what stays
};

TEST(Yaml, StopsWithCodes) {
    const std::string key318(318, 'k'), key319(319, 'k');
    const Failure cases[] = {
        {"a: 1\n---\nb: 2\n", 1, "", "{a=F1}"},
        {"a: 1\n...\n", 1, "", "{a=F1}"},
        {"---\n---\n", 1, "", ""},
        {"a: [1 # c", 3, "Unexpected end of stream [1:10]", "{a=[F1]}"},
        {"a: \"x", 3, "Unexpected end of stream", "{}"},
        {"a: [1, 2", 3, "Unexpected end of stream", "{a=[F1]}"},
        {"a: \"\\q\"\n", 5, "Unexpected escape character in string [q @ 1:6]", "{}"},
        {"a: \"\\u12G4\"\n", 5, "Unexpected Unicode hex characters [12G4 @ 1:6]", "{}"},
        {"a: \"\\UFFFFFFFF\"\n", 5, "Unexpected Unicode character value [\\uffffffff @ 1:6]", "{}"},
        {"-x\n", 6, "Unexpected character parsing block sequence [x @ 1:2]", ""},
        {"a: 1\n  b: 2\n", 6, "Unexpected node", "{a=F1}"},
        {"a: \xff\n", 6, "Invalid UTF-8 byte [0xFF @ 1:4]", "{}"},
        {"a: \xc3", 6, "Invalid UTF-8 byte", "{}"},
        {"a: \xed\xa0\x80\n", 6, "Invalid UTF-8 byte", "{}"}, // an encoded surrogate
        {"--- x\n", 6, "Unexpected character after document marker [x @ 1:5]", ""},
        // A line at the indentation of the collection (or lower) neither continues a value nor
        // gives one: a key that lost its colon must not change its neighbour.
        {"k: 1\nnext\n", 6, "Unexpected node [@ 2:1]", "{k=F1}"},
        {"a: 1\nb 2\nc: 3\n", 6, "Unexpected node [@ 2:1]", "{a=F1}"},
        {"a:\n  b: x\n  c\n", 6, "Unexpected node [@ 3:3]", "{a={b=S'x'}}"},
        {"k:\nvalue\n", 6, "Unexpected node [@ 2:1]", "{}"},
        {"- a\n- b\nc\n", 6, "Unexpected node [@ 3:1]", "[S'a',S'b']"},
        {"k: v\n# c\n  - x\n", 6, "Unexpected node [@ 3:4]", "{k=S'v'}"},
        {"k: - a\n   - b\n", 6, "Unexpected node [@ 2:5]", "{k=S'- a'}"},
        // Keys are C strings: one holding a NUL is refused, not cut.
        {"a: 1\n\"a\\0b\": 2\n", 6, "Map key holds a NUL character [a @ 2:8]", "{a=F1}"},
        {"m: {\"x\\x00\": 1}\n", 6, "Map key holds a NUL character [x @ 1:13]", "{m={}}"},
        // A comment ends a plain scalar: the next line cannot continue it.
        {"a: x\n# note\n  y\n", 6, "Unexpected node [@ 3:3]", "{a=S'x'}"},
        {"a: x # note\n  y\n", 6, "Unexpected node [@ 2:3]", "{a=S'x'}"},
        // A quoted key stands on one line; a tab gives a nested dash no indentation.
        {"\"a\nb\": 1\n", 6, "Unexpected node [@ 1:1]", ""},
        {"- \t- a\n", 6, "Unexpected node [@ 1:4]", "[]"},
        // No node starts with a reserved indicator: the character is not dropped to read on.
        {"v: @-3.14\n", 6, " Invalid use of Reserved Indicator [@ @ 1:4]", "{}"},
        {"`abc\n", 6, " Invalid use of Reserved Indicator [` @ 1:1]", ""},
        {"a: 1\n@b: 2\n", 6, " Invalid use of Reserved Indicator [@ @ 2:1]", "{a=F1}"},
        {"- x\n- `y\n", 6, " Invalid use of Reserved Indicator [` @ 2:3]", "[S'x']"},
        {"a: [1, @x]\n", 6, " Invalid use of Reserved Indicator [@ @ 1:8]", "{a=[F1]}"},
        {"a: {@k: 1}\n", 6, " Invalid use of Reserved Indicator [@ @ 1:5]", "{a={}}"},
    };
    for (const Failure& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 0) << c.text;
        EXPECT_EQ(f.Error(), c.code) << c.text;
        EXPECT_TRUE(HasLine(f.printed, c.message))
            << c.text << " / " << (f.printed.empty() ? "" : f.printed[0]);
        EXPECT_EQ(f.Tree(), c.tree) << c.text;
    }
    Fixture f;
    EXPECT_EQ(f.Load(""), 0);
    EXPECT_EQ(f.Error(), 2u);
    EXPECT_EQ(f.Load(key318 + ": 1\n"), 1);
    EXPECT_EQ(f.Load(key319 + ": 1\n"), 0);
    EXPECT_TRUE(HasLine(f.printed, "Map key exceeded length limit [" + key319 + " @ 1:1]"));
}

TEST(Yaml, LogsAndGoesOn) {
    const Failure cases[] = {
        {"--x\na: 1\n", 0, "Unexpected character in document directive [x @ 1:3]", "{a=F1}"},
    };
    for (const Failure& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 1) << c.text;
        EXPECT_TRUE(HasLine(f.printed, c.message)) << c.text;
        EXPECT_EQ(f.Tree(), c.tree) << c.text;
    }
}

TEST(Yaml, NestingIsBounded) {
    for (int32_t depth : {31, 32, 100000}) {
        Fixture f;
        std::string flow =
            "a: " + std::string((size_t)depth - 1, '[') + std::string((size_t)depth - 1, ']') + "\n";
        std::string block;
        for (int32_t i = 0; i < depth && i < 2000; i++) block += std::string((size_t)i * 2, ' ') + "k:\n";
        EXPECT_EQ(f.Load(flow), depth <= 31 ? 1 : 0) << depth;
        EXPECT_EQ(f.Error(), depth <= 31 ? 0u : 4u) << depth;
        if (depth > 31) {
            EXPECT_TRUE(HasLine(f.printed, "Unknown field type [[ @ 1:"));
        }
        EXPECT_EQ(f.Load(block), depth <= 31 ? 1 : 0) << depth;
        EXPECT_EQ(f.Error(), depth <= 31 ? 0u : 4u) << depth;
        EXPECT_EQ(f.Load("a: " + std::string((size_t)depth, '"')), 0);
    }
}

TEST(Yaml, TruncationInsideATokenFails) {
    const std::string text = "a: 1\nb:\n  - x\n  - {c: \"d e\", f: [1, 2]}\n  -\n    g: 'h'\ni: j\n";
    char quote = 0;
    int32_t brackets = 0;
    for (size_t n = 1; n < text.size(); n++) {
        const char c = text[n - 1];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[' || c == '{') {
            brackets++;
        } else if (c == ']' || c == '}') {
            brackets--;
        }
        Fixture f;
        const int64_t loaded = f.Load(text.substr(0, n));
        EXPECT_EQ(loaded == 1, f.Error() == 0) << n;
        if (quote || brackets) {
            EXPECT_EQ(f.Error(), 3u) << n;
        }
    }
}

TEST(Yaml, WritesBlockLayout) {
    Fixture f;
    Dictionary* list = nullptr;
    Dictionary* inner = nullptr;
    Dictionary_AddString(f.dict, "name", "a b", nullptr);
    Dictionary_AddList(f.dict, "list", &list, nullptr);
    Dictionary_AddString(list, nullptr, "x", nullptr);
    Dictionary_AddDictionary(list, nullptr, &inner, nullptr);
    Dictionary_AddString(inner, "k", "v", nullptr);
    EXPECT_EQ(f.Save(), "name: a b\nlist:\n  - x\n  -\n    k: v\n");
}

TEST(Yaml, QuotesWhatWouldReadBackDifferently) {
    const Case cases[] = {
        {"true", "\"true\""}, {"12", "\"12\""},      {"null", "\"null\""},
        {"~", "\"~\""},       {" a", "\" a\""},      {"a ", "\"a \""},
        {"it's", "\"it's\""}, {"q\"", "\"q\\\"\""},  {"\xC3\xA9", "\"\\u00e9\""},
        {"a: b", "\"a: b\""}, {"- x", "\"- x\""},    {"#x", "\"#x\""},
        {"", "\"\""},         {"a\nb", "\"a\\nb\""}, {"plain text", "plain text"},
        {"a#b", "\"a#b\""},   {"a #b", "\"a #b\""},
        {"1e5", "\"1e5\""},
    };
    for (const Case& c : cases) {
        Fixture f;
        Dictionary_AddString(f.dict, "k", c.text, nullptr);
        EXPECT_EQ(f.Save(), "k: " + std::string(c.tree) + "\n") << c.text;
        const std::string before = f.Tree();
        EXPECT_EQ(f.Load(f.Save()), 1) << c.text;
        EXPECT_EQ(f.Tree(), "{" + before + "}") << c.text;
    }
}

TEST(Yaml, RoundTrips) {
    const char* docs[] = {
        "a: 1\nb: \"x y\"\nc: [1, two, [], {}]\nd:\ne: {x: 1, y: [TRUE, null]}\n",
        "- \"\\0\\_\\N\\U0001F600 \\\\ '\"\n- - a\n-\n  - [b, 'c d']\n- k: v\n  \"key: \\\"q\\\"\": w\n",
        "a: b c d\n  e f\n\"\": empty key\n",
        "scalar at the top\n",
        "\".hidden\": 1\n..: 2\n",
    };
    for (const char* doc : docs) {
        Fixture f;
        ASSERT_EQ(f.Load(doc), 1) << doc;
        const std::string tree = f.Tree();
        const std::string saved = f.Save();
        EXPECT_EQ(f.Load(saved), 1) << saved;
        EXPECT_EQ(f.Tree(), tree) << saved;
    }
}

TEST(Yaml, StreamsReadInBlocksGiveTheSameTree) {
    std::string text = "list:\n";
    for (int32_t i = 0; text.size() < 20000; i++)
        text += "  - k" + std::to_string(i) + ": \xC3\xA9 \"\xE2\x82\xAC\"\n";
    Fixture f;
    ASSERT_EQ(f.Load(text), 1);
    const std::string tree = f.Tree();
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetPointer(ms, text.data(), (uint32_t)text.size(), (uint32_t)text.size());
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    EXPECT_EQ(YAML_LoadStreamBuffered(f.yaml, stream), 1);
    MemoryStream_Delete(&ms);
    EXPECT_EQ(f.Tree(), tree);
}

TEST(Yaml, Files) {
    TempDir dir;
    const std::string path = dir.path() + "/a.yaml";
    Fixture f;
    Dictionary_AddString(f.dict, "k", "v", nullptr);
    EXPECT_EQ(YAML_SaveFile(f.yaml, path.c_str()), 1);
    EXPECT_EQ(YAML_LoadFile(f.yaml, path.c_str()), 1);
    EXPECT_EQ(f.Tree(), "{k=S'v'}");
    EXPECT_EQ(YAML_LoadFile(f.yaml, (dir.path() + "/none").c_str()), 0);
    EXPECT_TRUE(HasLine(f.printed, "Unable to open file (" + dir.path() + "/none)"));
}

// A load into a Dictionary whose changes are watched (or whose duplicates are refused) takes the
// general path for every item; one that nobody watches stores items in one step. Both must leave
// the same tree, save the same text and print the same lines.
WatchedLoad LoadWatched(const std::string& text, bool watched, uint32_t duplicates) {
    return ChangeLogLoad(
        YAML_Create, YAML_Delete, YAML_SetDictionaryHandle, YAML_SetPrintCallback, watched, duplicates,
        [&](YAML* yaml) { return YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size()); },
        [](YAML* yaml, Dictionary* dict, WatchedLoad& out) {
            out.Tree = DictionaryAsJson(dict);
            uint32_t size = 0;
            YAML_SaveBufferEstimate(yaml, &size);
            std::string saved(size, '\0');
            uint32_t length = 0;
            if (size && YAML_SaveBuffer(yaml, saved.data(), size, &length)) out.Saved.assign(saved.data(), length);
        });
}

TEST(Yaml, WatchedAndUnwatchedLoadsAgree) {
    const std::string longKey(150, 'k');
    const std::string documents[] = {
        "a: 1\nb: [x, true, null, -2.5]\nc:\n  d: 'q''s'\n  e:\n  f: \"t\\tab\"\ng: True\nh: FALSE\n",
        ".hidden: 1\n\"#mark\": 2\nempty: ''\nflow: {k: v, n: 3, m: }\n",
        longKey + ": long\n" + longKey + "x: longer\n",
        "dup: 1\ndup: [2]\ndup:\n  inner: 3\nother: 4\n",
        "- one\n- - nested\n  - 2\n- k: v\n- \n",
        "a: [1, 2\n",
        "a: 1\n b: 2\n",
    };
    for (const std::string& text : documents) {
        for (uint32_t duplicates = 0; duplicates < 2; duplicates++) {
            const WatchedLoad plain = LoadWatched(text, false, duplicates);
            const WatchedLoad watched = LoadWatched(text, true, duplicates);
            EXPECT_EQ(plain.Ok, watched.Ok) << text;
            EXPECT_EQ(plain.Tree, watched.Tree) << text << duplicates;
            EXPECT_EQ(plain.Saved, watched.Saved) << text << duplicates;
            EXPECT_EQ(plain.Log.Printed, watched.Log.Printed) << text << duplicates;
            EXPECT_EQ(plain.Logged, watched.Logged) << text << duplicates;
        }
    }
    const WatchedLoad known = LoadWatched("a: x\nb: [1, true]\nc:\n  d: 'q'\n", true, 1);
    EXPECT_EQ(known.Tree, "{\"a\":\"x\",\"b\":[1,true],\"c\":{\"d\":\"q\"}}");
    EXPECT_EQ(known.Log.Reports, (std::vector<std::string>{"key [0].a -", "value [0].a -", "key [0].b -", "value [0].b[0] -", "value [0].b[1] false", "key [0].c -", "key [0].c.d -", "value [0].c.d -"}));
    const WatchedLoad cut = LoadWatched(longKey + ": long\n", false, 1);
    EXPECT_EQ(cut.Logged, "DEBUG - Dictionary - Key exceeds maximum length " + longKey + " (150 > 119)\n");
}

} // namespace
