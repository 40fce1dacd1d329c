// Tests of the macro expander: token syntax, the built-in functions, platform values, the order of
// the sources, nesting limits, buffer limits, dictionaries and values that expand into each other.
#include "core/runtime/string_expand.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/linux/platform.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tests/support/abort_hook.h"

namespace {

// A caller's callback answering from a table, counting its calls.
struct Table {
    std::map<std::string, std::string> values;
    int calls = 0;
    std::vector<std::string> arguments;
};

int64_t FromTable(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    Table* table = static_cast<Table*>(user);
    table->calls++;
    table->arguments.push_back(argument ? argument : "(null)");
    auto it = table->values.find(name);
    if (it == table->values.end()) return 0;
    String_CopyLength(value, it->second.c_str(), capacity);
    return 1;
}

std::string Expand(const std::string& text, Table* table = nullptr, int32_t capacity = 8192,
                   int32_t* result = nullptr) {
    std::vector<char> buffer((size_t)capacity > text.size() + 1 ? (size_t)capacity : text.size() + 1, 0);
    memcpy(buffer.data(), text.data(), text.size());
    const int32_t r = String_ExpandResult(buffer.data(), capacity, table, table ? FromTable : nullptr);
    if (result) *result = r;
    return std::string(buffer.data());
}

TEST(StringExpand, TokenSyntax) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain text", "plain text"},
        {"{NoSuchName}", "{NoSuchName}"},
        {"{NoSuchName:arg}", "{NoSuchName:arg}"},
        {"{Upper:{NoSuchName}}", "{NOSUCHNAME}"},
        {"{ x}", "{ x}"},
        {"{}", "{}"},
        {"{{", "{{"},
        {"a{b", "a{b"},
        {"{\"json\": {\"a\": 1}}", "{\"json\": {\"a\": 1}}"},
        {"{Copy:}", ""},
        {"x{Copy:}y", "xy"},
        {"{Copy}", "{Copy}"},
        {"{copy:abc}", "abc"},
        {"{COPY:a:b,c}", "a:b,c"},
        {"{Upper:{Lower:AbC}}{Copy:!}", "ABC!"},
        {"{Copy:{Copy:{Copy:deep}}}", "deep"},
        {"{Upper:x{ y}z}", "X{ Yz}"},
        // A token whose inner tokens nobody knows ends at the '}' after all of them.
        {"{Upper:a{b{c}d}e}", "A{B{C}D}E"},
        {"{Nobody:a{b{c}d}e}{Copy:!}", "{Nobody:a{b{c}d}e}!"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Expand(in), out) << in;
}

TEST(StringExpand, BuiltinFunctions) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{Substring:1,3,abcdef}", "bc"},
        {"{Substring:2,-1,abcdef}", "cdef"},
        {"{SubCopy:2,100,abcdef}", "cdef"},
        {"{Substring:9,12,abc}", ""},
        {"{Substring:3,1,abcdef}", ""},
        {"{Substring:1,abc}", ""},
        {"{Substring:-5,2,abcdef}", "ab"},
        {"{Replace:a,,banana}", "bnn"},
        {"{Replace:an,AN,banana}", "bANANa"},
        {"{Replace:a,o}", ""},
        {"{Int64Compare:5,>=,5}", "1"},
        {"{Int64Compare:5,!=,4}", "0"},
        {"{Int64Compare:-3,<,2}", "1"},
        {"{Int64Compare:4,==,4}", "1"},
        {"{Int64Compare:4,=,5}", "0"},
        {"{Int64Compare:4,>}", ""},
        {"{UInt64Compare:-1,>,1}", "0"},
        {"{UInt64Compare:18446744073709551615,>,1}", "1"},
        {"{Int32ToHex:1}", "01000000"},
        {"{Int64ToHex:-2}", "FEFFFFFFFFFFFFFF"},
        {"{UInt32ToHex:0x1234}", "34120000"},
        {"{ToHex:AB}", "4142"},
        {"{FromHex:414243}", "ABC"},
        {"{FromHex:41004243}", "A"},
        {"{IndexOf:lo,hello}", "3"},
        {"{LastIndexOf:l,hello}", "3"},
        {"{IndexOf:x,hello}", "-1"},
        {"{IndexOf:,hello}", "0"},
        {"{IndexOf:a,}", "-1"},
        {"{LastIndexOf:,hello}", "5"},
        {"{If:yes,on,off}", "on"},
        {"{If:maybe,on,off}", "off"},
        {"{If:1,a,b,c}", "a"},
        {"{If:0,a,b,c}", "b,c"},
        {"{If:0,a}", ""},
        {"{Equals:ab,ab}", "1"},
        {"{Equals:ab,abc}", "0"},
        {"{Equals:ab}", ""},
        {"{VersionCompare:1.2.3,>,1.2.0}", "1"},
        {"{VersionCompare:1.2.3,<=,1.2.3}", "1"},
        {"{VersionCompare:x,>,1.2.0}", ""},
        {"{Math:mul,6,7}", "42"},
        {"{Math:ADD,-2,5}", "3"},
        {"{Math:division,9,2}", "4"},
        {"{Math:pow,2,3}", ""},
        {"{Add:2,3}", "5"},
        {"{Subtract:2,3}", "-1"},
        {"{Div:7,0}", "0"},
        {"{Mod:7,0}", "0"},
        {"{Mod:7,3}", "1"},
        {"{Div:-9223372036854775808,-1}", "-9223372036854775808"},
        {"{Add:2}", "{Add:2}"},
        {"{Multiply:2,3}", "{Multiply:2,3}"},
        {"{Math:add,1}", "{Math:add,1}"},
        {"{Trim:  x  }", "x"},
        {"{Trim:-,--x--}", "x"},
        {"{Capitalize:hello}", "Hello"},
        {"{Uncapitalize:HELLO}", "hELLO"},
        {"{Limit:3,abcdef}", "abc"},
        {"{Limit:30,abc}", "abc"},
        {"{Limit:3}", ""},
        {"{Upper:straße}", "STRAßE"},
        {"{TimeStamp:86400}", "19700102000000"},
        {"{This}", ""},
        {"abc{This}", "abcabc"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Expand(in), out) << in;

    // Without their argument the functions that need one are not taken.
    for (const char* name : {"{Upper}", "{Limit}", "{Replace}", "{FromHex}", "{TimeStamp}"})
        EXPECT_EQ(Expand(name), name);

    const std::string random = Expand("{Random}");
    EXPECT_EQ(random.size(), 120u);
    for (char c : random) EXPECT_TRUE(isalnum((unsigned char)c)) << random;
    EXPECT_NE(random, Expand("{Random}"));

    const std::string guid = Expand("{Guid}");
    ASSERT_EQ(guid.size(), 32u);
    for (char c : guid) EXPECT_TRUE(isdigit((unsigned char)c) || (c >= 'a' && c <= 'f')) << guid;

    const int64_t now = atoll(Expand("{Time}").c_str());
    EXPECT_GT(now, 1700000000);
    const int64_t minute = atoll(Expand("{Time60}").c_str());
    EXPECT_EQ(minute % 60, 0);
    EXPECT_LE(now - minute, 61);
}

TEST(StringExpand, PlatformValues) {
    char home[1024] = {};
    ASSERT_EQ(Platform_GetSpecialPath(5, home, sizeof(home)), 1);
    EXPECT_EQ(Expand("{UserHome}/x"), std::string(home) + "/x");
    EXPECT_EQ(Expand("{userhome}"), home);

    char module[1024] = {};
    ASSERT_EQ(Platform_GetSpecialPath(16, module, sizeof(module)), 1);
    const std::string path = module;
    const std::string file = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(Expand("{ModulePath}"), path);
    EXPECT_EQ(Expand("{ModuleFileName}"), file);
    EXPECT_EQ(Expand("{ModuleFileTitle}"), file.substr(0, file.rfind('.') == std::string::npos ? file.size()
                                                                                           : file.rfind('.')));
    EXPECT_EQ(Expand("{ModuleBitness}"), "64");
    EXPECT_EQ(Expand("[{ToolSuffix}]"), "[]");
    EXPECT_EQ(Expand("{LibraryPrefix}x.{LibraryExtension}"), "libx.so");
    EXPECT_EQ(Expand("{ProcessId}"), std::to_string(Platform_GetCurrentProcessId()));
    EXPECT_EQ(Expand("{ModuleElevated}"), getuid() == 0 || geteuid() == 0 ? "1" : "0");

    setenv("QVR_EXPAND_TEST", "value from env", 1);
    EXPECT_EQ(Expand("{Env:QVR_EXPAND_TEST}"), "value from env");
    // An unknown variable and a missing argument are nobody's: the token stays.
    unsetenv("QVR_EXPAND_MISSING");
    EXPECT_EQ(Expand("{Env:QVR_EXPAND_MISSING}"), "{Env:QVR_EXPAND_MISSING}");
    EXPECT_EQ(Expand("{Env}"), "{Env}");
    EXPECT_EQ(Expand("{DiskSerial}{DiskImage}"), "{DiskSerial}{DiskImage}");
    EXPECT_EQ(Expand("{DiskImage:/no/such/path}"), "{DiskImage:/no/such/path}");

    const std::string space = Expand("{DiskSpace:/}");
    EXPECT_FALSE(space.empty());
    EXPECT_GT(atoll(space.c_str()), 0);
    EXPECT_EQ(Expand("{DiskSpace:/no/such/directory/here}"), "");
    EXPECT_GT(atoll(Expand("{CPUCount}").c_str()), 0);
    EXPECT_GT(atoll(Expand("{SystemMemory}").c_str()), 0);
    EXPECT_EQ(Expand("{SystemBitness}"), "64");

    // Values of the other modules' providers.
    EXPECT_EQ(Expand("{ToBase64:abc}"), "YWJj");
    EXPECT_EQ(Expand("{ProductName}"), "Quarvelon Host");
}

TEST(StringExpand, SourcesInOrderAndTheCallerLast) {
    Table table;
    table.values = {{"Mine", "caller value"}, {"Upper", "not asked"}, {"UserHome", "not asked"},
                    {"ToBase64", "not asked"}, {"Empty", ""}};
    EXPECT_EQ(Expand("{Mine}", &table), "caller value");
    EXPECT_EQ(Expand("{Upper:x}", &table), "X");
    EXPECT_NE(Expand("{UserHome}", &table), "not asked");
    EXPECT_EQ(Expand("{ToBase64:abc}", &table), "YWJj");
    EXPECT_EQ(Expand("a{Empty}b", &table), "ab");
    // The argument reaches the callback whole, commas and all; no ':' means no argument.
    table.arguments.clear();
    Expand("{Unknown:a,b:c}{Unknown2}", &table);
    EXPECT_EQ(table.arguments, (std::vector<std::string>{"a,b:c", "(null)"}));
    // A value that begins with a token is expanded in turn.
    table.values["Outer"] = "{Mine}!";
    EXPECT_EQ(Expand("{Outer}", &table), "caller value!");
    // An unresolved inner token stays in the outer one's argument as text.
    EXPECT_EQ(Expand("{Copy:<{Nobody}>}", &table), "<{Nobody}>");
}

TEST(StringExpand, LimitsOfDepthAndSize) {
    // 32 levels of tokens in tokens succeed, 33 fail and leave the text as it was.
    auto nested = [](int levels) {
        std::string text = "x";
        for (int i = 0; i < levels; i++) text = "{Copy:" + text + "}";
        return text;
    };
    int32_t result = -1;
    EXPECT_EQ(Expand(nested(32), nullptr, 8192, &result), "x");
    EXPECT_EQ(result, STRING_EXPAND_OK);
    const std::string tooDeep = nested(33);
    EXPECT_EQ(Expand(tooDeep, nullptr, 8192, &result), tooDeep);
    EXPECT_EQ(result, STRING_EXPAND_FAILED);

    // Ten thousand nested tokens: refused as too deep, never a stack overflow.
    std::string braces;
    for (int i = 0; i < 2000; i++) braces += "{a:";
    braces += "}";
    std::vector<char> buffer(braces.begin(), braces.end());
    buffer.push_back(0);
    EXPECT_EQ(String_ExpandResult(buffer.data(), (int32_t)buffer.size(), nullptr, nullptr), STRING_EXPAND_FAILED);
    EXPECT_TRUE(std::string(buffer.data()) == braces);
    // Ten thousand braces, nested or unbalanced, are more than the work buffer holds: refused whole.
    for (const std::string unit : {"{", "{a", "}", "{a:"}) {
        std::string many;
        for (int i = 0; i < 10000; i++) many += unit;
        std::vector<char> text(many.begin(), many.end());
        text.push_back(0);
        EXPECT_EQ(String_ExpandResult(text.data(), (int32_t)text.size(), nullptr, nullptr), STRING_EXPAND_FAILED);
        EXPECT_TRUE(std::string(text.data()) == many);
    }
    // Unknown tokens nested deeply and repeated at every level are looked at once per level, not
    // once per path through the nesting (which would never finish).
    std::string deep;
    for (int i = 0; i < 30; i++) deep += "{n" + std::to_string(i) + ":";
    deep += "x";
    for (int i = 0; i < 30; i++) deep += "}{u}";
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
    // Unbalanced braces that fit are left as they stand.
    EXPECT_EQ(Expand("{Copy:{Copy:x}"), "{Copy:x");
    EXPECT_EQ(Expand("}}{Upper:a}{{"), "}}A{{");
    // A text longer than the work buffer cannot be expanded whole: refused, never cut.
    std::string longText(9000, 'x');
    longText += "{Copy:y}";
    std::vector<char> longBuffer(longText.begin(), longText.end());
    longBuffer.push_back(0);
    EXPECT_EQ(String_ExpandResult(longBuffer.data(), (int32_t)longBuffer.size(), nullptr, nullptr),
              STRING_EXPAND_FAILED);
    EXPECT_TRUE(std::string(longBuffer.data()) == longText);
    EXPECT_EQ(String_Expand(longBuffer.data(), (int32_t)longBuffer.size(), nullptr, nullptr), 0);

    // A value that would make the text exceed the work buffer fails the whole expansion.
    Table table;
    table.values["Big"] = std::string(8000, 'b');
    const std::string twice = "{Big}{Big}";
    EXPECT_EQ(Expand(twice, &table, 8192, &result), twice);
    EXPECT_EQ(result, STRING_EXPAND_FAILED);
    EXPECT_EQ(Expand("{Big}", &table, 8192, &result), table.values["Big"]);
    EXPECT_EQ(result, STRING_EXPAND_OK);

    // A result longer than the caller's capacity is cut and terminated.
    std::string cut = Expand("{Random}", nullptr, 16, &result);
    EXPECT_EQ(cut.size(), 15u);
    EXPECT_EQ(result, STRING_EXPAND_TRUNCATED);
    char small[16] = "{Random}";
    EXPECT_EQ(String_Expand(small, sizeof(small), nullptr, nullptr), 0);
    EXPECT_EQ(strlen(small), 15u);
}

TEST(StringExpand, ValuesThatExpandIntoEachOtherStop) {
    Table table;
    // Directly, through each other, and growing each round.
    table.values = {{"Self", "{Self}"}, {"A", "{B}"}, {"B", "{A}"}, {"Grow", "x{Grow}"},
                    {"P", "{Q}{Q}"}, {"Q", "{P}"}};
    for (const char* text : {"{Self}", "<{A}>", "{Grow}", "{P}", "{Upper:{A}}"}) {
        int32_t result = -1;
        const std::string out = Expand(text, &table, 8192, &result);
        EXPECT_NE(result, -1) << text;
        EXPECT_LT(table.calls, 200000) << text;
        table.calls = 0;
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
    EXPECT_EQ(std::string(bytes, (size_t)length), std::string("{Copy:a}\0tail", 13)) << "nothing after the NUL is lost";

    auto text = [&](const char* path) {
        char buffer[8192] = {};
        Dictionary_GetStringByPath(dict, path, buffer, sizeof(buffer));
        return std::string(buffer);
    };
    EXPECT_EQ(text("a"), "ABC");
    EXPECT_EQ(text("list[0]"), "in list");
    EXPECT_EQ(text("list[1]"), "{Nobody}");
    EXPECT_EQ(text("long"), std::string(500, 's') + std::string(3000, 'L'));
    Dictionary_Release(&dict);

    Dictionary* empty = nullptr;
    Dictionary_Create(&empty);
    EXPECT_EQ(String_ExpandDictionary(empty, nullptr, nullptr), 1);
    Dictionary_Release(&empty);
}

// Every name any source knows, without an argument, with an empty one and with odd ones: a value
// or the token left alone, never a stop.
TEST(StringExpand, EveryNameTakesAnyArgument) {
    const char* names[] = {
        "ModulePath", "ModuleDirectory", "ModuleLogDirectory", "ModuleFileName", "ModuleFileTitle",
        "ModuleAppPath", "ModuleAppDirectory", "ModuleBitness", "ModuleArchitecture", "ModuleElevated",
        "ModuleDllPath", "ModuleDllDirectory", "WorkingDirectory", "Temp", "AdminTemp", "PipePath",
        "ProgramFiles", "ProgramFiles64", "UserStartMenu", "CommonStartMenu", "UserHome", "UserDocuments",
        "UserDesktop", "CommonDesktop", "UserDownloads", "UserAppData", "UserAppDataLow", "UserAppDataRoaming",
        "CommonAppData", "ToolSuffix", "BundleSuffix", "LibraryPrefix", "LibraryExtension", "SystemShortName",
        "SystemName", "SystemVersion", "SystemDirectory", "SystemDrive", "SystemBitness", "ProcessId",
        "UserName", "UserISO639LangName", "UserISO3166CountryName", "DiskSerial", "DiskImage", "DiskSpace",
        "Env", "DirectXVersion", "OpenGLVersion", "VideoCardType", "VideoCardTypeList", "VideoCardMemory",
        "VideoCardMemoryList", "SystemMemory", "CPUSpeed", "CPUCount", "CPUVendor", "CPUDescription",
        "AntiVirusList", "AntiVirus", "This", "Copy", "SubCopy", "Substring", "Replace", "FromHex", "ToHex",
        "Int32ToHex", "Int64ToHex", "Int64Compare", "UInt32ToHex", "UInt64ToHex", "UInt64Compare", "Limit",
        "Trim", "Upper", "Lower", "Capitalize", "Uncapitalize", "IndexOf", "LastIndexOf", "Random", "Guid",
        "If", "Equals", "VersionCompare", "Math", "Add", "Sub", "Mod", "Div", "CommandLine", "Time", "Time60",
        "TimeStamp", "PathSlash", "PathParse", "PathFix", "PathJoin", "PathToUrl", "PathFromUrl", "FileVersion",
        "ProductVersion", "CompanyName", "ProductName", "Copyright", "DataStore", "FileDataStore", "FromBase64",
        "Base64Decode", "ToBase64", "Base64Encode", "Base64ToHex", "HexToBase64", "ToBase64Url",
        "Base64UrlEncode", "FromBase64Url", "Base64UrlDecode", "CRC", "MD4", "MD5", "SHA1", "SHA256", "Hash",
        "UrlParse", "UrlDecode", "UrlEncode", "UrlQueryEncode", "UrlFix", "UrlJoin", "IntranetIP", "MACAddress",
        "MachineName", "Registry", "HMAC", "HMACSHA1", "HMACSHA256"};
    const char* arguments[] = {nullptr, "", ",", ",,", ",,,", "-1,-1,-1", "x", "%zz", "/", "..,..", "\\"};
    for (const char* name : names) {
        for (const char* argument : arguments) {
            std::string text = std::string("<{") + name + (argument ? std::string(":") + argument : "") + "}>";
            int32_t result = -1;
            const std::string out = Expand(text, nullptr, 8192, &result);
            EXPECT_NE(result, STRING_EXPAND_FAILED) << text;
            EXPECT_EQ(out.substr(0, 1), "<") << text;
        }
    }
}

TEST(StringExpand, NullBufferAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Expand(nullptr, 10, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
