// Tests of the dictionary's print channel (print, tabbed print, verbose log, callbacks, verbose
// flag) and of the dump of a tree, with the abort texts.
#include <pthread.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

struct Lines {
    std::vector<std::string> raw;
    // The text after the line head "<class>.<id>[.<identifier>] - ", without the line end.
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const std::string& line : raw) {
            const size_t at = line.find(" - ");
            std::string text = at == std::string::npos ? line : line.substr(at + 3);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            out.push_back(text);
        }
        return out;
    }
};

int64_t Collect(void* user, const char* format, ...) {
    char line[16384];
    va_list args;
    va_start(args, format);
    String_VPrint(line, (int32_t)sizeof(line), format, args);
    va_end(args);
    static_cast<Lines*>(user)->raw.push_back(line);
    return 1;
}

struct Root {
    Dictionary* dict = nullptr;
    Lines lines;
    Root() {
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, &lines, Collect);
    }
    ~Root() { Dictionary_Release(&dict); }
};

using Texts = std::vector<std::string>;

// ---- Print channel ----------------------------------------------------------------------------

TEST(DictionaryPrint, PrintAndPrintTabbed) {
    Root r;
    EXPECT_EQ(Dictionary_Print(r.dict, "plain %d", 1), 1);
    EXPECT_EQ(Dictionary_PrintTabbed(r.dict, 2, "two %s", "tabs"), 1);
    EXPECT_EQ(Dictionary_PrintTabbed(r.dict, 0, "a\nb"), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"plain 1", "        two tabs", "a", "b"}));
    // The head names the class and, once set, the identifier.
    EXPECT_EQ(r.lines.raw[0].rfind("Dictionary.", 0), 0u) << r.lines.raw[0];
    Dictionary_SetPrintIdentifier(r.dict, "config");
    Dictionary_Print(r.dict, "x");
    EXPECT_NE(r.lines.raw.back().find(".config - x\n"), std::string::npos) << r.lines.raw.back();
}

TEST(DictionaryPrint, CallbackAndDefaults) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    void* user = reinterpret_cast<void*>(1);
    ClassPrintCallback fn = Collect;
    // Nothing is installed before the first print.
    EXPECT_EQ(Dictionary_GetPrintCallback(dict, &user, &fn), 1);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(fn, nullptr);
    // The first print installs the internal printer with the dictionary as its user.
    Dictionary_Print(dict, "to the log");
    Dictionary_GetPrintCallback(dict, &user, &fn);
    EXPECT_EQ(user, dict);
    EXPECT_EQ(fn, Dictionary_PrintInternal);
    EXPECT_STREQ(dict->Print.ClassName, "Dictionary");

    Lines lines;
    Dictionary_SetPrintCallback(dict, &lines, Collect);
    Dictionary_GetPrintCallback(dict, &user, nullptr);
    EXPECT_EQ(user, &lines);
    Dictionary_GetPrintCallback(dict, nullptr, &fn);
    EXPECT_EQ(fn, Collect);

    // The key-length warning of an over-long key reaches the caller's callback.
    Dictionary_Add(dict, std::string(130, 'k').c_str(), nullptr);
    ASSERT_EQ(lines.raw.size(), 1u);
    EXPECT_EQ(lines.Texts()[0], "Key exceeds maximum length " + std::string(130, 'k') + " (130 > 119)");
    Dictionary_Release(&dict);
}

TEST(DictionaryPrint, VerboseFlagAndVerboseLog) {
    Root r;
    uint32_t verbose = 99;
    EXPECT_EQ(Dictionary_GetVerbose(r.dict, &verbose), 1);
    EXPECT_EQ(verbose, 0u);
    EXPECT_EQ(Dictionary_VerboseLog(r.dict, 0, "hidden"), 0);
    EXPECT_TRUE(r.lines.raw.empty());

    Dictionary_SetVerbose(r.dict, 1);
    Dictionary_GetVerbose(r.dict, &verbose);
    EXPECT_EQ(verbose, 1u);
    // Verbose without a level from the verbose switch admits level 0 only.
    EXPECT_EQ(Dictionary_VerboseLog(r.dict, 0, "shown %d", 0), 1);
    EXPECT_EQ(Dictionary_VerboseLog(r.dict, 1, "hidden"), 0);
    EXPECT_EQ(r.lines.Texts(), (Texts{"shown 0"}));
}

// ---- Dump -------------------------------------------------------------------------------------

TEST(DictionaryDump, KnownAnswer) {
    Root r;
    Dictionary* sub = nullptr;
    Dictionary_AddString(r.dict, "name", "x", nullptr);
    Dictionary_AddInt64(r.dict, "n", 5, nullptr);
    Dictionary_AddDictionary(r.dict, "sub", &sub, nullptr);
    Dictionary_AddBoolean(sub, "ok", 1, nullptr);
    EXPECT_EQ(Dictionary_Dump(r.dict), 1);
    EXPECT_EQ(r.lines.Texts(),
              (Texts{"name=x (String)", "n=5 (Int64)", "sub (Dictionary)", "    ok=true (Boolean)"}));
    // The child printed through the parent's callback, which it keeps.
    void* user = nullptr;
    ClassPrintCallback fn = nullptr;
    Dictionary_GetPrintCallback(sub, &user, &fn);
    EXPECT_EQ(user, &r.lines);
    EXPECT_EQ(fn, Collect);
}

TEST(DictionaryDump, EveryTypeAndUnnamedItems) {
    Root r;
    Dictionary* list = nullptr;
    Dictionary* inner = nullptr;
    DictionaryItem* unknown = nullptr;
    Dictionary_AddNull(r.dict, "z", nullptr);
    Dictionary_AddBoolean(r.dict, "f", 0, nullptr);
    Dictionary_AddFloat64(r.dict, "d", 2.5, nullptr);
    Dictionary_AddString(r.dict, "e", "", nullptr);
    Dictionary_Add(r.dict, "u", &unknown);
    Dictionary_AddList(r.dict, "l", &list, nullptr);
    Dictionary_AddInt64(list, nullptr, 1, nullptr);
    Dictionary_AddList(list, nullptr, &inner, nullptr);
    Dictionary_AddString(inner, nullptr, "deep", nullptr);
    Dictionary_AddDictionary(list, nullptr, nullptr, nullptr);
    Dictionary_AddString(r.dict, "s", "a b", nullptr);
    EXPECT_EQ(Dictionary_Dump(r.dict), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{
                                   "z=null (Null)",
                                   "f=false (Boolean)",
                                   "d=2.5 (Float64)",
                                   "e= (String)",
                                   "u= (Unknown)",
                                   "l (List)",
                                   "    =1 (Int64)",
                                   "     (List)",
                                   "        =deep (String)",
                                   "     (Dictionary)",
                                   "s=a b (String)",
                               }));
}

TEST(DictionaryDump, PrivateItemsAndEmptyDictionaries) {
    Root r;
    EXPECT_EQ(Dictionary_Dump(r.dict), 0);
    EXPECT_TRUE(r.lines.raw.empty());

    Dictionary* hidden = nullptr;
    Dictionary_AddInt64(r.dict, "a", 1, nullptr);
    Dictionary_AddDictionary(r.dict, "#secret", &hidden, nullptr);
    Dictionary_AddString(hidden, "password", "pw", nullptr);
    Dictionary_AddString(r.dict, ".token", "t", nullptr);
    EXPECT_EQ(Dictionary_Dump(r.dict), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"a=1 (Int64)"}));

    // A dictionary whose items are all private still dumps with result 1.
    Root allPrivate;
    Dictionary_AddInt64(allPrivate.dict, "#p", 1, nullptr);
    EXPECT_EQ(Dictionary_Dump(allPrivate.dict), 1);
    EXPECT_TRUE(allPrivate.lines.raw.empty());

    r.lines.raw.clear();
    Dictionary_SetPrivateKeys(r.dict, 0);
    Dictionary_Dump(r.dict);
    EXPECT_EQ(r.lines.Texts(),
              (Texts{"a=1 (Int64)", "secret (Dictionary)", "    password=pw (String)", "token=t (String)"}));
}

TEST(DictionaryDump, DumpInternalStartsAtTheGivenDepth) {
    Root r;
    Dictionary_AddInt64(r.dict, "a", 1, nullptr);
    EXPECT_EQ(Dictionary_DumpInternal(r.dict, 1), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"    a=1 (Int64)"}));
}

TEST(DictionaryDump, ValueTexts) {
    Root r;
    DictionaryItem* item = nullptr;
    // A line break in a value splits the printed line.
    Dictionary_AddString(r.dict, "m", "one\ntwo", nullptr);
    // Bytes after an embedded zero are not printed.
    Dictionary_Add(r.dict, "z", &item);
    Dictionary_ItemSetType(r.dict, item, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetBuffer(r.dict, item, "ab\0cd", 5);
    // Formats are written into "%s=%.<length>s (%s)": a length of nine digits or more must not
    // cut the format (the stored text is short; only the recorded length is large).
    Dictionary_AddString(r.dict, "big", "short", &item);
    const int32_t stored = item->ValueLength;
    item->ValueLength = 1234567890;
    Dictionary_Dump(r.dict);
    item->ValueLength = stored;
    EXPECT_EQ(r.lines.Texts(), (Texts{"m=one", "two (String)", "z=ab (String)", "big=short (String)"}));

    // A text beyond the print buffer is cut there, without harm.
    Root large;
    Dictionary_AddString(large.dict, "k", std::string(100000, 'v').c_str(), nullptr);
    EXPECT_EQ(Dictionary_Dump(large.dict), 1);
    ASSERT_EQ(large.lines.raw.size(), 1u);
    EXPECT_LT(large.lines.raw[0].size(), 16384u);
    EXPECT_EQ(large.lines.Texts()[0].substr(0, 6), "k=vvvv");
}

TEST(DictionaryDump, GoesToTheLogByDefault) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary* sub = nullptr;
    Dictionary_AddDictionary(dict, "sub", &sub, nullptr);
    Dictionary_AddInt64(sub, "x", 1, nullptr);
    EXPECT_EQ(Dictionary_Dump(dict), 1);
    void* user = nullptr;
    ClassPrintCallback fn = nullptr;
    Dictionary_GetPrintCallback(sub, &user, &fn);
    EXPECT_EQ(fn, Dictionary_PrintInternal);
    EXPECT_EQ(user, dict);
    Dictionary_Release(&dict);
}

TEST(DictionaryDump, DeepTreeNeedsNoStack) {
    // Unnamed lists: building them reports no key changes, so a deep chain is quick to make.
    constexpr int32_t kDepth = 6000;
    Root r;
    std::vector<Dictionary*> levels{r.dict};
    for (int32_t i = 0; i < kDepth; i++) {
        Dictionary* child = nullptr;
        Dictionary_AddList(levels.back(), nullptr, &child, nullptr);
        levels.push_back(child);
    }
    Dictionary_AddInt64(levels.back(), "v", 1, nullptr);

    struct Work {
        Dictionary* dict;
        int64_t result;
    } work{r.dict, 0};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 128 * 1024);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        Work* w = static_cast<Work*>(argument);
        w->result = Dictionary_Dump(w->dict);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);

    EXPECT_EQ(work.result, 1);
    const Texts texts = r.lines.Texts();
    ASSERT_EQ(texts.size(), (size_t)kDepth + 1);
    EXPECT_EQ(texts[0], " (List)");
    EXPECT_EQ(texts[1], "     (List)");
    // The indent stops growing at 80 spaces.
    EXPECT_EQ(texts.back(), std::string(80, ' ') + "v=1 (Int64)");

    for (size_t i = levels.size(); i-- > 1;) Dictionary_Reset(levels[i]);
}

// ---- Abort texts ------------------------------------------------------------------------------

TEST(DictionaryPrint, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string null = AbortRegex("Pointer is NULL\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_Dump(nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_PrintTabbed(nullptr, 1, "x");
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Root r;
            Dictionary_PrintTabbed(r.dict, 1, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Root r;
            Dictionary_GetVerbose(r.dict, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_VerboseLog(nullptr, 0, "x");
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_GetPrintCallback(nullptr, nullptr, nullptr);
        },
        null);
}

} // namespace
