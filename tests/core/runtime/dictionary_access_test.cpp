// Tests of typed dictionary access: Ensure operations, values by key, index and item, list
// texts, enumerators and the flat key=value text form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "tests/support/call_outcome.h"
#include "tests/support/dictionary_trees.h"

namespace {

using Strings = std::vector<std::string>;

int64_t SetViaV(Dictionary* dict, const char* key, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_SetStringByKeyV(dict, key, format, args);
    va_end(args);
    return result;
}

TEST(DictionaryAccess, EnsureByKey) {
    DictTree d("{k:?,s:'text'}");
    DictionaryItem* item = nullptr;
    for (const char* key : {"k", "[0]"}) { // "[0]" is positional: the first item
        EXPECT_EQ(Dictionary_EnsureKey(d, key, &item), 1);
        EXPECT_EQ(item, ItemAt(d, 0)) << key;
    }
    // Retyping drops another type's value; the same container type keeps its items.
    Dictionary *list, *listAgain, *dict;
    EXPECT_EQ(Dictionary_EnsureList(d, "s", &item, &list), 1);
    EXPECT_EQ(Render(d), "{k:?,s:[]}");
    Dictionary_AddString(list, nullptr, "element", nullptr);
    EXPECT_EQ(Dictionary_EnsureList(d, "s", nullptr, &listAgain), 1);
    EXPECT_EQ(listAgain, list);
    EXPECT_EQ(Dictionary_EnsureDictionary(d, "s", &item, &dict), 1);
    EXPECT_EQ(Dictionary_EnsureDictionary(d, "new", nullptr, nullptr), 1);
    EXPECT_EQ(Dictionary_EnsureKey(d, "n2", nullptr), 1);
    EXPECT_EQ(Render(d), "{k:?,s:{},new:{},n2:?}");
}

TEST(DictionaryAccess, EnsureByIndex) {
    DictTree d;
    DictionaryItem* item = nullptr;
    EXPECT_EQ(Dictionary_EnsureIndex(d, 3, &item), 1);
    EXPECT_EQ(Render(d), "{?,?,?,?}");
    EXPECT_EQ(item, ItemAt(d, 3));
    // index, position found or -1; an index from outside input cannot exhaust memory
    const std::tuple<int32_t, int32_t> cases[] = {{0, 0}, {-1, 3}, {-4, 0}, {-5, -1}, {INT32_MAX, -1}};
    for (const auto& [index, expected] : cases) {
        item = ItemAt(d, 1);
        EXPECT_EQ(Dictionary_EnsureIndex(d, index, &item), expected >= 0) << index;
        EXPECT_EQ(item, expected >= 0 ? ItemAt(d, (uint32_t)expected) : nullptr) << index;
    }
    EXPECT_EQ(ItemCount(d), 4u);

    Dictionary *list, *dict, *byIndex = nullptr;
    EXPECT_EQ(Dictionary_EnsureListByIndex(d, 5, &item, &list), 1);
    EXPECT_EQ(Dictionary_EnsureDictionaryByIndex(d, 1, &item, &dict), 1);
    EXPECT_EQ(Render(d), "{?,{},?,?,?,[]}");
    EXPECT_EQ(Dictionary_GetDictionaryByIndex(d, 1, &byIndex), 1);
    EXPECT_EQ(byIndex, dict);
    EXPECT_EQ(Dictionary_GetListByIndex(d, -1, &byIndex), 1);
    EXPECT_EQ(byIndex, list);
    EXPECT_EQ(Dictionary_GetListByIndex(d, 1, &byIndex), 0);
    EXPECT_EQ(byIndex, nullptr);
    EXPECT_EQ(Dictionary_EnsureDictionaryByIndex(d, INT32_MAX, &item, &dict), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(dict, nullptr);
}

TEST(DictionaryAccess, SettersWriteTypeAndText) {
    DictTree d;
    EXPECT_EQ(Dictionary_SetStringByKey(d, "s", "text"), 1);
    EXPECT_EQ(Dictionary_SetInt32ByKey(d, "i32", -5), 1);
    EXPECT_EQ(Dictionary_SetInt32ByKey(d, "i32min", INT32_MIN), 1);
    EXPECT_EQ(Dictionary_SetInt64ByKey(d, "i64", INT64_MIN), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByKey(d, "f", 0.1), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByKey(d, "big", 1e20), 1);
    EXPECT_EQ(Dictionary_SetBooleanByKey(d, "t", 1), 1);
    EXPECT_EQ(Dictionary_SetBooleanByKey(d, "two", 2), 1); // true exactly when the value is 1
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "p", "%d-%s", 7, "x"), 1);
    EXPECT_EQ(SetViaV(d, "v", "%05.1f|%lld", 2.75, (long long)-3), 1);
    EXPECT_EQ(Render(d), "{s:'text',i32:-5,i32min:-2147483648,i64:-9223372036854775808,f:0.1,big:1e+20,"
                         "t:true,two:false,p:'7-x',v:'002.8|-3'}");
    const uint32_t types[] = {5, 3, 3, 3, 4, 4, 2, 2, 5, 5};
    for (uint32_t i = 0; i < 10; i++) EXPECT_EQ(ItemType(d, ItemAt(d, i)), types[i]) << i;

    // A setter on an existing item retypes it in place.
    EXPECT_EQ(Dictionary_SetInt64ByKey(d, "s", 42), 1);
    EXPECT_EQ(Dictionary_SetStringByKey(d, "t", ""), 1);
    EXPECT_EQ(ItemCount(d), 10u);
    EXPECT_EQ(ItemType(d, FindKey(d, "s")), DICTIONARY_TYPE_INT64);
    EXPECT_EQ(RenderItem(d, FindKey(d, "s")) + RenderItem(d, FindKey(d, "t")), "s:42t:''");

    // The text may be the item's own value, which the change of type frees.
    Dictionary_SetInt64ByKey(d, "own", 123456);
    const char* own = nullptr;
    Dictionary_GetBufferPtrByKey(d, "own", &own, nullptr);
    EXPECT_EQ(Dictionary_SetStringByKey(d, "own", own + 1), 1);
    EXPECT_EQ(RenderItem(d, FindKey(d, "own")), "own:'23456'");
    Dictionary_SetFloat64ByKey(d, "own", 2.5);
    Dictionary_GetBufferPtrByKey(d, "own", &own, nullptr);
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "own", "<%s>", own), 1);
    EXPECT_EQ(RenderItem(d, FindKey(d, "own")), "own:'<2.5>'");

    // A formatted text is never cut, however long.
    const std::string longText(5000, 'q');
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "long", "%s!", longText.c_str()), 1);
    EXPECT_EQ(ItemText(d, FindKey(d, "long")), longText + "!");
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "long", "%s", ""), 1);
    EXPECT_EQ(ItemText(d, FindKey(d, "long")), "");
}

// Numbers convert between the number types (Int32 takes the low 32 bits); strings come only
// from String items, buffers from any scalar. A type a getter does not take, or a missing key,
// answers 0 with the output cleared; getters create nothing.
TEST(DictionaryAccess, GettersAndConversions) {
    DictTree d("{f:3.75,i:7,wide:4294967297,s:'12',empty:'',b:true,no:false,null:null,list:[],dict:{}}");
    // clang-format off
    const std::pair<std::string, const char*> checks[] = {
        {OUTCOME(int32_t, 9, Dictionary_GetInt32ByKey(d, "f", &out)), "1:3"},
        {OUTCOME(double, 9, Dictionary_GetFloat64ByKey(d, "i", &out)), "1:7"},
        {OUTCOME(double, 9, Dictionary_GetFloat64ByKey(d, "f", &out)), "1:3.75"},
        {OUTCOME(int64_t, 9, Dictionary_GetInt64ByKey(d, "wide", &out)), "1:4294967297"},
        {OUTCOME(int32_t, 9, Dictionary_GetInt32ByKey(d, "wide", &out)), "1:1"},
        {OUTCOME(uint32_t, 9, Dictionary_GetBooleanByKey(d, "b", &out)), "1:1"},
        {OUTCOME(uint32_t, 9, Dictionary_GetBooleanByKey(d, "no", &out)), "1:0"},
        {OUTCOME_TEXT(8, Dictionary_GetStringByKey(d, "i", out, sizeof out)), "0:"},
        {OUTCOME_TEXT(8, Dictionary_GetStringByKey(d, "s", out, sizeof out)), "1:12"},
        {OUTCOME(const char*, "x", Dictionary_GetStringPtrByKey(d, "empty", &out)), "1:"},
        {OUTCOME(const char*, "x", Dictionary_GetStringPtrByKey(d, "b", &out)), "0:(null)"},
        {OUTCOME(const char*, "x", Dictionary_GetBufferPtrByKey(d, "null", &out, nullptr)), "1:null"},
        {OUTCOME(const char*, "x", Dictionary_GetBufferPtrByKey(d, "list", &out, nullptr)), "0:(null)"},
        {OUTCOME(uint32_t, 99, Dictionary_GetTypeByKey(d, "f", &out)), "1:4"},
        {OUTCOME(uint32_t, 99, Dictionary_GetTypeByKey(d, "missing", &out)), "0:0"},
    };
    // clang-format on
    for (const auto& [got, expected] : checks) EXPECT_EQ(got, expected);
    for (const char* key : {"s", "b", "null", "list", "missing"}) {
        EXPECT_EQ(OUTCOME(int32_t, 9, Dictionary_GetInt32ByKey(d, key, &out)), "0:0") << key;
        EXPECT_EQ(OUTCOME(int64_t, 9, Dictionary_GetInt64ByKey(d, key, &out)), "0:0") << key;
        EXPECT_EQ(OUTCOME(double, 9, Dictionary_GetFloat64ByKey(d, key, &out)), "0:0") << key;
        EXPECT_EQ(OUTCOME(Dictionary*, d, Dictionary_GetDictionaryByKey(d, key, &out)), "0:(null)") << key;
    }
    for (const char* key : {"i", "s", "missing"})
        EXPECT_EQ(OUTCOME(uint32_t, 9, Dictionary_GetBooleanByKey(d, key, &out)), "0:0") << key;
    const char* bytes = nullptr;
    int32_t length = 0;
    EXPECT_EQ(Dictionary_GetBufferPtrByKey(d, "i", &bytes, &length), 1);
    EXPECT_EQ(std::string(bytes, length), "7");
    Dictionary* found = nullptr;
    EXPECT_EQ(Dictionary_GetListByKey(d, "list", &found), 1);
    EXPECT_EQ(found, ChildOf(d, FindKey(d, "list")));
    EXPECT_EQ(Dictionary_GetDictionaryByKey(d, "dict", &found), 1);
    EXPECT_EQ(found, ChildOf(d, FindKey(d, "dict")));
    EXPECT_EQ(Dictionary_GetListByKey(d, "s", &found), 0);
    EXPECT_EQ(ItemCount(d), 10u);
}

// Number setters write text and keep the type; SetString on a Null item does nothing, on a
// Boolean it reads the text as a flag; an empty result stores no text.
TEST(DictionaryAccess, ItemValues) {
    DictTree d("{s:'old',n:1,null:null,b:false,bare:?}");
    DictionaryItem *s = ItemAt(d, 0), *n = ItemAt(d, 1), *null = ItemAt(d, 2), *b = ItemAt(d, 3);
    EXPECT_EQ(Dictionary_ItemSetInt32(d, s, -12), 1);
    EXPECT_EQ(RenderItem(d, s), "s:'-12'");
    EXPECT_EQ(Dictionary_ItemSetInt64(d, n, 9007199254740993LL), 1);
    EXPECT_EQ(ItemText(d, n), "9007199254740993");
    EXPECT_EQ(Dictionary_ItemSetFloat64(d, n, -0.5), 1);
    EXPECT_EQ(ItemType(d, n), DICTIONARY_TYPE_INT64);
    EXPECT_EQ(Dictionary_ItemSetString(d, s, "new"), 1);
    EXPECT_EQ(RenderItem(d, s), "s:'new'");
    EXPECT_EQ(Dictionary_ItemSetStringPrint(d, s, "%s=%d", "k", 4), 1);
    EXPECT_EQ(ItemText(d, s), "k=4");
    EXPECT_EQ(Dictionary_ItemSetStringPrint(d, s, "%s", ""), 1);
    EXPECT_EQ(s->Value, nullptr);
    EXPECT_EQ(Dictionary_ItemSetString(d, null, "text"), 1);
    EXPECT_EQ(Dictionary_ItemSetString(d, b, "True"), 1);
    EXPECT_EQ(Render(d), "{s:'',n:-0.5,null:null,b:true,bare:?}");
    Dictionary_ItemSetString(d, s, "abcdef");
    Dictionary_ItemSetType(d, ItemAt(d, 4), DICTIONARY_TYPE_FLOAT64); // a number without text reads as 0
    // clang-format off
    const std::pair<std::string, const char*> checks[] = {
        {OUTCOME(int32_t, 5, Dictionary_ItemGetInt32(d, n, &out)), "1:0"},
        {OUTCOME_TEXT(4, Dictionary_ItemGetString(d, s, out, sizeof out)), "1:abc"},
        {OUTCOME_TEXT(4, Dictionary_ItemGetString(d, n, out, sizeof out)), "0:"},
        {OUTCOME(const char*, "x", Dictionary_ItemGetStringPtr(d, null, &out)), "0:(null)"},
        {OUTCOME(int32_t, 5, Dictionary_ItemGetInt32(d, s, &out)), "0:0"},
        {OUTCOME(int64_t, 5, Dictionary_ItemGetInt64(d, b, &out)), "0:0"},
        {OUTCOME(double, 5, Dictionary_ItemGetFloat64(d, n, &out)), "1:-0.5"},
        {OUTCOME(uint32_t, 5, Dictionary_ItemGetBoolean(d, b, &out)), "1:1"},
        {OUTCOME(uint32_t, 5, Dictionary_ItemGetBoolean(d, s, &out)), "0:0"},
        {OUTCOME(double, 5, Dictionary_ItemGetFloat64(d, ItemAt(d, 4), &out)), "1:0"},
    };
    // clang-format on
    for (const auto& [got, expected] : checks) EXPECT_EQ(got, expected);
}

// A number item reads the same through every getter, whatever spelling a reader typed as a number;
// a text that spells none fails instead of reading as 0, and a whole number past a type's range is
// held at its end instead of wrapping.
TEST(DictionaryAccess, NumberItemsReadTheirValue) {
    DictTree d("{n:1}");
    DictionaryItem* n = ItemAt(d, 0);
    const struct { const char* text; const char* i32; const char* i64; const char* f64; } cases[] = {
        {"+5", "1:5", "1:5", "1:5"}, {"-0x10", "1:-16", "1:-16", "1:-16"}, {"2.5e-06", "1:0", "1:0", "1:2.5e-06"},
        {"1e10", "1:2147483647", "1:10000000000", "1:1e+10"}, {"-4294967297", "1:-2147483648", "1:-4294967297",
        "1:-4.29497e+09"}, {"18446744073709551617", "1:2147483647", "1:9223372036854775807", "1:1.84467e+19"},
        {"0x10000000000000001", "1:2147483647", "1:9223372036854775807", "1:1.84467e+19"},
        {"abc", "0:0", "0:0", "0:0"}, {"12abc", "0:0", "0:0", "0:0"}, {"1e999", "0:0", "0:0", "0:0"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Dictionary_ItemSetBuffer(d, n, c.text, (int32_t)strlen(c.text)), 1);
        EXPECT_EQ(OUTCOME(int32_t, 5, Dictionary_ItemGetInt32(d, n, &out)), c.i32) << c.text;
        EXPECT_EQ(OUTCOME(int64_t, 5, Dictionary_ItemGetInt64(d, n, &out)), c.i64) << c.text;
        EXPECT_EQ(OUTCOME(double, 5, Dictionary_ItemGetFloat64(d, n, &out)), c.f64) << c.text;
    }
}

// The Float64 setters keep every digit a value needs to read back as itself, spelled as "%g"
// spells it (a whole number of up to twelve digits plainly); a value that is not finite is kept as
// a text no getter takes for a number.
TEST(DictionaryAccess, Float64SettersKeepEveryDigit) {
    const struct { double value; const char* text; } cases[] = {
        {1733700000.123456, "1733700000.123456"}, {0.1 + 0.2, "0.30000000000000004"}, {1e6, "1000000"},
        {123456789012, "123456789012"}, {1e12, "1e+12"}, {1e20, "1e+20"}, {2.5e-6, "2.5e-06"}, {-0.5, "-0.5"},
        {9007199254740993.0, "9007199254740992"}, {5e-324, "4.94065645841e-324"}, {NAN, "NaN"}, {HUGE_VAL, "Inf"},
        {-HUGE_VAL, "-Inf"},
    };
    for (const auto& c : cases) {
        DictTree d("{n:1.5}");
        DictionaryItem* added = nullptr;
        ASSERT_EQ(Dictionary_AddFloat64(d, "a", c.value, &added), 1);
        ASSERT_EQ(Dictionary_ItemSetFloat64(d, ItemAt(d, 0), c.value), 1);
        ASSERT_EQ(Dictionary_SetFloat64ByKey(d, "k", c.value), 1);
        for (DictionaryItem* item : {added, ItemAt(d, 0), FindKey(d, "k")}) {
            EXPECT_EQ(ItemText(d, item), c.text);
            EXPECT_EQ(ItemType(d, item), DICTIONARY_TYPE_FLOAT64);
            double back = 7;
            EXPECT_EQ(Dictionary_ItemGetFloat64(d, item, &back), std::isfinite(c.value) ? 1 : 0) << c.text;
            if (std::isfinite(c.value)) {
                EXPECT_EQ(memcmp(&back, &c.value, sizeof(back)), 0) << c.text;
            }
        }
    }
    // Every double of a seeded sample reads back bit for bit through each setter.
    uint64_t state = 2024;
    DictTree d("{n:1}");
    for (int i = 0; i < 20000; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        double value = 0;
        const uint64_t bits = state & 0x7FEFFFFFFFFFFFFFull;
        memcpy(&value, &bits, sizeof(value));
        if (i % 2) value = (double)(state >> 40) / 1000.0;
        Dictionary_SetFloat64ByKey(d, "k", value);
        Dictionary_ItemSetFloat64(d, ItemAt(d, 0), value);
        double byKey = 0, byItem = 0;
        Dictionary_GetFloat64ByKey(d, "k", &byKey);
        Dictionary_ItemGetFloat64(d, ItemAt(d, 0), &byItem);
        ASSERT_EQ(memcmp(&byKey, &value, sizeof(value)), 0) << ItemText(d, FindKey(d, "k"));
        ASSERT_EQ(memcmp(&byItem, &value, sizeof(value)), 0) << ItemText(d, ItemAt(d, 0));
    }
}

// A String item gives its text, a List the concatenation of its String elements, cut to the
// buffer; the length is that of the whole text.
TEST(DictionaryAccess, ListTexts) {
    DictTree d("{list:['ab',5,'','cde'],s:'single',dict:{}}");
    // clang-format off
    const std::pair<std::string, const char*> checks[] = {
        {OUTCOME_TEXT(16, Dictionary_GetListStringByKey(d, "list", out, sizeof out)), "1:abcde"},
        {OUTCOME_TEXT(16, Dictionary_GetListStringByKey(d, "list", out, 4)), "1:abc"},
        {OUTCOME_TEXT(16, Dictionary_GetListStringByKey(d, "s", out, sizeof out)), "1:single"},
        {OUTCOME_TEXT(16, Dictionary_GetListStringByKey(d, "dict", out, sizeof out)), "0:"},
        {OUTCOME_TEXT(16, Dictionary_GetListStringByKey(d, "missing", out, sizeof out)), "0:"},
        {OUTCOME(uint32_t, 99, Dictionary_GetListStringLengthByKey(d, "list", &out)), "1:5"},
        {OUTCOME(uint32_t, 99, Dictionary_GetListStringLengthByKey(d, "s", &out)), "1:6"},
        {OUTCOME(uint32_t, 99, Dictionary_GetListStringLengthByKey(d, "dict", &out)), "0:0"},
    };
    // clang-format on
    for (const auto& [got, expected] : checks) EXPECT_EQ(got, expected);
}

// Records every call and answers from a script (1 when the script has run out).
struct Recorder {
    Strings calls;
    std::vector<int64_t> answers;
    int64_t Note(const std::string& call) {
        calls.push_back(call);
        return calls.size() <= answers.size() ? answers[calls.size() - 1] : 1;
    }
};

int64_t OnString(void* context, const char* text) {
    return static_cast<Recorder*>(context)->Note(text);
}
int64_t OnKeyString(void* context, const char* key, const char* text) {
    return static_cast<Recorder*>(context)->Note(std::string(key) + "=" + text);
}
int64_t OnKeyBuffer(void* context, const char* key, const char* text, int32_t length) {
    return static_cast<Recorder*>(context)->Note(std::string(key) + "=" + std::string(text, (size_t)length));
}
int64_t OnListItem(void* context, Dictionary* list, DictionaryItem* item) {
    return static_cast<Recorder*>(context)->Note(ItemText(list, item));
}
int64_t OnInt32(void* context, int32_t value) {
    return static_cast<Recorder*>(context)->Note(std::to_string(value));
}
int64_t RemoveWhileWalking(void* context, Dictionary* list, DictionaryItem* item) {
    static_cast<Recorder*>(context)->Note(ItemText(list, item));
    Dictionary_Remove(list, &item);
    return 1;
}

TEST(DictionaryAccess, Enumerators) {
    DictTree d("{a:'1',n:2,'unnamed',flag:false,b:'',list:['x',5,2.9,-2.9,'y'],s:'single',i:12,dict:{}}");
    struct Case {
        std::function<int64_t(Recorder*)> walk;
        std::vector<int64_t> answers;
        int64_t result;
        Strings calls;
    };
    // clang-format off
    const Case cases[] = {
        {[&](Recorder* r) { return Dictionary_EnumerateString(d, r, OnString); },
        {}, 1, {"1", "unnamed", "", "single"}},
        {[&](Recorder* r) { return Dictionary_EnumerateKey(d, r, OnString); },
        {}, 1, {"a", "n", "flag", "b", "list", "s", "i", "dict"}},
        {[&](Recorder* r) { return Dictionary_EnumerateKeyString(d, r, OnKeyString); },
        {}, 1, {"a=1", "b=", "s=single"}},
        {[&](Recorder* r) { return Dictionary_EnumerateKeyBuffer(d, r, OnKeyBuffer); },
        {}, 1, {"a=1", "n=2", "flag=false", "b=", "s=single", "i=12"}},
        // A zero answer stops the walk; the result says whether any answer was non-zero.
        {[&](Recorder* r) { return Dictionary_EnumerateKey(d, r, OnString); }, {1, 0, 1}, 1, {"a", "n"}},
        {[&](Recorder* r) { return Dictionary_EnumerateKey(d, r, OnString); }, {0}, 0, {"a"}},
        {[&](Recorder* r) { return Dictionary_EnumerateString(d, r, OnString); },
        {7, 7, 7}, 1, {"1", "unnamed", "", "single"}},
        // Lists: every element, the String ones, the numbers cut to integers.
        {[&](Recorder* r) { return Dictionary_EnumerateList(d, "list", r, OnListItem); },
        {}, 1, {"x", "5", "2.9", "-2.9", "y"}},
        {[&](Recorder* r) { return Dictionary_EnumerateListString(d, "list", r, OnString); },
        {}, 1, {"x", "y"}},
        {[&](Recorder* r) { return Dictionary_EnumerateListInt32(d, "list", r, OnInt32); },
        {}, 1, {"5", "2", "-2"}},
        // Not a List: the item itself once, when the enumerator takes its type.
        {[&](Recorder* r) { return Dictionary_EnumerateList(d, "s", r, OnListItem); }, {}, 1, {"single"}},
        {[&](Recorder* r) { return Dictionary_EnumerateList(d, "i", r, OnListItem); }, {2}, 0, {"12"}},
        {[&](Recorder* r) { return Dictionary_EnumerateListString(d, "s", r, OnString); }, {}, 1, {"single"}},
        {[&](Recorder* r) { return Dictionary_EnumerateListString(d, "i", r, OnString); }, {}, 0, {}},
        {[&](Recorder* r) { return Dictionary_EnumerateListInt32(d, "i", r, OnInt32); }, {}, 1, {"12"}},
        {[&](Recorder* r) { return Dictionary_EnumerateList(d, "dict", r, OnListItem); }, {}, 0, {}},
        {[&](Recorder* r) { return Dictionary_EnumerateList(d, "missing", r, OnListItem); }, {}, 0, {}},
        {[&](Recorder* r) { return Dictionary_EnumerateListInt32(d, "missing", r, OnInt32); }, {}, 0, {}},
    };
    // clang-format on
    for (size_t i = 0; i < std::size(cases); i++) {
        Recorder r;
        r.answers = cases[i].answers;
        EXPECT_EQ(cases[i].walk(&r), cases[i].result) << "case " << i;
        EXPECT_EQ(r.calls, cases[i].calls) << "case " << i;
    }
    Recorder r;
    DictTree empty;
    EXPECT_EQ(Dictionary_EnumerateString(empty, &r, OnString), 0);
    // A callback may remove the element it is given.
    EXPECT_EQ(Dictionary_EnumerateList(d, "list", &r, RemoveWhileWalking), 1);
    EXPECT_EQ(r.calls.size(), 5u);
    EXPECT_EQ(RenderItem(d, FindKey(d, "list")), "list:[]");
}

TEST(DictionaryAccess, ConvertFromString) {
    struct Case {
        const char* text;
        uint8_t pair;
        uint8_t item;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {"a=1;;b==2;c", '=', ';', "{a:'1',b:'2',c:''}"}, {"  key =v a l;x=", '=', ';', "{key :'v a l',x:''}"},
        {";;a=1;", '=', ';', "{a:'1'}"}, {"one,two,,three", 0, ',', "{'one','two','three'}"},
        {"=v", '=', ';', "{:'v'}"}, {"a=b=c", '=', '&', "{a:'b=c'}"}, {"", '=', ';', "{}"},
        {";;;", '=', ';', "{}"},
    };
    // clang-format on
    for (const Case& k : cases) {
        DictTree d;
        EXPECT_EQ(Dictionary_ConvertFromString(d, k.text, (int32_t)strlen(k.text), k.pair, k.item), 1)
            << k.text;
        EXPECT_EQ(Render(d), k.expected) << k.text;
    }
    // A bare key is a flag: its boolean bit is set on the String item.
    DictTree flag;
    Dictionary_ConvertFromString(flag, "c", 1, '=', ';');
    EXPECT_EQ(Dictionary_ItemSetType(flag, ItemAt(flag, 0), DICTIONARY_TYPE_BOOLEAN), 1);
    EXPECT_EQ(Render(flag), "{c:true}");

    // Only `length` bytes are read: the text need not be terminated.
    DictTree counted;
    char* exact = static_cast<char*>(malloc(7));
    memcpy(exact, "k=v;z=9", 7);
    EXPECT_EQ(Dictionary_ConvertFromString(counted, exact, 5, '=', ';'), 1);
    EXPECT_EQ(Render(counted), "{k:'v',z:''}");
    EXPECT_EQ(Dictionary_ConvertFromString(counted, exact, 7, '=', ';'), 1);
    free(exact);
    EXPECT_EQ(Dictionary_ConvertFromString(counted, "x", 0, '=', ';'), 1);
    EXPECT_EQ(Dictionary_ConvertFromString(counted, "x", -5, '=', ';'), 1);
    EXPECT_EQ(Render(counted), "{k:'v',z:'',k:'v',z:'9'}");
}

TEST(DictionaryAccess, ConvertToString) {
    // An unnamed Boolean writes nothing, not even a separator; a false flag writes no key, as a
    // bare key reads back as a set flag.
    DictTree d("{a:'1',flag:true,n:5,'v',true,e:'',off:false}");
    char buffer[64];
    // clang-format off
    struct Case {
        int32_t size;
        uint8_t pair, item;
        int64_t result;
        const char* text;
    } const cases[] = {
        {64, '=', ';', 1, "a=1;flag;;v;e=;;"}, {64, 0, ',', 1, "a1,flag,,v,e,,"},
        {6, '=', ';', 1, "a=1;f"}, // cut to the buffer
        {0, '=', ';', 0, "z"}, // nothing written
    };
    // clang-format on
    for (const Case& c : cases) {
        strcpy(buffer, "z");
        EXPECT_EQ(Dictionary_ConvertToString(d, buffer, c.size, c.pair, c.item), c.result) << c.text;
        EXPECT_STREQ(buffer, c.text);
    }
    // Read back, unnamed texts come back as bare keys.
    Dictionary_ConvertToString(d, buffer, sizeof buffer, '=', ';');
    DictTree back;
    EXPECT_EQ(Dictionary_ConvertFromString(back, buffer, (int32_t)strlen(buffer), '=', ';'), 1);
    EXPECT_EQ(Render(back), "{a:'1',flag:'',v:'',e:''}");
}

} // namespace
