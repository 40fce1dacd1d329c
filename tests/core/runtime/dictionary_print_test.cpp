// Tests of the dictionary's print channel (print, tabbed print, verbose log, the default sink)
// and of the dump of a tree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "tests/support/dictionary_trees.h"

namespace {

using Texts = std::vector<std::string>;

// A tree whose print lines are kept.
struct Printed : DictTree {
    PrintLines lines;
    explicit Printed(const char* text = "{}") : DictTree(text) { lines.Watch(dict); }
};

TEST(DictionaryPrint, PrintAndPrintTabbed) {
    Printed r;
    EXPECT_EQ(Dictionary_Print(r, "plain %d", 1), 1);
    EXPECT_EQ(Dictionary_PrintTabbed(r, 2, "two %s", "tabs"), 1);
    EXPECT_EQ(Dictionary_PrintTabbed(r, 0, "a\nb"), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"plain 1", "        two tabs", "a", "b"}));
    // The head names the class and, once set, the identifier.
    EXPECT_TRUE(r.lines.raw[0].starts_with("Dictionary.")) << r.lines.raw[0];
    Dictionary_SetPrintIdentifier(r, "config");
    Dictionary_Print(r, "x");
    EXPECT_TRUE(r.lines.raw.back().ends_with(".config - x\n")) << r.lines.raw.back();
}

// A child's lines carry its root's id, not the bytes of its own header.
TEST(DictionaryPrint, ChildLinesCarryTheRootsId) {
    DictTree d("{sub:{x:1}}");
    Class_GenerateInstanceIdReal(d.dict);
    char id[40] = {};
    Dictionary_GetInstanceId(d, id, sizeof(id));
    ASSERT_EQ(strlen(id), 32u);
    PrintLines lines;
    Dictionary* child = Descend(d, {0});
    lines.Watch(child);
    Dictionary_Print(child, "hello");
    ASSERT_EQ(lines.raw.size(), 1u);
    EXPECT_EQ(lines.raw[0], "Dictionary." + std::string(id, 8) + " - hello\n");
}

TEST(DictionaryPrint, VerboseLogAdmitsLevelZeroOnlyWhenVerbose) {
    Printed r;
    uint32_t verbose = 99;
    EXPECT_EQ(Dictionary_VerboseLog(r, 0, "hidden"), 0);
    Dictionary_SetVerbose(r, 1);
    Dictionary_GetVerbose(r, &verbose);
    EXPECT_EQ(verbose, 1u);
    EXPECT_EQ(Dictionary_VerboseLog(r, 0, "shown %d", 0), 1);
    EXPECT_EQ(Dictionary_VerboseLog(r, 1, "hidden"), 0);
    EXPECT_EQ(r.lines.Texts(), (Texts{"shown 0"}));
}

// Without a callback of the caller's the first print (or dump) installs the log printer with the
// dictionary as its user; children visited by a dump take their parent's printer.
TEST(DictionaryPrint, DefaultSinkIsTheLog) {
    DictTree d("{sub:{x:1}}");
    void* user = reinterpret_cast<void*>(1);
    ClassPrintCallback fn = PrintLines::Collect;
    EXPECT_EQ(Dictionary_GetPrintCallback(d, &user, &fn), 1);
    EXPECT_EQ(fn, nullptr);
    EXPECT_EQ(Dictionary_Dump(d), 1);
    for (Dictionary* level : {d.dict, Descend(d, {0})}) {
        Dictionary_GetPrintCallback(level, &user, &fn);
        EXPECT_EQ(user, d.dict);
        EXPECT_EQ(fn, Dictionary_PrintInternal);
    }
    // Setting no callback puts the default back.
    PrintLines lines;
    lines.Watch(d);
    Dictionary_SetPrintCallback(d, nullptr, nullptr);
    Dictionary_Print(d, "to the log");
    EXPECT_TRUE(lines.raw.empty());
    EXPECT_EQ(d.dict->Extra->Print.PrintCallback, Dictionary_PrintInternal);
}

// ---- Dump -------------------------------------------------------------------------------------

TEST(DictionaryDump, EveryTypeNestingAndUnnamedItems) {
    Printed r("{name:'x',n:5,sub:{ok:true},z:null,f:false,d:2.5,e:'',u:?,l:[1,['deep'],{}],s:'a b'}");
    EXPECT_EQ(Dictionary_Dump(r), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{
                                   "name=x (String)",
                                   "n=5 (Int64)",
                                   "sub (Dictionary)",
                                   "    ok=true (Boolean)",
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
    // The child printed through the parent's callback, which it keeps.
    void* user = nullptr;
    ClassPrintCallback fn = nullptr;
    Dictionary_GetPrintCallback(Descend(r, {2}), &user, &fn);
    EXPECT_EQ(user, &r.lines);
    EXPECT_EQ(fn, PrintLines::Collect);
    // DumpInternal starts at the given depth.
    r.lines.raw.clear();
    DictTree one("{a:1}");
    r.lines.Watch(one);
    EXPECT_EQ(Dictionary_DumpInternal(one, 1), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"    a=1 (Int64)"}));
}

TEST(DictionaryDump, PrivateItemsAndEmptyDictionaries) {
    Printed empty;
    EXPECT_EQ(Dictionary_Dump(empty), 0);
    EXPECT_TRUE(empty.lines.raw.empty());
    // A dictionary whose items are all private still dumps with result 1.
    Printed allPrivate("{#p:1}");
    EXPECT_EQ(Dictionary_Dump(allPrivate), 1);
    EXPECT_TRUE(allPrivate.lines.raw.empty());

    Printed r("{a:1,#secret:{password:'pw'},#token:'t'}");
    EXPECT_EQ(Dictionary_Dump(r), 1);
    EXPECT_EQ(r.lines.Texts(), (Texts{"a=1 (Int64)"}));
    r.lines.raw.clear();
    Dictionary_SetPrivateKeys(r, 0);
    Dictionary_Dump(r);
    EXPECT_EQ(r.lines.Texts(),
              (Texts{"a=1 (Int64)", "secret (Dictionary)", "    password=pw (String)", "token=t (String)"}));
}

TEST(DictionaryDump, ValueTexts) {
    // A line break in a value splits the printed line; bytes after an embedded zero are not
    // printed.
    Printed r("{m:'one\ntwo',z:'',big:'short'}");
    Dictionary_ItemSetBuffer(r, ItemAt(r, 1), "ab\0cd", 5);
    // Formats are written into "%s=%.<length>s (%s)": a length of nine digits or more must not
    // cut the format (the stored text is short; only the recorded length is large).
    // The item is given, for the dump only, a text whose length is kept in front of it.
    DictionaryItem* item = ItemAt(r, 2);
    char* const stored = item->Value;
    const uint32_t storedLength = item->StoredLength, storedFlags = item->Flags;
    alignas(8) char longText[16] = {};
    const int32_t recorded = 1234567890;
    memcpy(longText, &recorded, sizeof(recorded));
    memcpy(longText + 8, "short", 6);
    item->Value = longText + 8;
    item->StoredLength = kDictionaryLongText;
    item->Flags &= ~(uint32_t)DICTIONARY_ITEM_FLAG_INLINE_VALUE;
    Dictionary_Dump(r);
    item->Value = stored;
    item->StoredLength = storedLength;
    item->Flags = storedFlags;
    EXPECT_EQ(r.lines.Texts(), (Texts{"m=one", "two (String)", "z=ab (String)", "big=short (String)"}));

    // A text beyond the print buffer is cut there, without harm.
    Printed large;
    Dictionary_AddString(large, "k", std::string(100000, 'v').c_str(), nullptr);
    EXPECT_EQ(Dictionary_Dump(large), 1);
    ASSERT_EQ(large.lines.raw.size(), 1u);
    EXPECT_LT(large.lines.raw[0].size(), 16384u);
    EXPECT_TRUE(large.lines.Texts()[0].starts_with("k=vvvv"));
}

TEST(DictionaryDump, DeepTreeNeedsNoStack) {
    // Unnamed lists: building them reports no key changes, so a deep chain is quick to make.
    constexpr int32_t kDepth = 6000;
    Printed r;
    Dictionary* level = r;
    for (int32_t i = 0; i < kDepth; i++) Dictionary_AddList(level, nullptr, &level, nullptr);
    Dictionary_AddInt64(level, "v", 1, nullptr);
    int64_t result = 0;
    RunOnSmallStack([&] { result = Dictionary_Dump(r); });
    EXPECT_EQ(result, 1);
    const Texts texts = r.lines.Texts();
    ASSERT_EQ(texts.size(), (size_t)kDepth + 1);
    EXPECT_EQ(texts[0], " (List)");
    EXPECT_EQ(texts[1], "     (List)");
    // The indent stops growing at 80 spaces.
    EXPECT_EQ(texts.back(), std::string(80, ' ') + "v=1 (Int64)");
    EmptyBottomUp(r);
}

} // namespace
