#include "core/platform/file_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

std::string Content(size_t size) {
    std::string text(size, 0);
    for (size_t i = 0; i < size; i++) text[i] = (char)(i * 7 + i / 251);
    return text;
}

class FileMapTest : public ::testing::Test {
  protected:
    TempDir dir;
    File* file = nullptr;
    FileMap* map = nullptr;
    void SetUp() override {
        ASSERT_EQ(File_Create(&file), 1);
        ASSERT_EQ(FileMap_Create(&map), 1);
        TakeLog();
    }
    void TearDown() override {
        if (map) FileMap_Release(&map);
        if (file) File_Release(&file);
    }
    void Open(const std::string& content, FileOpenFlags flags = FILE_READ) {
        ASSERT_TRUE(WriteText(dir.file("data"), content, 0600));
        ASSERT_EQ(File_Open(file, dir.file("data").c_str(), flags), 1);
    }
    std::string View() {
        const void* pointer = nullptr;
        uint64_t size = 0;
        if (!FileMap_GetPointer(map, &pointer, &size)) return "<none>";
        std::string text(static_cast<const char*>(pointer), size);
        FileMap_ReleasePointer(map, &pointer);
        return text;
    }
};

} // namespace

TEST_F(FileMapTest, MapsTheWholeFileReadOnlyAndKeepsThePosition) {
    // Sizes around the page and read-chunk boundaries.
    for (size_t size : {1u, 4095u, 4096u, 4097u, (1u << 20) + 3u}) {
        const std::string content = Content(size);
        Open(content);
        ASSERT_EQ(File_Seek(file, 3, SEEK_ORIGIN_BEGIN), 1);
        ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1) << size;
        EXPECT_EQ(FileMap_IsViewMapped(map), 1);
        EXPECT_TRUE(View() == content) << size;
        uint64_t position = 0;
        EXPECT_EQ(File_Tell(file, &position), 1);
        EXPECT_EQ(position, 3u);
        EXPECT_EQ(FileMap_UnmapViewOfFile(map), 1);
        EXPECT_EQ(FileMap_IsViewMapped(map), 0);
        ASSERT_EQ(File_Close(file), 1);
    }
    EXPECT_EQ(TakeLog(), "");
}

TEST_F(FileMapTest, TheViewCannotBeWritten) {
    Open("read only");
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    const void* pointer = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(FileMap_GetPointer(map, &pointer, &size), 1);
    char* writable = const_cast<char*>(static_cast<const char*>(pointer));
    EXPECT_DEATH(writable[0] = 'X', "");
    FileMap_ReleasePointer(map, &pointer);
}

TEST_F(FileMapTest, EmptyAndUnreadableFilesMapNothing) {
    struct {
        const char* name;
        FileOpenFlags flags;
    } cases[] = {{"empty", FILE_READ}, {"write only", FILE_WRITE}};
    for (const auto& c : cases) {
        Open(c.flags == FILE_READ ? "" : "content", c.flags);
        EXPECT_EQ(FileMap_MapViewOfFile(map, file), 0) << c.name;
        EXPECT_EQ(FileMap_IsViewMapped(map), 0) << c.name;
        EXPECT_EQ(View(), "<none>") << c.name;
        ASSERT_EQ(File_Close(file), 1);
    }
    // A closed File.
    EXPECT_EQ(FileMap_MapViewOfFile(map, file), 0);
    EXPECT_EQ(FileMap_IsViewMapped(map), 0);
    // A device that reports no size: nothing to map, and no endless read.
    ASSERT_EQ(File_Open(file, "/dev/zero", FILE_READ), 1);
    EXPECT_EQ(FileMap_MapViewOfFile(map, file), 0);
    EXPECT_EQ(FileMap_IsViewMapped(map), 0);
}

TEST_F(FileMapTest, FileOpenedEmptyMapsItsCurrentContent) {
    ASSERT_EQ(File_Open(file, dir.file("new").c_str(), FILE_READ | FILE_WRITE), 1);
    uint64_t openSize = 1;
    File_GetFilesizeBytes(file, &openSize);
    ASSERT_EQ(openSize, 0u);
    uint32_t written = 0;
    ASSERT_EQ(File_Write(file, "written later", 13, &written), 1);
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    EXPECT_EQ(View(), "written later");
}

TEST_F(FileMapTest, SizeIsTheOneSeenAtOpenUnlessTheFileShrank) {
    // Grown since the open: only the bytes it had then.
    Open("12345");
    int fd = open(dir.file("data").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "67890", 5), 5);
    close(fd);
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    EXPECT_EQ(View(), "12345");
    FileMap_UnmapViewOfFile(map);
    File_Close(file);

    // Shrunk since the open: only what it still holds.
    const std::string content = Content(3 * 4096 + 10);
    Open(content);
    ASSERT_EQ(truncate(dir.file("data").c_str(), 5000), 0);
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    EXPECT_TRUE(View() == content.substr(0, 5000));
    FileMap_UnmapViewOfFile(map);
    File_Close(file);

    // Emptied since the open: nothing to map.
    Open(content);
    ASSERT_EQ(truncate(dir.file("data").c_str(), 0), 0);
    EXPECT_EQ(FileMap_MapViewOfFile(map, file), 0);
    EXPECT_EQ(FileMap_IsViewMapped(map), 0);
}

TEST_F(FileMapTest, ViewSurvivesTheFileBeingCutAndRewritten) {
    const std::string content = Content(4 * 4096);
    Open(content);
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    const void* pointer = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(FileMap_GetPointer(map, &pointer, &size), 1);
    ASSERT_EQ(size, content.size());
    // Reading pages of a file cut under a mapping would stop the process; the view stays whole.
    ASSERT_EQ(truncate(dir.file("data").c_str(), 0), 0);
    EXPECT_TRUE(std::string(static_cast<const char*>(pointer), size) == content);
    ASSERT_TRUE(WriteText(dir.file("data"), std::string(content.size(), 'x'), 0600));
    EXPECT_TRUE(std::string(static_cast<const char*>(pointer), size) == content);
    EXPECT_EQ(FileMap_ReleasePointer(map, &pointer), 1);
}

TEST_F(FileMapTest, PointersKeepTheMapAlive) {
    Open("alive");
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);

    // No view: no pointer and no reference.
    FileMap* empty = nullptr;
    FileMap_Create(&empty);
    const void* pointer = reinterpret_cast<const void*>(1);
    uint64_t size = 7;
    EXPECT_EQ(FileMap_GetPointer(empty, &pointer, &size), 0);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Class_HasOneRef(empty), 1);
    EXPECT_EQ(FileMap_UnmapViewOfFile(empty), 1);
    EXPECT_EQ(FileMap_UnmapViewOfFile(empty), 1);
    // Giving back a pointer that was never handed out drops no reference.
    EXPECT_EQ(FileMap_ReleasePointer(empty, &pointer), 1);
    EXPECT_EQ(Class_HasOneRef(empty), 1);
    FileMap_Release(&empty);
    EXPECT_EQ(empty, nullptr);

    ASSERT_EQ(FileMap_GetPointer(map, &pointer, &size), 1);
    EXPECT_EQ(Class_HasOneRef(map), 0);
    // The view cannot go while a pointer to it is out.
    EXPECT_EQ(FileMap_UnmapViewOfFile(map), 0);
    EXPECT_EQ(FileMap_IsViewMapped(map), 1);

    // The creator lets go; the holder of the pointer still reads, and its release is the last.
    FileMap* held = map;
    FileMap_Release(&map);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(pointer), size), "alive");
    TakeLog();
    EXPECT_EQ(FileMap_ReleasePointer(held, &pointer), 1);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_NE(TakeLog().find("View not properly unmapped on delete\n"), std::string::npos);
}

TEST_F(FileMapTest, UnmapAndDelete) {
    Open("content");
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    const void* pointer = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(FileMap_GetPointer(map, &pointer, &size), 1);
    EXPECT_EQ(FileMap_ReleasePointer(map, &pointer), 1);
    EXPECT_EQ(Class_HasOneRef(map), 1);
    EXPECT_EQ(FileMap_UnmapViewOfFile(map), 1);
    EXPECT_EQ(FileMap_UnmapViewOfFile(map), 1);
    // Mapped again after an unmap, then deleted with the view still mapped.
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    TakeLog();
    EXPECT_EQ(FileMap_Delete(&map), 1);
    EXPECT_EQ(map, nullptr);
    EXPECT_NE(TakeLog().find("View not properly unmapped on delete\n"), std::string::npos);

    // Without a view the delete is silent.
    ASSERT_EQ(FileMap_Create(&map), 1);
    EXPECT_EQ(FileMap_Delete(&map), 1);
    EXPECT_EQ(TakeLog(), "");
}

TEST_F(FileMapTest, MisuseStopsTheProcess) {
    Open("content");
    ASSERT_EQ(FileMap_MapViewOfFile(map, file), 1);
    const std::string path = File_GetPathPtr(file);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            FileMap_MapViewOfFile(map, file);
        },
        AbortRegex(
            "Assertion failed (FileMap->View == NULL)\nPrevious view of file must be unmapped before mapping "
            "new view of file [" +
            path + "]\n"));
}
