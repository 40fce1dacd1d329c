// The Macro task type in a real workflow: one macro, several, a fetched document's items, global
// macros, and a definition that names none.
#include "tests/workflow/document_peer.h"
#include "core/runtime/string.h"
#include "workflow/macro.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DocumentEnvironment);

class MacroTest : public FetchingTest {
  protected:
    std::string Expanded(const char* text) {
        char buffer[256];
        String_CopyLength(buffer, text, sizeof(buffer));
        Workflow_ExpandString(workflow, buffer, sizeof(buffer));
        return buffer;
    }
};

TEST_F(MacroTest, ArgumentsBecomeWorkflowMacros) {
    Workflow_AddMacro(workflow, "base", "/opt");
    Define(R"({"one": {"type": "Macro", "key": "dir", "value": "{base}/app"},
               "many": {"type": "Macro", "keyValuePairs": {"x": "1", "y": "{base}"}},
               "both": {"type": "Macro", "key": "k", "value": 5, "keyValuePairs": {"z": "last"}}})");
    EXPECT_NE(NetRun("one").find(R"("successful":true)"), std::string::npos);
    EXPECT_EQ(Expanded("{dir}"), "/opt/app");
    // The macro is published under its own name.
    EXPECT_EQ(StatusesWith("dir").back(), R"({"dir":"/opt/app"})");
    NetRun("many");
    EXPECT_EQ(Expanded("{x}-{y}"), "1-/opt");
    EXPECT_EQ(StatusesWith("x").back(), R"({"x":"1","y":"/opt"})");
    NetRun("both");
    EXPECT_EQ(Expanded("{k}{z}"), "5last");
}

TEST_F(MacroTest, FetchedDocumentsAndGlobalMacros) {
    peer->Put("macros.json", R"({"host": "example", "port": "80"})");
    Define(("{\"fetch\": {\"type\": \"Macro\", \"authenticate\": false, \"url\": \"" + peer->Url("macros.json") +
            R"("}, "global": {"type": "Macro", "global": true, "key": "g", "value": "v"},
               "none": {"type": "Macro"},
               "missing": {"type": "Macro", "authenticate": false, "url": ")" +
            peer->Url("absent.json") + "\"}}")
               .c_str());
    EXPECT_NE(NetRun("fetch").find(R"("successful":true)"), std::string::npos);
    EXPECT_EQ(Expanded("{host}:{port}"), "example:80");

    EXPECT_NE(NetRun("global").find(R"("successful":true)"), std::string::npos);
    EXPECT_TRUE(Printed("Adding macro g=v (global)"));
    EXPECT_EQ(Expanded("{g}"), "{g}");

    const std::string none = NetRun("none");
    EXPECT_NE(none.find("Task_Error_MissingArg"), std::string::npos) << none;
    EXPECT_TRUE(Printed("key/keyValuePairs argument not defined"));

    // A failed fetch adds nothing and fails with the request's own error.
    const std::string missing = NetRun("missing");
    EXPECT_NE(missing.find(R"("successful":false)"), std::string::npos) << missing;
}

} // namespace
