// The YAML reader beside libyaml (through python3-yaml, when installed) on documents covering every
// rule of the accepted subset: both must give the same values, and libyaml must read what our
// writer makes of them as the same values again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"
#include "tests/support/temp_dir.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

void JsonText(const char* text, int32_t length, std::string& out) {
    out += '"';
    for (int32_t i = 0; i < length; i++) {
        const unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\u%04x", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    out += '"';
}

// A number as the reader keeps it (decimal or "0x" hexadecimal with a sign) in JSON.
std::string Number(const std::string& text) {
    const size_t sign = text[0] == '-' || text[0] == '+' ? 1 : 0;
    double value = 0;
    if (text.size() > sign + 1 && text[sign] == '0' && (text[sign + 1] | 0x20) == 'x')
        value = (double)strtoll(text.c_str() + sign + 2, nullptr, 16) * (text[0] == '-' ? -1 : 1);
    else
        value = strtod(text.c_str(), nullptr);
    char out[40];
    snprintf(out, sizeof(out), "%.17g", value);
    return out;
}

void Json(Dictionary* dict, bool list, std::string& out) {
    out += list ? '[' : '{';
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (bool first = true; item; Dictionary_ItemGetNext(dict, item, &item), first = false) {
        if (!first) out += ',';
        const char* key = nullptr;
        if (!list && Dictionary_ItemGetKeyPtr(dict, item, &key) && key) {
            JsonText(key, (int32_t)strlen(key), out);
            out += ':';
        }
        uint32_t type = 0, flag = 0;
        Dictionary_ItemGetType(dict, item, &type);
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        Dictionary* child = nullptr;
        switch (type) {
        case DICTIONARY_TYPE_BOOLEAN:
            Dictionary_ItemGetBoolean(dict, item, &flag);
            out += flag ? "true" : "false";
            break;
        case DICTIONARY_TYPE_FLOAT64:
            out += Number(std::string(text, (size_t)length));
            break;
        case DICTIONARY_TYPE_STRING:
            JsonText(text ? text : "", length, out);
            break;
        case DICTIONARY_TYPE_LIST:
        case DICTIONARY_TYPE_DICTIONARY:
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
            Json(child, type == DICTIONARY_TYPE_LIST, out);
            break;
        default:
            out += "null";
        }
    }
    out += list ? ']' : '}';
}

bool HavePythonYaml() {
    return std::system("python3 -c 'import yaml' >/dev/null 2>&1") == 0;
}

constexpr const char* kOracle = R"(import yaml, json, sys
theirs = yaml.safe_load(open(sys.argv[1], 'rb').read().decode('utf-8'))
ours = json.load(open(sys.argv[2]))
if theirs != ours:
    print('libyaml:', json.dumps(theirs), file=sys.stderr)
    print('ours:   ', json.dumps(ours), file=sys.stderr)
    sys.exit(1)
)";

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(YamlOracle, SameValuesAsLibyaml) {
    if (!HavePythonYaml()) GTEST_SKIP() << "python3-yaml is not installed";
    const char* docs[] = {
        "a: 1\nb: \"x y\"\nc: [1, two]\nd:\n",
        "flag: TRUE\nf: false\nn: null\nN: NULL\n",
        "hex: 0x1F\nneg: -0xff\noct: 0o17\nver: 1.2.3\nplus: +5\nfl: 1.5\nneg2: -3\n",
        "a: hello\n  world\nb: 2\n",
        "color: #fff\n",
        "---\na: 1\n",
        "- a\n- b: 1\n  c: 2\n-\n  - x\n",
        "k:\n- a\n- b\nj: 1\n",
        "a:\n  b:\n    c: 1\n  d: [1, [2, {e: f, g}]]\n",
        "s: 'it''s'\nd: \"\\t\\u00e9\\x41\\U0001F600\\L\\P\\0.\"\n",
        "\"a b\": 1\n'c': 2\n",
        "a: \"x\n   y\"\nb: 'p\n  q'\n",
        "a: [1,\n  2]\n",
        "a: x # comment\nb: 'y' # c\n# whole line\n",
        "- [a, 'b', \"c\"]\n- {x: 1, 'y': [2]}\n- []\n- {}\n",
        "a: -1.5\nb: [-2, 3.25, true, false, null]\n",
        "plain: a b  c\n",
        "just text\n",
        "e: \"\\a\\b\\v\\f\\r\\e\\/\\ \\\"\\\\\"\n",
        "a:\n    b: 1\n    c:\n        - 1\n        -\n            - 2\n",
        "key with spaces: value with spaces\nlast: value",
    };
    TempDir dir;
    const std::string script = dir.file("oracle.py"), doc = dir.file("doc.yaml"),
                      ours = dir.file("ours.json");
    Write(script, kOracle);
    const std::string command = "python3 " + script + " " + doc + " " + ours;
    for (const char* text : docs) {
        YAML* yaml = nullptr;
        Dictionary* dict = nullptr;
        YAML_Create(&yaml);
        Dictionary_Create(&dict);
        YAML_SetPrintCallback(yaml, nullptr, Quiet);
        YAML_SetDictionaryHandle(yaml, dict);
        ASSERT_EQ(YAML_LoadBuffer(yaml, text, (uint32_t)strlen(text)), 1) << text;
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(dict, &item);
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        Dictionary* root = nullptr;
        Dictionary_ItemGetDictionaryHandle(dict, item, &root);
        std::string json;
        if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
            Json(root, type == DICTIONARY_TYPE_LIST, json);
        } else {
            // A scalar document: the one item's value.
            Json(dict, true, json);
            json = json.substr(1, json.size() - 2);
        }
        Write(ours, json);
        Write(doc, text);
        EXPECT_EQ(std::system(command.c_str()), 0) << text;
        uint32_t size = 0;
        YAML_SaveBufferEstimate(yaml, &size);
        std::string saved(size, '\0');
        YAML_SaveBuffer(yaml, saved.data(), size, &size);
        Write(doc, saved);
        EXPECT_EQ(std::system(command.c_str()), 0) << saved;
        YAML_Delete(&yaml);
        Dictionary_Release(&dict);
    }
}

} // namespace
