// Tests of task type lists: duplicates, lookup without case, first-added wins, cut names, the
// remove callback, and the built-in records, which fail plainly until their types exist.
#include "tests/workflow/task_fixture.h"
#include "workflow/task_type.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

int64_t CreateA(void** instance, Task*) {
    *instance = nullptr;
    return 1;
}
int64_t CreateB(void** instance, Task*) {
    *instance = nullptr;
    return 1;
}
int64_t AddRefNone(void*) {
    return 1;
}
int64_t ReleaseNone(void** instance) {
    *instance = nullptr;
    return 1;
}

class TaskTypeListTest : public TaskTest {
  public:
    TaskTypeList* list = nullptr;
    std::vector<std::string> removed;

  protected:

    static int64_t OnRemove(void* user, const TaskInterface* record) {
        static_cast<TaskTypeListTest*>(user)->removed.push_back(record->Name);
        return 1;
    }

    void SetUp() override {
        TaskTest::SetUp();
        ASSERT_EQ(TaskTypeList_Create(&list), 1);
        TaskTypeList_SetRemoveCallback(list, this, OnRemove);
    }
    void TearDown() override {
        if (list) TaskTypeList_Release(&list);
        TaskTest::TearDown();
    }

    const TaskInterface* Find(const char* name) {
        const TaskInterface* record = reinterpret_cast<const TaskInterface*>(1);
        if (!TaskTypeList_Find(list, name, &record)) {
            EXPECT_EQ(record, nullptr);
            return nullptr;
        }
        return record;
    }
};

TEST_F(TaskTypeListTest, SameRecordTwiceIsOneEntry) {
    TaskInterface record = {"Probe", CreateA, AddRefNone, ReleaseNone};
    EXPECT_EQ(TaskTypeList_Add(list, &record), 1);
    EXPECT_EQ(TaskTypeList_Add(list, &record), 1);
    // A copy at another address with equal fields is the same record.
    TaskInterface copy = record;
    EXPECT_EQ(TaskTypeList_Add(list, &copy), 1);
    EXPECT_EQ(TaskTypeList_Remove(list, &record), 1);
    EXPECT_EQ(Find("Probe"), nullptr);
    EXPECT_EQ(TaskTypeList_Remove(list, &record), 0);
    EXPECT_EQ(removed, std::vector<std::string>{"Probe"});
}

TEST_F(TaskTypeListTest, FindIgnoresAsciiCaseOnly) {
    TaskTypeList_AddDefaultTasks(list);
    const TaskInterface* found = Find("filecopy");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->Name, "FileCopy");
    EXPECT_EQ(found->Create, GlobalDefaultTaskInterfaces[24]->Create);
    ASSERT_NE(Find("FILEHASH"), nullptr);
    EXPECT_STREQ(Find("FILEHASH")->Name, "FileHash");
    EXPECT_EQ(Find("FileCop"), nullptr);
    EXPECT_EQ(Find("FileCopyX"), nullptr);
    EXPECT_EQ(Find(""), nullptr);
    TaskTypeList_RemoveDefaultTasks(list);
}

TEST_F(TaskTypeListTest, DefaultsAddedAndRemovedLeaveTheListEmpty) {
    EXPECT_EQ(TaskTypeList_AddDefaultTasks(list), 1);
    EXPECT_EQ(TaskTypeList_AddDefaultTasks(list), 1); // again: no second set
    EXPECT_EQ(TaskTypeList_RemoveDefaultTasks(list), 1);
    ASSERT_EQ(removed.size(), 76u);
    for (int32_t i = 0; i < (int32_t)TASKTYPE_DEFAULT_COUNT; i++) {
        EXPECT_EQ(removed[i], GlobalDefaultTaskInterfaces[TASKTYPE_DEFAULT_COUNT - 1 - i]->Name) << i;
        EXPECT_EQ(Find(GlobalDefaultTaskInterfaces[i]->Name), nullptr) << i;
    }
    EXPECT_EQ(removed.front(), "WorkflowRun");
    EXPECT_EQ(removed.back(), "InteropLoad");
}

TEST_F(TaskTypeListTest, FirstAddedOfOneNameWins) {
    TaskInterface first = {"Shared", CreateA, AddRefNone, ReleaseNone};
    TaskInterface second = {"shared", CreateB, AddRefNone, ReleaseNone};
    TaskTypeList_Add(list, &first);
    TaskTypeList_Add(list, &second);
    ASSERT_NE(Find("SHARED"), nullptr);
    EXPECT_EQ(Find("SHARED")->Create, CreateA);
    // Both are kept: the second shows once the first has gone.
    EXPECT_EQ(TaskTypeList_RemoveByName(list, "shared"), 1);
    ASSERT_NE(Find("Shared"), nullptr);
    EXPECT_EQ(Find("Shared")->Create, CreateB);
    EXPECT_EQ(TaskTypeList_RemoveByName(list, "Shared"), 1);
    EXPECT_EQ(TaskTypeList_RemoveByName(list, "Shared"), 0);
    EXPECT_EQ(removed, (std::vector<std::string>{"Shared", "shared"}));
}

TEST_F(TaskTypeListTest, LongNameIsCutTo39Characters) {
    std::string name(45, 'x');
    for (size_t i = 0; i < name.size(); i++) name[i] = (char)('a' + i % 26);
    TaskInterface record = {nullptr, CreateA, AddRefNone, ReleaseNone};
    {
        std::string scratch = name; // the list must not keep the caller's text
        record.Name = scratch.c_str();
        TaskTypeList_Add(list, &record);
        TaskTypeList_Add(list, &record);
        scratch.assign(scratch.size(), '#');
    }
    EXPECT_EQ(Find(name.c_str()), nullptr);
    EXPECT_EQ(Find(name.substr(0, 38).c_str()), nullptr);
    const TaskInterface* found = Find(name.substr(0, 39).c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found->Name), name.substr(0, 39));
    record.Name = name.c_str();
    EXPECT_EQ(TaskTypeList_Remove(list, &record), 1); // matched by its stored form
    EXPECT_EQ(removed.size(), 1u);
    EXPECT_EQ(Find(name.substr(0, 39).c_str()), nullptr);
}

TEST_F(TaskTypeListTest, RemoveMatchesEveryField) {
    TaskInterface record = {"Probe", CreateA, AddRefNone, ReleaseNone};
    TaskTypeList_Add(list, &record);
    TaskInterface other[] = {{"Probe", CreateB, AddRefNone, ReleaseNone},
                             {"Probe", CreateA, nullptr, ReleaseNone},
                             {"Probe", CreateA, AddRefNone, nullptr},
                             {"probe", CreateA, AddRefNone, ReleaseNone}};
    for (const TaskInterface& candidate : other) EXPECT_EQ(TaskTypeList_Remove(list, &candidate), 0);
    EXPECT_NE(Find("Probe"), nullptr);
    EXPECT_TRUE(removed.empty());
}

TEST_F(TaskTypeListTest, ReleaseEmptiesThroughTheCallbackInOrder) {
    TaskInterface a = {"A", CreateA, AddRefNone, ReleaseNone};
    TaskInterface b = {"B", CreateA, AddRefNone, ReleaseNone};
    TaskInterface c = {"C", CreateA, AddRefNone, ReleaseNone};
    for (TaskInterface* record : {&a, &b, &c}) TaskTypeList_Add(list, record);
    TaskTypeList_AddRef(list);
    TaskTypeList* second = list;
    TaskTypeList_Release(&second);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(removed.empty());
    TaskTypeList_Release(&list);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(removed, (std::vector<std::string>{"A", "B", "C"}));
}

// A callback that removes another entry while one is being removed.
TEST_F(TaskTypeListTest, CallbackMayEditTheList) {
    static TaskTypeList* target;
    target = list;
    TaskTypeList_SetRemoveCallback(list, this, [](void* user, const TaskInterface* record) -> int64_t {
        static_cast<TaskTypeListTest*>(user)->removed.push_back(record->Name);
        TaskTypeList_RemoveByName(target, record->Name);
        TaskTypeList_RemoveByName(target, "B");
        return 1;
    });
    TaskInterface a = {"A", CreateA, AddRefNone, ReleaseNone};
    TaskInterface b = {"B", CreateA, AddRefNone, ReleaseNone};
    TaskTypeList_Add(list, &a);
    TaskTypeList_Add(list, &b);
    EXPECT_EQ(TaskTypeList_Reset(list), 1);
    EXPECT_EQ(removed, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(Find("A"), nullptr);
    EXPECT_EQ(Find("B"), nullptr);
}

// The built-in records name their types in table order, share the Create of their group's first
// name, and refuse to bind until the type exists.
TEST_F(TaskTypeListTest, DefaultRecords) {
    const char* const spotChecks[][2] = {{"InteropLoad", nullptr}, {"Error", "End"},
                                         {"Shutdown", "End"},       {"EnvironmentSet", "Environment"},
                                         {"RepositorySync", "RepositoryCheck"},
                                         {"RepositoryErase", "RepositoryCheck"},
                                         {"ProcessOpen", "Open"},    {"ProcessIsOpen", "ProgramIsOpen"},
                                         {"ProcessClose", "ProgramClose"}, {"WorkflowRun", nullptr}};
    TaskTypeList_AddDefaultTasks(list);
    for (const auto& check : spotChecks) {
        const TaskInterface* record = Find(check[0]);
        ASSERT_NE(record, nullptr) << check[0];
        if (check[1]) {
            ASSERT_NE(Find(check[1]), nullptr);
            EXPECT_EQ(record->Create, Find(check[1])->Create) << check[0];
        }
    }
    EXPECT_STREQ(GlobalDefaultTaskInterfaces[0]->Name, "InteropLoad");
    EXPECT_STREQ(GlobalDefaultTaskInterfaces[24]->Name, "FileCopy");
    EXPECT_STREQ(GlobalDefaultTaskInterfaces[75]->Name, "WorkflowRun");
    // Types of different groups have their own Create.
    EXPECT_NE(Find("FileCopy")->Create, Find("FileMove")->Create);
    EXPECT_NE(Find("Open")->Create, Find("ProgramIsOpen")->Create);
    for (const TaskInterface* record : GlobalDefaultTaskInterfaces) {
        EXPECT_TRUE(record->Name && record->Create && record->AddRef && record->Release) << record->Name;
    }

    Task* task = Load(R"({"copy": {"type": "FileCopy"}})", "copy");
    EXPECT_EQ(Task_SetInterface(task, Find("ProcessClose")), 0);
    void* instance = reinterpret_cast<void*>(1);
    EXPECT_EQ(Task_GetInterfaceHandle(task, &instance), 0);
    EXPECT_EQ(instance, nullptr);
    EXPECT_TRUE(Printed("Task type (ProcessClose) is not available yet"));
    Task_SetInterface(task, nullptr);
    TaskTypeList_RemoveDefaultTasks(list);
}

TEST_F(TaskTypeListTest, WrongHandleStops) {
    const TaskInterface* record = nullptr;
    EXPECT_DEATH((InstallTestAbortHook(), TaskTypeList_Find(nullptr, "x", &record)),
                 AbortRegex("Pointer is NULL\n"));
    Task* task = nullptr;
    Task_Create(&task);
    tasks.push_back(task);
    EXPECT_DEATH((InstallTestAbortHook(),
                  TaskTypeList_Add(reinterpret_cast<TaskTypeList*>(task), GlobalDefaultTaskInterfaces[0])),
                 "ABORT - Class mismatch pointer \\(0x.*: expected 0x22f704cd but was 0xbfff2674\\)");
}

} // namespace

TEST(TaskTypeRegistration, ALibraryRecordTakesTheBuiltInEntryOfItsName) {
    const TaskInterface* original = GlobalDefaultTaskInterfaces[9];
    ASSERT_STREQ(original->Name, "Sleep");
    const TaskInterface mine = {"sleep", original->Create, original->AddRef, original->Release};
    EXPECT_EQ(TaskType_RegisterDefault(&mine), 1);
    EXPECT_EQ(GlobalDefaultTaskInterfaces[9], &mine);
    const TaskInterface stranger = {"NoSuchType", original->Create, original->AddRef, original->Release};
    EXPECT_EQ(TaskType_RegisterDefault(&stranger), 0);
    EXPECT_EQ(TaskType_RegisterDefault(original), 1);
    EXPECT_EQ(GlobalDefaultTaskInterfaces[9], original);
}
