// Tests of the macro expander: token syntax, the built-in functions, platform values, the order of
// the sources, nesting limits, buffer limits, dictionaries and values that expand into each other.
#include "core/runtime/string_expand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/linux/platform.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

// A caller's callback answering from a table, counting its calls.
// Names in `templates` answer as templates of the caller's own.
struct Table {
    std::map<std::string, std::string> values;
    int calls = 0;
    std::vector<std::string> arguments;
    std::vector<std::string> templates;
};

int64_t FromTable(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    Table* table = static_cast<Table*>(user);
    table->calls++;
    table->arguments.push_back(argument ? argument : "(null)");
    auto it = table->values.find(name);
    if (it == table->values.end()) return 0;
    String_CopyLength(value, it->second.c_str(), capacity);
    return std::count(table->templates.begin(), table->templates.end(), it->first) ? STRING_EXPAND_TEMPLATE : 1;
}

std::string Expand(const std::string& text, Table* table = nullptr, int32_t capacity = 8192,
                   int32_t* result = nullptr) {
    std::vector<char> buffer((size_t)capacity > text.size() + 1 ? (size_t)capacity : text.size() + 1, 0);
    memcpy(buffer.data(), text.data(), text.size());
    const int32_t r = String_ExpandResult(buffer.data(), capacity, table, table ? FromTable : nullptr);
    if (result) *result = r;
    return std::string(buffer.data());
}

// Expansions of texts without a caller's callback: each text and what it becomes.
void ExpectExpansions(std::initializer_list<std::pair<std::string, std::string>> cases) {
    for (const auto& [in, out] : cases) EXPECT_EQ(Expand(in), out) << in;
}

TEST(StringExpand, TokenSyntax) {
    ExpectExpansions({
        {"plain text", "plain text"}, {"{NoSuchName}", "{NoSuchName}"}, {"{NoSuchName:arg}", "{NoSuchName:arg}"},
        {"{Upper:{NoSuchName}}", "{NOSUCHNAME}"}, {"{ x}", "{ x}"}, {"{}", "{}"}, {"{{", "{{"}, {"a{b", "a{b"},
        {"{\"json\": {\"a\": 1}}", "{\"json\": {\"a\": 1}}"}, {"{Copy:}", ""}, {"x{Copy:}y", "xy"},
        {"{Copy}", "{Copy}"}, {"{copy:abc}", "abc"}, {"{COPY:a:b,c}", "a:b,c"},
        {"{Upper:{Lower:AbC}}{Copy:!}", "ABC!"}, {"{Copy:{Copy:{Copy:deep}}}", "deep"}, {"{Upper:x{ y}z}", "X{ Yz}"},
        // A token whose inner tokens nobody knows ends at the '}' after all of them.
        {"{Upper:a{b{c}d}e}", "A{B{C}D}E"}, {"{Nobody:a{b{c}d}e}{Copy:!}", "{Nobody:a{b{c}d}e}!"},
        // Unbalanced braces that fit are left as they stand.
        {"{Copy:{Copy:x}", "{Copy:x"}, {"}}{Upper:a}{{", "}}A{{"},
    });
}

TEST(StringExpand, BuiltinFunctions) {
    ExpectExpansions({
        {"{Substring:1,3,abcdef}", "bc"}, {"{Substring:2,-1,abcdef}", "cdef"}, {"{SubCopy:2,100,abcdef}", "cdef"},
        {"{Substring:9,12,abc}", ""}, {"{Substring:3,1,abcdef}", ""}, {"{Substring:1,abc}", ""},
        {"{Substring:-5,2,abcdef}", "ab"}, {"{Replace:a,,banana}", "bnn"}, {"{Replace:an,AN,banana}", "bANANa"},
        {"{Replace:a,o}", ""}, {"{Int64Compare:5,>=,5}", "1"}, {"{Int64Compare:5,!=,4}", "0"},
        {"{Int64Compare:-3,<,2}", "1"}, {"{Int64Compare:4,==,4}", "1"}, {"{Int64Compare:4,=,5}", "0"},
        {"{Int64Compare:4,>}", ""}, {"{UInt64Compare:-1,>,1}", "0"},
        {"{UInt64Compare:18446744073709551615,>,1}", "1"}, {"{Int32ToHex:1}", "01000000"},
        {"{Int64ToHex:-2}", "FEFFFFFFFFFFFFFF"}, {"{UInt32ToHex:0x1234}", "34120000"}, {"{ToHex:AB}", "4142"},
        {"{FromHex:414243}", "ABC"}, {"{FromHex:41004243}", "A"}, {"{IndexOf:lo,hello}", "3"},
        {"{LastIndexOf:l,hello}", "3"}, {"{IndexOf:x,hello}", "-1"}, {"{IndexOf:,hello}", "0"},
        {"{IndexOf:a,}", "-1"}, {"{LastIndexOf:,hello}", "5"}, {"{If:yes,on,off}", "on"},
        {"{If:maybe,on,off}", "off"}, {"{If:1,a,b,c}", "a"}, {"{If:0,a,b,c}", "b,c"}, {"{If:0,a}", ""},
        {"{Equals:ab,ab}", "1"}, {"{Equals:ab,abc}", "0"}, {"{Equals:ab}", ""},
        {"{VersionCompare:1.2.3,>,1.2.0}", "1"}, {"{VersionCompare:1.2.3,<=,1.2.3}", "1"},
        {"{VersionCompare:x,>,1.2.0}", ""}, {"{Math:mul,6,7}", "42"}, {"{Math:ADD,-2,5}", "3"},
        {"{Math:division,9,2}", "4"}, {"{Math:pow,2,3}", ""}, {"{Add:2,3}", "5"}, {"{Subtract:2,3}", "-1"},
        {"{Div:7,0}", "0"}, {"{Mod:7,0}", "0"}, {"{Mod:7,3}", "1"},
        {"{Div:-9223372036854775808,-1}", "-9223372036854775808"}, {"{Add:2}", "{Add:2}"},
        {"{Multiply:2,3}", "{Multiply:2,3}"}, {"{Math:add,1}", "{Math:add,1}"}, {"{Trim:  x  }", "x"},
        {"{Trim:-,--x--}", "x"}, {"{Capitalize:hello}", "Hello"}, {"{Uncapitalize:HELLO}", "hELLO"},
        {"{Limit:3,abcdef}", "abc"}, {"{Limit:30,abc}", "abc"}, {"{Limit:3}", ""}, {"{Upper:straße}", "STRAßE"},
        {"{TimeStamp:86400}", "19700102000000"}, {"{This}", ""}, {"abc{This}", "abcabc"},
        // Without their argument the functions that need one are not taken.
        {"{Upper}", "{Upper}"}, {"{Limit}", "{Limit}"}, {"{Replace}", "{Replace}"}, {"{FromHex}", "{FromHex}"},
        {"{TimeStamp}", "{TimeStamp}"},
    });
    const std::string random = Expand("{Random}");
    EXPECT_EQ(random.size(), 120u);
    for (char c : random) EXPECT_TRUE(isalnum((unsigned char)c)) << random;
    EXPECT_NE(random, Expand("{Random}"));
    const std::string guid = Expand("{Guid}");
    EXPECT_EQ(guid.size(), 32u);
    EXPECT_EQ(guid.find_first_not_of("0123456789abcdef"), std::string::npos) << guid;
    const int64_t now = atoll(Expand("{Time}").c_str());
    EXPECT_GT(now, 1700000000);
    const int64_t minute = atoll(Expand("{Time60}").c_str());
    EXPECT_EQ(minute % 60, 0);
    EXPECT_LE(now - minute, 61);
}

TEST(StringExpand, PlatformValues) {
    char home[1024] = {}, module[1024] = {};
    ASSERT_EQ(Platform_GetSpecialPath(5, home, sizeof(home)), 1);
    ASSERT_EQ(Platform_GetSpecialPath(16, module, sizeof(module)), 1);
    const std::string path = module, file = path.substr(path.rfind('/') + 1);
    SetBothEnv("QVR_EXPAND_TEST", "value from env");
    SetBothEnv("QVR_EXPAND_MISSING", nullptr);
    ExpectExpansions({
        {"{UserHome}/x", std::string(home) + "/x"}, {"{userhome}", home}, {"{ModulePath}", path},
        {"{ModuleFileName}", file}, {"{ModuleFileTitle}", file.substr(0, std::min(file.rfind('.'), file.size()))},
        {"{ModuleBitness}", "64"}, {"[{ToolSuffix}]", "[]"}, {"{LibraryPrefix}x.{LibraryExtension}", "libx.so"},
        {"{ProcessId}", std::to_string(Platform_GetCurrentProcessId())}, {"{SystemBitness}", "64"},
        {"{ModuleElevated}", getuid() == 0 || geteuid() == 0 ? "1" : "0"},
        {"{Env:QVR_EXPAND_TEST}", "value from env"},
        // An unknown variable and a missing argument are nobody's: the token stays.
        {"{Env:QVR_EXPAND_MISSING}", "{Env:QVR_EXPAND_MISSING}"}, {"{Env}", "{Env}"},
        {"{DiskSerial}{DiskImage}", "{DiskSerial}{DiskImage}"},
        {"{DiskImage:/no/such/path}", "{DiskImage:/no/such/path}"}, {"{DiskSpace:/no/such/directory/here}", ""},
        // Values of the other modules' providers.
        {"{ToBase64:abc}", "YWJj"}, {"{ProductName}", "Quarvelon Host"},
    });
    for (const char* positive : {"{DiskSpace:/}", "{CPUCount}", "{SystemMemory}"})
        EXPECT_GT(atoll(Expand(positive).c_str()), 0) << positive;
}

// A location the platform cannot name stays a token, and the expander tells it apart from braces
// that name no location.
TEST(StringExpand, ALocationLeftIsFoundWhereverItStands) {
    std::string left;
    {
        ScopedEnv relative{{"HOME", "relative/home"}, {"XDG_DATA_HOME", nullptr}};
        left = Expand("{userAppData}Q/run");
    }
    EXPECT_EQ(left, "{userAppData}Q/run");
    const struct {
        const char *text, *name;
    } cases[] = {
        {left.c_str(), "userAppData"}, {"x/{Temp}", "Temp"}, {"{Upper:{UserHome}}", "UserHome"},
        {"{Env:QVR_EXPAND_MISSING}/x", "Env"}, {"{DiskImage:/no}", "DiskImage"}, {"{ModuleLogDirectory}", "ModuleLogDirectory"},
        {"{notes}.txt", ""}, {"{ Temp}", ""}, {"{Temp", ""}, {"{TempX}", ""}, {"{Env", ""}, {"{}", ""}, {"{{Temp", ""},
        {"{Temp:", ""}, {"", ""}, {"{AVeryLongNameThatIsNoLocationAtAll}{Temp}", "Temp"},
        // The program's own locations: a workflow's file, folder and address, the skin's folders.
        {"{workflowDirectory}/wd.sh", "workflowDirectory"}, {"/a/{WorkflowPath}", "WorkflowPath"},
        {"{workflowUrl}", "workflowUrl"}, {"{LocalStorage}x.json", "LocalStorage"},
        {"{lockDirectory}l", "lockDirectory"}, {"{contentUrl}p.html", "contentUrl"},
        {"{workflowDirectoryX}/a", ""},
    };
    for (const auto& c : cases) {
        char name[64] = "?";
        EXPECT_EQ(String_ExpandFindLocation(c.text, name, sizeof(name)), c.name[0] ? 1 : 0) << c.text;
        EXPECT_STREQ(name, c.name) << c.text;
    }
    EXPECT_EQ(String_ExpandFindLocation("{Temp}", nullptr, 0), 1);
}

// A folder the program refused is judged by where a path leads: the folder itself, through a link
// of any name, or a location left without its value; said by its own name and reason. Nothing is
// judged by its spelling: a name beside it, or a path that leaves it by "..", passes.
TEST(StringExpand, ARefusedFolderIsJudgedByItsIdentityAndSaidByItsName) {
    TempDir place;
    const std::string q = place.file("q"), link = place.file("link"), other = place.file("other");
    ASSERT_EQ(mkdir(q.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(symlink(q.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink("../q", (other + "/up").c_str()), 0);
    ASSERT_EQ(String_ExpandRefuseFolder("LocalStorage", (q + "/").c_str(), "a folder other users can change"), 1);
    const std::string why = "names the refused folder " + q + "/ (a folder other users can change)";
    const struct {
        std::string text, said;
    } cases[] = {
        {q + "/x.json", why}, {q + "/", why}, {q, why}, {link + "/x.json", why}, {other + "/up/deep/x", why},
        {"{LocalStorage}x.json", why}, {"{Upper:{LocalStorage}}", why},
        {"{workflowDirectory}/wd.sh", "names a location without its folder ({workflowDirectory})"},
        {"{Env:QVR_NO_SUCH}/x", "names a location without its folder ({Env:QVR_NO_SUCH})"},
        {q + "x/a", ""}, {q + "/../other/a", ""}, {other + "/a", ""}, {"relative/q", ""},
    };
    for (const auto& c : cases) {
        char said[8192] = "?", shown[8192] = "?";
        EXPECT_EQ(String_ExpandJudgeLocation(c.text.c_str(), said, sizeof(said), shown, sizeof(shown)),
                  c.said.empty() ? 0 : 1)
            << c.text;
        EXPECT_EQ(std::string(said), c.said) << c.text;
        EXPECT_EQ(std::string(shown), c.said.empty() ? "" : c.text) << c.text;
    }
    String_ExpandForgetRefusedFolders();
    char said[256], shown[256];
    EXPECT_EQ(String_ExpandJudgeLocation((q + "/x").c_str(), said, sizeof(said), shown, sizeof(shown)), 0);
}

// The table of refused folders holds as many as the program has locations of its own that may be
// refused, each once by name: refused again, a location is kept in its place; one more is not
// kept (and nothing kept is lost).
TEST(StringExpand, TheRefusedFoldersFillTheirTableToItsBound) {
    String_ExpandForgetRefusedFolders();
    const char* names[] = {"LocalStorage", "lockDirectory", "workflowDirectory", "contentUrl"};
    for (const char* name : names)
        ASSERT_EQ(String_ExpandRefuseFolder(name, (std::string("/refused/") + name + "/").c_str(), "why"), 1) << name;
    EXPECT_EQ(String_ExpandRefuseFolder("localstorage", "/refused/again/", "again"), 1);
    EXPECT_EQ(String_ExpandRefuseFolder("remoteContentUrl", "/refused/fifth/", "fifth"), 0);
    const struct {
        const char *text, *said;
    } cases[] = {
        {"{LocalStorage}x", "names the refused folder /refused/again/ (again)"},
        {"{contentUrl}x", "names the refused folder /refused/contentUrl/ (why)"},
        {"{lockDirectory}x", "names the refused folder /refused/lockDirectory/ (why)"},
        {"{remoteContentUrl}x", "names a location without its folder ({remoteContentUrl})"},
    };
    for (const auto& c : cases) {
        char said[256] = "", shown[256] = "";
        EXPECT_EQ(String_ExpandJudgeLocation(c.text, said, sizeof(said), shown, sizeof(shown)), 1) << c.text;
        EXPECT_STREQ(said, c.said);
    }
    String_ExpandForgetRefusedFolders();
}

TEST(StringExpand, SourcesInOrderAndTheCallerLast) {
    Table table;
    table.values = {{"Mine", "caller value"}, {"Upper", "not asked"}, {"UserHome", "not asked"},
                    {"ToBase64", "not asked"}, {"Empty", ""}, {"Outer", "{Mine}!"}, {"Made", "{Mine}!"}};
    table.templates = {"Made"};
    EXPECT_EQ(Expand("{Mine}", &table), "caller value");
    EXPECT_EQ(Expand("{Upper:x}", &table), "X");
    EXPECT_NE(Expand("{UserHome}", &table), "not asked");
    EXPECT_EQ(Expand("{ToBase64:abc}", &table), "YWJj");
    EXPECT_EQ(Expand("a{Empty}b", &table), "ab");
    // A value is text; a template's tokens are expanded in turn, and what they give is text.
    EXPECT_EQ(Expand("{Outer}", &table), "{Mine}!");
    EXPECT_EQ(Expand("{Made}", &table), "caller value!");
    EXPECT_EQ(Expand("{Upper:{Made}}", &table), "CALLER VALUE!");
    // An unresolved inner token stays in the outer one's argument as text.
    EXPECT_EQ(Expand("{Copy:<{Nobody}>}", &table), "<{Nobody}>");
    // The argument reaches the callback whole, commas and all; no ':' means no argument.
    table.arguments.clear();
    Expand("{Unknown:a,b:c}{Unknown2}", &table);
    EXPECT_EQ(table.arguments, (std::vector<std::string>{"a,b:c", "(null)"}));
}

// A text the expander must refuse whole, in a caller's buffer of exactly its size: failed, and
// the buffer left as it was.
void ExpectRefused(const std::string& text) {
    std::vector<char> buffer(text.c_str(), text.c_str() + text.size() + 1);
    EXPECT_EQ(String_ExpandResult(buffer.data(), (int32_t)buffer.size(), nullptr, nullptr), STRING_EXPAND_FAILED);
    EXPECT_EQ(String_Expand(buffer.data(), (int32_t)buffer.size(), nullptr, nullptr), 0);
    EXPECT_TRUE(std::string(buffer.data()) == text) << text.substr(0, 40);
}

std::string Repeat(const std::string& unit, int32_t count) {
    std::string text;
    while (count-- > 0) text += unit;
    return text;
}

TEST(StringExpand, LimitsOfDepthAndSize) {
    // 32 levels of tokens in tokens succeed, 33 fail and leave the text as it was.
    int32_t result = -1;
    EXPECT_EQ(Expand(Repeat("{Copy:", 32) + "x" + Repeat("}", 32), nullptr, 8192, &result), "x");
    EXPECT_EQ(result, STRING_EXPAND_OK);
    ExpectRefused(Repeat("{Copy:", 33) + "x" + Repeat("}", 33));
    ExpectRefused(Repeat("{a:", 2000) + "}"); // refused as too deep, never a stack overflow
    // Ten thousand braces, nested or unbalanced, are more than the work buffer holds.
    for (const char* unit : {"{", "{a", "}", "{a:"}) ExpectRefused(Repeat(unit, 10000));
    ExpectRefused(std::string(9000, 'x') + "{Copy:y}"); // longer than the work buffer: refused, never cut
    // Unknown tokens nested deeply and repeated at every level are looked at once per level, not
    // once per path through the nesting (which would never finish).
    std::string deep;
    for (int i = 0; i < 30; i++) deep += "{n" + std::to_string(i) + ":";
    deep += "x" + Repeat("}{u}", 30);
    EXPECT_EQ(Expand(deep, nullptr, 8192, &result), deep);
    EXPECT_EQ(result, STRING_EXPAND_OK);
    // Tokens that never close, holding closed unknown ones: every token is asked about a few times,
    // not once for every way of reaching it through the open ones around it (this text, found by
    // fuzzing, took four million calls that way).
    const std::string open =
        "a.aa..aaaaa..a.aaa{a}.a.aa..aaaaa..aaaaaa.a.aaa{aa.aaaaaa{a.}.a.{aaa{aa..aaaa.aaaaa..a.aaa{a}.a."
        "aa..aaaaa..aaaaaa.a.aaa{aa.aaa.aaa{a}.a.{aaa{aa..aaaaaaa.a.aaa{aa.aaaaaa{a.}.a.{aaa{aa..aaaa.aaa"
        "aa..a.aaa{a}.a.aa..aaaaa..aaaaaa.a.aaa{aa.aaa.aaa{a}.a.{aaa{aa..aaaa{a}.aa.a.aaaaaaa{a}.a.a.aaa{"
        "aa.aa..aaaaa..a..aaa{a}.a.aa..aaaaa..aaaaaa.a.aaa{aa.aa.a.aaa{a}.a.{aaa{aa..aaa{aa}.aa.a.aaaaaaa"
        "{a}.a.{a.a.a.a.aaaaaaa{aa..aaaaa..aaaaaa.a.aaa{aa.aa.a.aaa{a}.a.{aaa{aa..aaa{aa}.aa.a.aaaaaa.a.."
        ".a{a}.a.{aaa{aa.a{a}.a.{aaa{aa..a..aaaaa..a..aaa{a}.a.aaaaa..a..aaa{a.aaa{aa}a}{a}";
    Table counted;
    EXPECT_EQ(Expand(open, &counted, 8192, &result), open);
    EXPECT_EQ(result, STRING_EXPAND_OK);
    EXPECT_LT(counted.calls, 200);
    // A value that would make the text exceed the work buffer fails the whole expansion.
    Table table;
    table.values["Big"] = std::string(8000, 'b');
    EXPECT_EQ(Expand("{Big}{Big}", &table, 8192, &result), "{Big}{Big}");
    EXPECT_EQ(result, STRING_EXPAND_FAILED);
    EXPECT_EQ(Expand("{Big}", &table, 8192, &result), table.values["Big"]);
    EXPECT_EQ(result, STRING_EXPAND_OK);
    // A result longer than the caller's capacity is cut and terminated.
    EXPECT_EQ(Expand("{Random}", nullptr, 16, &result).size(), 15u);
    EXPECT_EQ(result, STRING_EXPAND_TRUNCATED);
    char small[16] = "{Random}";
    EXPECT_EQ(String_Expand(small, sizeof(small), nullptr, nullptr), 0);
    EXPECT_EQ(strlen(small), 15u);
}

TEST(StringExpand, ValuesThatExpandIntoEachOtherStop) {
    // Directly, through each other, and growing each round: each expansion ends, in bounded calls.
    Table table;
    table.values = {{"Self", "{Self}"}, {"A", "{B}"}, {"B", "{A}"}, {"Grow", "x{Grow}"},
                    {"P", "{Q}{Q}"},      {"Q", "{P}"}};
    table.templates = {"Self", "A", "B", "Grow", "P", "Q"};
    for (const char* text : {"{Self}", "<{A}>", "{Grow}", "{P}", "{Upper:{A}}"}) {
        table.calls = 0;
        Expand(text, &table);
        EXPECT_LT(table.calls, 200000) << text;
    }
    EXPECT_EQ(Expand("{Self}", &table), "{Self}");
    const std::string ab = Expand("<{A}>", &table);
    EXPECT_TRUE(ab == "<{A}>" || ab == "<{B}>") << ab;
}

TEST(StringExpand, Dictionary) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_AddString(dict, "a", "{Upper:abc}", nullptr);
    Dictionary_AddInt32(dict, "n", 5, nullptr);
    Dictionary* child = nullptr;
    Dictionary_AddList(dict, "list", &child, nullptr);
    Dictionary_AddString(child, nullptr, "{Copy:in list}", nullptr);
    Dictionary_AddString(child, nullptr, "{Nobody}", nullptr);
    // Longer than the first scratch buffer, and an expansion that grows past it.
    Table table;
    table.values["Long"] = std::string(3000, 'L');
    Dictionary_AddString(dict, "long", (std::string(500, 's') + "{Long}").c_str(), nullptr);
    DictionaryItem* binary = nullptr;
    Dictionary_AddString(dict, "binary", "", &binary);
    Dictionary_ItemSetBuffer(dict, binary, "{Copy:a}\0tail", 13);
    EXPECT_EQ(String_ExpandDictionary(dict, &table, FromTable), 1);
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(dict, binary, &bytes, &length);
    EXPECT_EQ(std::string(bytes, (size_t)length), std::string("{Copy:a}\0tail", 13)); // nothing after the NUL lost

    const std::string grown = std::string(500, 's') + std::string(3000, 'L');
    for (const auto& [path, expected] : {std::pair<const char*, std::string>{"a", "ABC"}, {"list[0]", "in list"},
                                         {"list[1]", "{Nobody}"}, {"long", grown}}) {
        char buffer[8192] = {};
        Dictionary_GetStringByPath(dict, path, buffer, sizeof(buffer));
        EXPECT_EQ(buffer, expected) << path;
    }
    Dictionary_Release(&dict);
    Dictionary_Create(&dict); // an empty tree
    EXPECT_EQ(String_ExpandDictionary(dict, nullptr, nullptr), 1);
    Dictionary_Release(&dict);
}

// Every name any source knows, without an argument, with an empty one and with odd ones: a value
// or the token left alone, never a stop.
TEST(StringExpand, EveryNameTakesAnyArgument) {
    std::istringstream names(
        "ModulePath ModuleDirectory ModuleLogDirectory ModuleFileName ModuleFileTitle ModuleAppPath "
        "ModuleAppDirectory ModuleBitness ModuleArchitecture ModuleElevated ModuleDllPath ModuleDllDirectory "
        "WorkingDirectory Temp AdminTemp PipePath ProgramFiles ProgramFiles64 UserStartMenu CommonStartMenu "
        "UserHome UserDocuments UserDesktop CommonDesktop UserDownloads UserAppData UserAppDataLow "
        "UserAppDataRoaming CommonAppData ToolSuffix BundleSuffix LibraryPrefix LibraryExtension "
        "SystemShortName SystemName SystemVersion SystemDirectory SystemDrive SystemBitness ProcessId "
        "UserName UserISO639LangName UserISO3166CountryName DiskSerial DiskImage DiskSpace Env DirectXVersion "
        "OpenGLVersion VideoCardType VideoCardTypeList VideoCardMemory VideoCardMemoryList SystemMemory "
        "CPUSpeed CPUCount CPUVendor CPUDescription AntiVirusList AntiVirus This Copy SubCopy Substring "
        "Replace FromHex ToHex Int32ToHex Int64ToHex Int64Compare UInt32ToHex UInt64ToHex UInt64Compare Limit "
        "Trim Upper Lower Capitalize Uncapitalize IndexOf LastIndexOf Random Guid If Equals VersionCompare "
        "Math Add Sub Mod Div CommandLine Time Time60 TimeStamp PathSlash PathParse PathFix PathJoin "
        "PathToUrl PathFromUrl FileVersion ProductVersion CompanyName ProductName Copyright DataStore "
        "FileDataStore FromBase64 Base64Decode ToBase64 Base64Encode Base64ToHex HexToBase64 ToBase64Url "
        "Base64UrlEncode FromBase64Url Base64UrlDecode CRC MD4 MD5 SHA1 SHA256 Hash UrlParse UrlDecode "
        "UrlEncode UrlQueryEncode UrlFix UrlJoin IntranetIP MACAddress MachineName Registry HMAC HMACSHA1 "
        "HMACSHA256");
    const char* arguments[] = {nullptr, "", ",", ",,", ",,,", "-1,-1,-1", "x", "%zz", "/", "..,..", "\\"};
    // Asking for the pipe directory makes it: it goes into a directory of the test's own.
    TempDir runtime;
    const char* previous = getenv("XDG_RUNTIME_DIR");
    const std::string saved = previous ? previous : "";
    SetBothEnv("XDG_RUNTIME_DIR", runtime.path().c_str());
    for (std::string name; names >> name;) {
        for (const char* argument : arguments) {
            const std::string text = "<{" + name + (argument ? std::string(":") + argument : "") + "}>";
            int32_t result = -1;
            EXPECT_EQ(Expand(text, nullptr, 8192, &result).substr(0, 1), "<") << text;
            EXPECT_NE(result, STRING_EXPAND_FAILED) << text;
        }
    }
    if (previous)
        SetBothEnv("XDG_RUNTIME_DIR", saved.c_str());
    else
        SetBothEnv("XDG_RUNTIME_DIR", nullptr);
}

} // namespace
