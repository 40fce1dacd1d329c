// The registry task types run through the engine against a preferences store of the test's own:
// keys created, tested, written, read and deleted, with their outcome words, status values, messages
// and error keys; unknown hives; and values one process writes that a second process reads.
#include <climits>
#include <cstdlib>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/oracle_process.h"
#include "tests/support/scoped_env.h"
#include "tests/tasks/data_tasks_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class RegistryTasksTest : public DataTasksTest {
  protected:
    void SetUp() override {
        // A peer process shares the store through the same directory, which it inherits.
        if (!getenv("QVR_REGISTRY_PEER")) SetBothEnv("XDG_CONFIG_HOME", dir.path().c_str());
        DataTasksTest::SetUp();
        Authenticate_SetEnabled(0);
    }
    void TearDown() override {
        DataTasksTest::TearDown();
        Authenticate_SetEnabled(1);
    }
};

TEST_F(RegistryTasksTest, KeysAndValuesAreWrittenTestedReadAndDeleted) {
    Tasks(R"(
        "create": {"type": "RegistryKeyCreate", "hive": "USER", "location": "Soft//Made/"},
        "write": {"type": "RegistryKeyWrite", "hive": "user", "location": "Soft\\App\\.\\Sub",
                  "keyValuePairs": {"name": "{Upper:abc}", "count": 12, "flag": true, "whole": 5.0, "neg": -1.5}},
        "exists": {"type": "RegistryKeyExists", "hive": "user", "location": "Soft/App/Sub", "view": ["64", "32"]},
        "absent": {"type": "RegistryKeyExists", "hive": "user", "location": "Soft/None", "view": ["64", "32"]},
        "made": {"type": "RegistryKeyExists", "hive": "user", "location": "Soft/Made", "view": "odd"},
        "read": {"type": "RegistryKeyRead", "hive": "user", "location": "Soft/App/Sub",
                 "keys": ["name", "count", "flag", "whole", "neg", "gone"]},
        "readOne": {"type": "RegistryKeyRead", "hive": "user", "location": "Soft/App/Sub", "key": "name",
                    "view": ["32"]},
        "onlyIfExists": {"type": "RegistryKeyWrite", "hive": "user", "location": "Soft/App/Sub", "onlyIfExists": true,
                         "keyValuePairs": {"name": "kept", "other": "never", "count": 99}},
        "dropValue": {"type": "RegistryKeyDelete", "hive": "user", "location": "Soft/App/Sub", "value": ["count"]},
        "dropKeys": {"type": "RegistryKeyDelete", "hive": "user", "location": ["Soft/App", "Soft/Made"]},
        "dropAgain": {"type": "RegistryKeyDelete", "hive": "user", "location": "Soft/App"},
        "dropStrict": {"type": "RegistryKeyDelete", "hive": "user", "location": "Soft/App", "failIfMissing": true})");
    EXPECT_EQ(Outcome("create"), "success");
    EXPECT_EQ(Outcome("write"), "success");
    EXPECT_EQ(Errors("write"), "");
    EXPECT_EQ(Outcome("exists"), "exists");
    EXPECT_TRUE(Printed("Checking if registry key exists user/Soft/App/Sub (64)"));
    EXPECT_FALSE(Printed("Checking if registry key exists user/Soft/App/Sub (32)")); // found in the first
    EXPECT_EQ(Outcome("absent"), "missing");
    EXPECT_TRUE(Printed("Checking if registry key exists user/Soft/None (32)"));
    EXPECT_EQ(Outcome("made"), "exists");
    EXPECT_EQ(Outcome("read"), "notRead");
    // Numbers are written as whole numbers (a fraction is dropped), booleans as text.
    EXPECT_EQ(Values("read"),
              R"({"name":"ABC","count":12,"flag":"true","whole":5,"neg":4294967295,"gone":""})");
    EXPECT_EQ(Outcome("readOne"), "read");
    EXPECT_EQ(Outcome("onlyIfExists"), "success");
    EXPECT_TRUE(Printed("Value does not exist, skipping"));
    EXPECT_EQ(Outcome("readOne"), "read");
    EXPECT_EQ(Values("readOne"), R"({"name":"kept"})");
    EXPECT_EQ(Outcome("read"), "notRead");
    EXPECT_EQ(Values("read"), R"({"name":"kept","count":12,"flag":"true","whole":5,"neg":4294967295,"gone":""})");
    EXPECT_EQ(Outcome("dropValue"), "success");
    EXPECT_EQ(Outcome("read"), "notRead");
    EXPECT_EQ(Values("read"), R"({"name":"kept","count":"","flag":"true","whole":5,"neg":4294967295,"gone":""})");
    EXPECT_EQ(Outcome("dropKeys"), "success");
    EXPECT_TRUE(Printed("Erasing registry key user/Soft/App (default)"));
    EXPECT_TRUE(Printed("Erasing registry key user/Soft/Made (default)"));
    EXPECT_EQ(Outcome("exists"), "missing");
    EXPECT_EQ(Outcome("made"), "missing");
    EXPECT_EQ(Outcome("dropAgain"), "success");
    EXPECT_EQ(Outcome("dropStrict"), "failure");
    EXPECT_EQ(Errors("dropStrict"), "Platform_Error_AccessInvalid");
}

TEST_F(RegistryTasksTest, UnknownHivesAndMissingArgumentsFailWithTheirKeys) {
    Tasks(R"(
        "create": {"type": "RegistryKeyCreate", "hive": "unknown", "location": "Soft/X"},
        "write": {"type": "RegistryKeyWrite", "hive": "nowhere", "location": "Soft/X", "key": "a", "value": "b"},
        "exists": {"type": "RegistryKeyExists", "hive": "nowhere", "location": "Soft/X"},
        "read": {"type": "RegistryKeyRead", "hive": "nowhere", "location": "Soft/X", "key": "a"},
        "delete": {"type": "RegistryKeyDelete", "hive": "nowhere", "location": "Soft/X"},
        "noHive": {"type": "RegistryKeyCreate", "location": "Soft/X"},
        "noLocation": {"type": "RegistryKeyExists", "hive": "user"},
        "noKeys": {"type": "RegistryKeyRead", "hive": "user", "location": "Soft/X"},
        "noPairs": {"type": "RegistryKeyWrite", "hive": "user", "location": "Soft/X", "key": "a"})");
    const struct {
        const char* Task;
        const char* Outcome;
        const char* Errors;
        const char* Message;
    } rows[] = {
        {"create", "failure", "RegistryKey_Error_Create", nullptr},
        {"write", "failure", "RegistryKey_Error_Write", nullptr},
        {"exists", "missing", "", nullptr},
        {"read", "notRead", "", nullptr},
        {"delete", "failure", "RegistryKey_Error_Delete", nullptr},
        {"noHive", "failure", "Task_Error_MissingArg", "\"hive\" argument not defined"},
        {"noLocation", "failure", "Task_Error_MissingArg", "\"location\" argument not defined"},
        {"noKeys", "failure", "Task_Error_MissingArg", "key/keys argument not defined"},
        {"noPairs", "failure", "Task_Error_MissingArg", "key/keyValuePairs argument not defined"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Outcome(row.Task), row.Outcome) << row.Task;
        EXPECT_EQ(Errors(row.Task), row.Errors) << row.Task;
        if (row.Message) {
            EXPECT_TRUE(Printed(row.Message)) << row.Task;
        }
    }
}

std::string SelfPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, (size_t)length) : "";
}

// Another process reads what this one wrote, and writes a value this one then reads.
TEST_F(RegistryTasksTest, AnotherProcessSeesTheWritesBothWays) {
    if (getenv("QVR_REGISTRY_PEER")) GTEST_SKIP() << "runs in the first process only";
    Tasks(R"(
        "write": {"type": "RegistryKeyWrite", "hive": "machine", "location": "Shared/Key", "key": "mine",
                  "value": "from first"},
        "read": {"type": "RegistryKeyRead", "hive": "machine", "location": "Shared/Key", "key": "theirs"})");
    ASSERT_EQ(Outcome("write"), "success");
    const std::optional<std::string> peer =
        RunOracle("QVR_REGISTRY_PEER=1 " + SelfPath() + " --gtest_filter=RegistryTasksTest.PeerReadsAndWrites", "");
    ASSERT_TRUE(peer.has_value());
    EXPECT_NE(peer->find("peer read {\"mine\":\"from first\"}"), std::string::npos) << *peer;
    EXPECT_EQ(Outcome("read"), "read");
    EXPECT_EQ(Values("read"), R"({"theirs":"from peer"})");
}

// The second process's half of the test above; skipped when run on its own.
TEST_F(RegistryTasksTest, PeerReadsAndWrites) {
    if (!getenv("QVR_REGISTRY_PEER")) GTEST_SKIP() << "runs as the peer of another test";
    Tasks(R"(
        "read": {"type": "RegistryKeyRead", "hive": "machine", "location": "Shared/Key", "key": "mine"},
        "write": {"type": "RegistryKeyWrite", "hive": "machine", "location": "Shared/Key", "key": "theirs",
                  "value": "from peer"})");
    ASSERT_EQ(Outcome("read"), "read");
    printf("peer read %s\n", Values("read").c_str());
    ASSERT_EQ(Outcome("write"), "success");
}

} // namespace
