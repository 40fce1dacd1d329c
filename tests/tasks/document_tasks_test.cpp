// The data-document task types run through the engine: values written into JSON, XML, property-list
// and INI files and read back by key path, with their outcome words, status values and error keys,
// the written files checked with Python's json and plistlib and with xmllint, and bad documents and
// key paths that end in an error while the file stays as it was.
#include "tests/support/bounded_wait.h"
#include "tests/support/oracle_process.h"
#include "tests/support/scoped_locale.h"
#include "tests/tasks/data_tasks_fixture.h"
#include "workflow/task_request.h"

namespace {

const bool g_bounded = BoundEveryTest();

std::string Python(const std::string& script) {
    return RunOracle("/usr/bin/python3 -c '" + script + "'", "").value_or("<python failed>");
}

class DocumentTasksTest : public DataTasksTest {
  protected:
    void SetUp() override {
        DataTasksTest::SetUp();
        // A document that cannot be fetched is retried: without long waits here.
        TaskRequest_SetRetryDelayUnit(0.001);
    }
    void TearDown() override {
        TaskRequest_SetRetryDelayUnit(15);
        DataTasksTest::TearDown();
    }
};

TEST_F(DocumentTasksTest, JsonWrittenIntoAMissingFileReadsBackInPythonAndThroughJsonRead) {
    Tasks(R"("write": {"type": "JSONWrite", "path": "{dir}/new/a.json",
          "keyValuePairs": {"flag": true, "n.count": 42, "n.deep.ratio": 0.1, "n.deep.pi": 3.14159265358979,
                            "name": "x {Upper:abc}"}},
        "again": {"type": "JSONWrite", "path": "{dir}/new/a.json", "key": "n.count", "value": -7},
        "read": {"type": "JSONRead", "path": "{dir}/new/a.json", "keys": ["n.deep", "n.none", "name"]},
        "one": {"type": "JSONRead", "path": "{dir}/new/a.json", "key": "n.count"},
        "byUrl": {"type": "JSONRead", "url": "file://{dir}/new/a.json", "authenticate": false, "key": "flag"},
        "text": {"type": "JSONRead", "content": "{\"s\": 5}", "authenticate": false, "key": "s"},
        "content": {"type": "JSONRead", "content": {"a": {"b": [1, 2]}}, "key": "a.b"})");
    EXPECT_EQ(Outcome("write"), "success");
    EXPECT_EQ(Outcome("again"), "success");
    EXPECT_EQ(Python("import json; v = json.load(open(\"" + dir.file("new/a.json") +
                     "\")); print(v == {\"flag\": True, \"n\": {\"count\": -7, \"deep\": {\"ratio\": 0.1, "
                     "\"pi\": 3.14159265358979}}, \"name\": \"x ABC\"})"),
              "True\n");
    EXPECT_EQ(Outcome("read"), "notRead");
    EXPECT_EQ(Values("read"), R"({"deep":{"ratio":0.1,"pi":3.14159265358979},"name":"x ABC"})");
    EXPECT_TRUE(Printed("Key found - n.deep"));
    EXPECT_TRUE(Printed("Key not found - n.none"));
    EXPECT_EQ(Outcome("one"), "read");
    EXPECT_EQ(Values("one"), R"({"count":-7})");
    EXPECT_EQ(Outcome("byUrl"), "read") << Errors("byUrl");
    EXPECT_EQ(Outcome("text"), "read") << Errors("text");
    EXPECT_EQ(Values("text"), R"({"s":5})");
    EXPECT_EQ(Values("byUrl"), R"({"flag":true})");
    EXPECT_EQ(Outcome("content"), "read");
    EXPECT_EQ(Values("content"), R"({"b":[1,2]})");
}

// Where the decimal mark is a comma, a written real is still spelled with a point.
TEST_F(DocumentTasksTest, RealsAreWrittenWithAPointWhereTheDecimalMarkIsAComma) {
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    Tasks(R"("json": {"type": "JSONWrite", "path": "{dir}/a.json", "keyValuePairs": {"r": 0.25, "pi": 3.14159265358979}},
        "xml": {"type": "XMLWrite", "path": "{dir}/a.xml", "keyValuePairs": {"c.-ratio": 2.5e-1}})");
    EXPECT_EQ(Outcome("json"), "success") << Errors("json");
    EXPECT_EQ(Outcome("xml"), "success") << Errors("xml");
    EXPECT_EQ(Python("import json; print(json.load(open(\"" + dir.file("a.json") +
                     "\")) == {\"r\": 0.25, \"pi\": 3.14159265358979})"),
              "True\n");
    EXPECT_EQ(RunOracle("xmllint --xpath 'string(/c/@ratio)' " + dir.file("a.xml"), "").value_or("?"), "0.25\n");
}

// A whole number given as integer text is written as given, whatever its size, where a double
// would round it; any other number as the shortest text of its value.
TEST_F(DocumentTasksTest, JsonWriteKeepsWholeNumbersAsGiven) {
    Tasks(R"("json": {"type": "JSONWrite", "path": "{dir}/a.json", "keyValuePairs": {"id": 76561198000000001,
          "b": 9007199254740993, "c": 9223372036854775807, "d": -123456789012345678901234567890, "e": 0, "f": -0,
          "r": 0.30000000000000004, "t": 1733700000.123456, "x": 1e5, "y": 1.50}})");
    EXPECT_EQ(Outcome("json"), "success") << Errors("json");
    EXPECT_EQ(Python("import json; v = json.load(open(\"" + dir.file("a.json") +
                     "\")); print(v == {\"id\": 76561198000000001, \"b\": 9007199254740993, \"c\": "
                     "9223372036854775807, \"d\": -123456789012345678901234567890, \"e\": 0, \"f\": 0, \"r\": "
                     "0.30000000000000004, \"t\": 1733700000.123456, \"x\": 100000, \"y\": 1.5}, "
                     "[type(v[k]).__name__ for k in \"idbcdefrtxy\" if k in v])"),
              "True ['int', 'int', 'int', 'int', 'int', 'int', 'float', 'float', 'int', 'float']\n");
}

// XMLWrite writes a whole number given as integer text as given too, attribute or element.
TEST_F(DocumentTasksTest, XmlWriteKeepsWholeNumbersAsGiven) {
    Tasks(R"("xml": {"type": "XMLWrite", "path": "{dir}/a.xml", "keyValuePairs": {"c.-id": 76561198000000001,
          "c.n": -9223372036854775809, "c.r": 0.30000000000000004, "c.x": 1e5}})");
    EXPECT_EQ(Outcome("xml"), "success") << Errors("xml");
    EXPECT_EQ(RunOracle("xmllint --xpath 'concat(/c/@id, \" \", /c/n, \" \", /c/r, \" \", /c/x)' " + dir.file("a.xml"), "")
                  .value_or("?"),
              "76561198000000001 -9223372036854775809 0.30000000000000004 100000\n");
}

// A number a YAML document spells otherwise than JSON ("007", "+5", "0x10", "1.50") is written as
// the shortest text of its value, so that the file holds only JSON's own numbers.
TEST_F(DocumentTasksTest, JsonWriteSpellsOtherNumberTextsByTheirValue) {
    ASSERT_TRUE(Define("write:\n  type: JSONWrite\n  path: " + dir.file("y.json") +
                       "\n  keyValuePairs:\n    a: 007\n    b: +5\n    c: 0x10\n    d: 12345678901234567890123\n"
                       "    e: 1.50\n    f: -0\n    g: 00.5e1\n"));
    EXPECT_EQ(Outcome("write"), "success") << Errors("write");
    EXPECT_EQ(Python("import json; print(open(\"" + dir.file("y.json") + "\").read().split())"),
              "['{', '\"a\":', '7,', '\"b\":', '5,', '\"c\":', '16,', '\"d\":', '12345678901234567890123,', "
              "'\"e\":', '1.5,', '\"f\":', '-0,', '\"g\":', '5', '}']\n");
}

// A reader cancelled while its document is fetched ends once, cancelled, and runs no outcome word
// when the document arrives.
TEST_F(DocumentTasksTest, CancelledWhileItsDocumentIsFetched) {
    ASSERT_TRUE(WriteText(dir.file("a.xml"), "<a>1</a>"));
    Tasks(R"("fetch": {"type": "XMLRead", "url": "file://{dir}/a.xml", "key": "a"})");
    started.clear();
    Start("fetch");
    ASSERT_TRUE(PumpUntil([&] { return Started("fetch"); }));
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(workflow, "fetch", &task), 1);
    ASSERT_EQ(Task_Cancel(task), 1);
    Pump(50);
    Run run = Result("fetch");
    EXPECT_TRUE(run.cancelled);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_FALSE(Started("m_read") || Started("m_notRead") || Started("m_failure"));
}

TEST_F(DocumentTasksTest, BadDocumentsAndKeyPathsEndInTheirErrorAndLeaveTheFile) {
    const std::string broken = "{\"a\": 1,";
    const std::string scalar = "{\"a\": \"text\"}";
    const std::string list = "[1, 2]";
    ASSERT_TRUE(WriteText(dir.file("broken.json"), broken));
    ASSERT_TRUE(WriteText(dir.file("scalar.json"), scalar));
    ASSERT_TRUE(WriteText(dir.file("list.json"), list));
    Tasks(R"(
        "readBroken": {"type": "JSONRead", "path": "{dir}/broken.json", "key": "a"},
        "readMissing": {"type": "JSONRead", "path": "{dir}/none.json", "key": "a"},
        "readThrough": {"type": "JSONRead", "path": "{dir}/scalar.json", "key": "a.b"},
        "readNothing": {"type": "JSONRead", "key": "a"},
        "readNoKey": {"type": "JSONRead", "path": "{dir}/scalar.json"},
        "writeBroken": {"type": "JSONWrite", "path": "{dir}/broken.json", "key": "b", "value": 1},
        "writeThrough": {"type": "JSONWrite", "path": "{dir}/scalar.json", "keyValuePairs": {"z": 1, "a.b": 2},},
        "writeList": {"type": "JSONWrite", "path": "{dir}/list.json", "key": "b", "value": 1},
        "writeNoValue": {"type": "JSONWrite", "path": "{dir}/scalar.json", "key": "b"},
        "writeNoPath": {"type": "JSONWrite", "key": "b", "value": 1},
        "writeUnder": {"type": "JSONWrite", "path": "{dir}/scalar.json/x.json", "key": "b", "value": 1})");
    const struct {
        const char* Task;
        const char* Outcome;
        const char* Errors;
        const char* Message;
    } rows[] = {
        {"readBroken", "failure", "Json_Error_Open", nullptr},
        {"readMissing", "failure", "Json_Error_Open", nullptr},
        {"readThrough", "notRead", "", "Key not found - a.b"},
        {"readNothing", "failure", "Task_Error_MissingArg", "path/content argument not defined"},
        {"readNoKey", "failure", "Task_Error_MissingArg", "key/keys argument not defined"},
        {"writeBroken", "failure", "Json_Error_Open", nullptr},
        {"writeThrough", "failure", "Json_Error_Write", nullptr},
        {"writeList", "failure", "Json_Error_Write", nullptr},
        {"writeNoValue", "failure", "Task_Error_MissingArg", "key/keyValuePairs argument not defined"},
        {"writeNoPath", "failure", "Task_Error_MissingArg", "\"path\" argument not defined"},
        {"writeUnder", "failure", "Json_Error_Save", nullptr},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Outcome(row.Task), row.Outcome) << row.Task;
        EXPECT_EQ(Errors(row.Task), row.Errors) << row.Task;
        if (row.Message) {
            EXPECT_TRUE(Printed(row.Message)) << row.Task;
        }
    }
    EXPECT_EQ(ReadFile(dir.file("broken.json")), broken);
    EXPECT_EQ(ReadFile(dir.file("scalar.json")), scalar);
    EXPECT_EQ(ReadFile(dir.file("list.json")), list);
}

// Documents that do not parse (or hold a number that is not one) give the format's open error to a
// writer, which then leaves the file exactly as it was, and to a reader; one fetched by URL fails
// with the loader's error instead. A key path through a text element is a write error.
TEST_F(DocumentTasksTest, EveryFormatRefusesADocumentThatDoesNotParseAndKeepsIt) {
    const struct {
        const char* File;
        const char* Text;
    } files[] = {
        {"bad.xml", "<a><b></a>"},
        {"bad.plist", "<plist><dict><key>a</key></dict></plist>"},
        {"nan.plist", "<plist><dict><key>a</key><integer>12x</integer></dict></plist>"},
        {"bad.ini", "[main\r\nname=1\r\n"},
        {"text.xml", "<a><b>t</b></a>"},
    };
    for (const auto& f : files) ASSERT_TRUE(WriteText(dir.file(f.File), f.Text));
    Tasks(R"(
        "xmlRead": {"type": "XMLRead", "path": "{dir}/bad.xml", "key": "a"},
        "xmlMissing": {"type": "XMLRead", "url": "file://{dir}/none.xml", "key": "a"},
        "xmlWrite": {"type": "XMLWrite", "path": "{dir}/bad.xml", "key": "a.c", "value": 1},
        "xmlThrough": {"type": "XMLWrite", "path": "{dir}/text.xml", "key": "a.b.c", "value": 1},
        "plistRead": {"type": "PlistRead", "path": "{dir}/bad.plist", "key": "a"},
        "plistNumber": {"type": "PlistRead", "path": "{dir}/nan.plist", "key": "a"},
        "plistWrite": {"type": "PlistWrite", "path": "{dir}/nan.plist", "key": "b", "value": 1},
        "iniRead": {"type": "IniRead", "path": "{dir}/bad.ini", "key": "name"},
        "iniWrite": {"type": "IniWrite", "path": "{dir}/bad.ini", "key": "name", "value": 2},
        "jsonUrl": {"type": "JSONRead", "url": "file://{dir}/none.json", "key": "a"})");
    const struct {
        const char* Task;
        const char* Errors;
    } rows[] = {
        {"xmlRead", "Xml_Error_Syntax"},     {"xmlMissing", "Platform_Error_Missing"},
        {"xmlWrite", "Xml_Error_Open"},      {"plistRead", "Plist_Error_Open"},
        {"plistNumber", "Plist_Error_Open"}, {"plistWrite", "Plist_Error_Open"},
        {"iniRead", "Ini_Error_Open"},       {"iniWrite", "Ini_Error_Open"},
        {"jsonUrl", "Platform_Error_Missing"}, {"xmlThrough", "XML_Error_Write"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Outcome(row.Task), "failure") << row.Task;
        EXPECT_EQ(Errors(row.Task), row.Errors) << row.Task;
    }
    for (const auto& f : files) EXPECT_EQ(ReadFile(dir.file(f.File)), f.Text) << f.File;
    EXPECT_TRUE(Printed("Unable to create key xml [a.b.c]"));
}

TEST_F(DocumentTasksTest, XmlAttributesAndElementsAreWhereXmllintLooksAndXmlReadFindsThem) {
    ASSERT_TRUE(WriteText(dir.file("a.xml"), "<config><server port=\"1\">old</server></config>"));
    Tasks(R"(
        "write": {"type": "XMLWrite", "path": "{dir}/a.xml", "keyValuePairs": {"config.server.-port": 8080,
                  "config.server": "new & <fresh>", "config.flags.debug": true, "config.flags.-ratio": 0.25,
                  "config.empty": ""}},
        "make": {"type": "XMLWrite", "path": "{dir}/b.xml", "key": "root.item.-id", "value": "x"},
        "read": {"type": "XMLRead", "path": "{dir}/a.xml", "keys": ["config.server.-port", "config.flags"]},
        "miss": {"type": "XMLRead", "path": "{dir}/a.xml", "key": "config.nothing"})");
    EXPECT_EQ(Outcome("write"), "success");
    EXPECT_EQ(Errors("write"), "");
    EXPECT_EQ(Outcome("make"), "success");
    ASSERT_TRUE(RunOracle("xmllint --noout " + dir.file("a.xml") + " " + dir.file("b.xml"), "").has_value());
    const struct {
        const char* XPath;
        const char* Value;
    } rows[] = {
        {"string(/config/server/@port)", "8080"},
        {"string(/config/server)", "new & <fresh>"},
        {"string(/config/flags/debug)", "true"},
        {"string(/config/flags/@ratio)", "0.25"},
        {"count(/config/server)", "1"},
        {"count(/config/empty)", "1"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(RunOracle("xmllint --xpath '" + std::string(row.XPath) + "' " + dir.file("a.xml"), "").value_or("?"),
                  std::string(row.Value) + "\n")
            << row.XPath;
    EXPECT_EQ(RunOracle("xmllint --xpath 'string(/root/item/@id)' " + dir.file("b.xml"), "").value_or("?"), "x\n");
    EXPECT_EQ(Outcome("read"), "read");
    EXPECT_EQ(Values("read"), R"({"-port":"8080","flags":{"-ratio":"0.25","debug":"true"}})");
    EXPECT_EQ(Outcome("miss"), "notRead");
    EXPECT_TRUE(Printed("Key not found - config.nothing"));
}

TEST_F(DocumentTasksTest, PlistValuesAreReadByTypeAndWrittenForPlistlib) {
    const std::string path = dir.file("a.plist");
    ASSERT_EQ(Python("import plistlib; open(\"" + path +
                     "\", \"wb\").write(plistlib.dumps({\" name \": \"\\t tabbed \\n\", \"on\": True, \"n\": 12, "
                     "\"r\": 2.5, \"list\": [1], \"d\": {\"in\": \"v\"}}))"),
              "");
    Tasks(R"(
        "read": {"type": "PlistRead", "path": "{dir}/a.plist", "keys": [" name ", "on", "n", "r", "d.in"]},
        "list": {"type": "PlistRead", "path": "{dir}/a.plist", "key": "list"},
        "missing": {"type": "PlistRead", "path": "{dir}/none.plist", "key": "n"},
        "write": {"type": "PlistWrite", "path": "{dir}/a.plist", "keyValuePairs": {"on": false, "n": 13,
                  "r": 0.1, "d.in": " w ", "d.new": "n", "added": "{Lower:ABC}"}},
        "writeThrough": {"type": "PlistWrite", "path": "{dir}/a.plist", "key": "added.x", "value": 1,},
        "writeList": {"type": "PlistWrite", "path": "{dir}/a.plist", "keyValuePairs": {"n": 14, "l": [1]},})");
    EXPECT_EQ(Outcome("read"), "read");
    EXPECT_EQ(Values("read"), R"({" name ":"\t tabbed \n","on":true,"n":12,"r":2.5,"d.in":"v"})");
    EXPECT_TRUE(Printed("Key found - on (true)"));
    EXPECT_TRUE(Printed("Key found - n=12"));
    EXPECT_TRUE(Printed("Key found - r=2.500000"));
    EXPECT_EQ(Outcome("list"), "notRead");
    EXPECT_FALSE(Printed("Key found - list")); // an array is not found, without a message
    EXPECT_FALSE(Printed("Key not found - list"));
    EXPECT_EQ(Outcome("missing"), "failure");
    EXPECT_EQ(Errors("missing"), "Plist_Error_Open");
    EXPECT_EQ(Outcome("write"), "success");
    const std::string written = ReadFile(path);
    for (const char* task : {"writeList", "writeThrough"}) {
        EXPECT_EQ(Outcome(task), "failure") << task;
        EXPECT_EQ(Errors(task), "Plist_Error_Write") << task;
    }
    EXPECT_EQ(ReadFile(path), written);
    EXPECT_EQ(Python("import plistlib; print(plistlib.load(open(\"" + path +
                     "\", \"rb\")) == {\" name \": \"\\t tabbed \\n\", \"on\": False, \"n\": 13, \"r\": 0.1, "
                     "\"list\": [1], \"d\": {\"in\": \" w \", \"new\": \"n\"}, \"added\": \"abc\"} and "
                     "type(plistlib.load(open(\"" + path + "\", \"rb\"))[\"n\"]) is int)"),
              "True\n");
}

TEST_F(DocumentTasksTest, IniSectionsValuesAndUnknownSection) {
    ASSERT_TRUE(WriteText(dir.file("a.ini"), "top=1\r\n[main]\r\nname=old\r\n"));
    Tasks(R"(
        "write": {"type": "IniWrite", "path": "{dir}/a.ini", "section": "main",
                  "keyValuePairs": {"name": "{Upper:new}", "on": true, "count": 3}},
        "read": {"type": "IniRead", "path": "{dir}/a.ini", "section": "main", "keys": ["name", "on", "gone"]},
        "top": {"type": "IniRead", "path": "{dir}/a.ini", "key": "top"},
        "unknown": {"type": "IniRead", "path": "{dir}/a.ini", "section": "nowhere", "key": "name"},
        "noKeys": {"type": "IniRead", "path": "{dir}/a.ini"},
        "noPairs": {"type": "IniWrite", "path": "{dir}/a.ini"})");
    EXPECT_EQ(Outcome("write"), "success");
    EXPECT_TRUE(Printed("Write value name = {Upper:new}"));
    EXPECT_EQ(Outcome("read"), "notRead");
    EXPECT_EQ(Values("read"), R"({"progress":0,"name":"NEW","on":"true","gone":""})");
    EXPECT_TRUE(Printed("Read value gone = "));
    EXPECT_EQ(Outcome("top"), "read");
    EXPECT_EQ(Status("top", "top"), "1");
    EXPECT_EQ(Outcome("unknown"), "notRead");
    EXPECT_EQ(Errors("unknown"), "");
    EXPECT_EQ(Outcome("noKeys"), "failure");
    EXPECT_TRUE(Printed("keys/key argument not defined"));
    Outcome("noPairs");
    EXPECT_EQ(Errors("noPairs"), "Task_Error_MissingArg");
    EXPECT_TRUE(Printed("keyValuePairs/key argument not defined"));
}

} // namespace
