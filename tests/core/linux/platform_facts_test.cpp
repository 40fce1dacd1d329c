// Tests of the platform layer's machine facts (system name and version, processor, display
// controllers, disks), window search and sleep prevention against a login manager of our own.
#include "core/linux/platform_facts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/certs/build_info.h"
#include "core/linux/platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

extern char** environ;

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

void MakeTree(const std::string& path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

// ---- System ---------------------------------------------------------------------------------

TEST(PlatformFacts, ShortNameAndNoOpenGL) {
    EXPECT_EQ(Answer(Platform_GetShortName) + Answer(Platform_GetShortName, 3) +
                  Answer(Platform_GetShortName, 0) + Answer(Platform_GetOpenGLVersion),
              "1|linux1|li1|0|");
}

TEST(PlatformFacts, NameAndVersionComeFromOsReleaseAndTheVersionIsKept) {
    TempDir dir;
    const std::string release = dir.file("os-release");
    WriteText(release, "NAME=\"Test OS\"\nVERSION_ID=3.1\n");
    auto result = RunIsolated([&] { return Bind(release, "/etc/os-release"); },
                              [&] {
                                  std::string first =
                                      Answer(Platform_GetName) + " " + Answer(Platform_GetVersion);
                                  // The file changes under the same mount: the name follows, the version not.
                                  WriteText(release, "NAME=Other\nVERSION_ID=4\n");
                                  return first + " " + Answer(Platform_GetName) + " " +
                                         Answer(Platform_GetVersion) + " " + Answer(Platform_GetVersion, 2);
                              });
    if (!result) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(*result, "1|Test OS 1|3.1 1|Other 1|3.1 1|3");

    // Without a version nothing is kept, so a later one is read.
    WriteText(release, "NAME=\"\"\n");
    result = RunIsolated([&] { return Bind(release, "/etc/os-release"); },
                         [&] {
                             std::string first = Answer(Platform_GetName) + " " + Answer(Platform_GetVersion);
                             WriteText(release, "VERSION_ID=\"5 (x)\"\n");
                             return first + " " + Answer(Platform_GetVersion);
                         });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, "0| 0| 1|5 (x)");
}

TEST(PlatformFacts, ProcessorDescriptionIsTheWholeModelName) {
    TempDir dir;
    const std::string cpuinfo = dir.file("cpuinfo");
    WriteText(cpuinfo,
              "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU E5 (v4) "
              "@ 2.20GHz  \nprocessor\t: 1\nmodel name\t: second\n");
    auto result = RunIsolated(
        [&] { return Bind(cpuinfo, "/proc/cpuinfo"); },
        [] { return Answer(Platform_GetCPUDescription) + " " + Answer(Platform_GetCPUDescription, 6); });
    if (!result) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(*result, "1|Intel(R) Xeon(R) CPU E5 (v4) @ 2.20GHz 1|Intel");
    WriteText(cpuinfo, "processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd\n");
    result = RunIsolated([&] { return Bind(cpuinfo, "/proc/cpuinfo"); },
                         [] { return Answer(Platform_GetCPUDescription); });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, "1|");
}

// ---- Display controllers --------------------------------------------------------------------

std::string Cards() {
    std::string out;
    for (int32_t i = -1; i < 4; i++) {
        char name[64];
        memset(name, 'x', sizeof(name));
        uint64_t bytes = 7;
        const int64_t typed = Platform_GetVideoCardType(i, name, sizeof(name));
        const int64_t sized = Platform_GetVideoCardMemory(i, &bytes);
        out += std::to_string(i) + ":" + std::to_string(typed) + "|" + name + "|" + std::to_string(sized) +
               "|" + std::to_string(bytes) + "\n";
    }
    return out;
}

TEST(PlatformFacts, DisplayControllersFromThePciBus) {
    TempDir dir;
    const std::string ids = dir.file("misc");
    MakeTree(ids);
    WriteText(ids + "/pci.ids", "# list\n1002  Advanced Micro Devices\n\t6820  Other\n\t6821  Venus XT\n"
                                "\t\t1002 0001  Sub\n10de  NVIDIA\n\t0001  Not this one\nC 03  Display\n");
    const auto device = [](const std::string& name, const char* cls, const char* vendor, const char* id,
                           const char* resource, const char* vram) {
        const std::string base = "/sys/bus/pci/devices/" + name;
        mkdir(base.c_str(), 0755);
        WriteText(base + "/class", cls);
        WriteText(base + "/vendor", vendor);
        WriteText(base + "/device", id);
        WriteText(base + "/resource", resource);
        if (vram) WriteText(base + "/mem_info_vram_total", vram);
    };
    auto result = RunIsolated(
        [&] {
            if (!EmptyTmpfs("/sys/bus/pci/devices") || !Bind(ids, "/usr/share/misc")) return false;
            const char* none = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
            device("0000:00:01.0", "0x060400\n", "0x8086\n", "0x1111\n", none, nullptr);
            device("0000:03:00.0", "0x030000\n", "0x10de\n", "0x1234\n",
                   "0x00000000f0000000 0x00000000f0ffffff 0x0000000000040200\n"
                   "0x000000000000e000 0x000000000000e07f 0x0000000000040101\n"
                   "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                   "0x00000000e0000000 0x00000000efffffff 0x000000000014220c\n",
                   nullptr);
            device("0000:00:02.0", "0x030000\n", "0x1002\n", "0x6821\n", none, "2147483648\n");
            device("0000:00:04.0", "0x020000\n", "0x1af4\n", "0x1041\n", none, "5\n");
            return true;
        },
        Cards);
    if (!result) GTEST_SKIP() << "no private mount namespace";
    // Bus order; the second controller reports no memory of its own, so each of its two memory
    // ranges counts (the I/O port range does not).
    EXPECT_EQ(*result, "-1:0||0|0\n"
                       "0:1|Advanced Micro Devices Venus XT|1|2147483648\n"
                       "1:1|pci10de,1234|1|16777216\n"
                       "2:0||1|268435456\n"
                       "3:0||0|0\n");
}

// ---- Disks ----------------------------------------------------------------------------------

struct FakeDisk {
    std::string Tree;                                       // the device directory, relative to the fake /sys
    std::vector<std::pair<std::string, std::string>> Files; // relative to the fake /sys
};

std::string DiskFacts(const std::string& path) {
    char serial[64], image[64];
    memset(serial, 'x', sizeof(serial));
    memset(image, 'x', sizeof(image));
    const int64_t s = Platform_GetDiskSerialFromPath(path.c_str(), serial, sizeof(serial));
    const int64_t i = Platform_GetDiskImageFromPath(path.c_str(), image, sizeof(image));
    return std::to_string(s) + "|" + serial + " " + std::to_string(i) + "|" + image;
}

TEST(PlatformFacts, DiskSerialsAndImagesFromTheBlockDevice) {
    TempDir dir;
    const std::string probe = dir.file("probe");
    WriteText(probe, "x");
    struct stat info;
    ASSERT_EQ(stat(probe.c_str(), &info), 0);
    if (major(info.st_dev) == 0) GTEST_SKIP() << "the temporary directory lies on no block device";
    const std::string number = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    const std::string sys = dir.file("sys");
    const struct {
        FakeDisk Disk;
        const char* Expected;
    } cases[] = {
        // A partition of a disk on USB: the USB device's serial number.
        {{"devices/pci0/usb1/1-1/1-1:1.0/host0/target0/0:0:0:0/block/sda/sda1",
          {{"devices/pci0/usb1/1-1/idVendor", "0781\n"},
           {"devices/pci0/usb1/1-1/serial", " 4C530001\n"},
           {"devices/pci0/usb1/1-1/1-1:1.0/host0/target0/0:0:0:0/block/sda/sda1/partition", "1\n"},
           {"devices/pci0/usb1/1-1/1-1:1.0/host0/target0/0:0:0:0/block/sda/serial", "inner\n"}}},
         "1|4C530001 0|"},
        {{"devices/pci0/usb1/1-2/block/sdb", {{"devices/pci0/usb1/1-2/idVendor", "0781\n"}}}, "1| 0|"},
        // A disk's own serial number, or that of its device.
        {{"devices/pci0/virtio1/block/vda", {{"devices/pci0/virtio1/block/vda/serial", "VIRT42\n"}}},
         "1|VIRT42 0|"},
        {{"devices/pci0/nvme/nvme0/nvme0n1", {{"devices/pci0/nvme/nvme0/nvme0n1/device/serial", "S3X  \n"}}},
         "1|S3X 0|"},
        // The unit serial number page of a SCSI disk.
        {{"devices/pci0/ata1/host0/block/sdc",
          {{"devices/pci0/ata1/host0/block/sdc/device/vpd_pg80", std::string("\0\x80\0\x08  WD-123", 12)}}},
         "1|WD-123 0|"},
        // A loop device: no serial number, but its image file.
        {{"devices/virtual/block/loop3",
          {{"devices/virtual/block/loop3/loop/backing_file", "/images/disk.img\n"}}},
         "1| 1|/images/disk.img"},
        {{"devices/virtual/block/loop4/loop4p1",
          {{"devices/virtual/block/loop4/loop4p1/partition", "1\n"},
           {"devices/virtual/block/loop4/loop/backing_file",
            "/a/very/long/path/of/an/image/file/that/does/not/fit/in/the/buffer/of/the/caller.img\n"}}},
         "1| 0|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Disk.Tree);
        auto result = RunIsolated(
            [&] {
                MakeTree(sys + "/" + c.Disk.Tree);
                for (const auto& file : c.Disk.Files) {
                    MakeTree(sys + "/" + file.first.substr(0, file.first.rfind('/')));
                    WriteText(sys + "/" + file.first, file.second);
                }
                return EmptyTmpfs("/sys/dev/block") &&
                       symlink((sys + "/" + c.Disk.Tree).c_str(), ("/sys/dev/block/" + number).c_str()) == 0;
            },
            [&] { return DiskFacts(probe); });
        if (!result) GTEST_SKIP() << "no private mount namespace";
        EXPECT_EQ(*result, c.Expected);
    }
    // A path that does not exist, or lies on no block device.
    EXPECT_EQ(DiskFacts(dir.file("missing")), "0| 0|");
    if (stat("/proc/self", &info) == 0 && major(info.st_dev) == 0) {
        EXPECT_EQ(DiskFacts("/proc/self"), "0| 0|");
    }
}

TEST(PlatformFacts, NoWindowIsFound) {
    uint32_t number = 77;
    EXPECT_EQ(Platform_FindWindow("", "", 1, &number), 0);
    EXPECT_EQ(number, 0u);
    number = 77;
    EXPECT_EQ(Platform_FindWindow(nullptr, "Viewer", 0, &number), 0);
    EXPECT_EQ(number, 0u);
}

// ---- Sleep prevention -----------------------------------------------------------------------

// A private message bus with a login manager of our own that hands out pipe ends as locks.
class FakeSystemBus {
  public:
    ~FakeSystemBus() {
        StopService();
        for (int fd : readEnds_) close(fd);
        if (daemon_ > 0) kill(daemon_, SIGTERM), waitpid(daemon_, nullptr, 0);
    }

    bool Start(const TempDir& dir) {
        const std::string config = dir.file("bus.conf");
        WriteText(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>custom</type><listen>unix:path=" +
                      dir.file("bus") +
                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                      "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                      "<allow receive_sender=\"*\"/></policy></busconfig>\n");
        int fds[2];
        if (access("/usr/bin/dbus-daemon", X_OK) != 0 || pipe(fds) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        std::string configArgument = "--config-file=" + config;
        char program[] = "/usr/bin/dbus-daemon", nofork[] = "--nofork", print[] = "--print-address=3";
        char* argv[] = {program, configArgument.data(), nofork, print, nullptr};
        const int spawned = posix_spawn(&daemon_, program, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // The daemon prints its address once it listens.
        char c;
        while (spawned == 0 && read(fds[0], &c, 1) == 1 && c != '\n') address_ += c;
        close(fds[0]);
        return !address_.empty();
    }

    const std::string& Address() const { return address_; }

    bool StartService() {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_negotiate_fds(bus_, 1) < 0 ||
            sd_bus_start(bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", kVtable, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0)
            return false;
        thread_ = std::thread([this] {
            while (!stop_)
                if (sd_bus_process(bus_, nullptr) <= 0) sd_bus_wait(bus_, 20000);
        });
        return true;
    }

    void StopService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

    // Whether the most recent lock is still held. The bus daemon lets go of its own copy of the
    // descriptor a moment after passing it on: a lock given back shows within the wait, one
    // still held never does.
    bool Held(int32_t waitMs = 200) {
        std::unique_lock<std::mutex> guard(lock_);
        if (readEnds_.empty()) return false;
        pollfd p = {readEnds_.back(), POLLIN, 0};
        guard.unlock();
        return poll(&p, 1, waitMs) == 0;
    }

    std::atomic<bool> Refuse{false};

  private:
    static int Inhibit(sd_bus_message* message, void* user, sd_bus_error* error) {
        FakeSystemBus* self = static_cast<FakeSystemBus*>(user);
        const char *what = "", *who = "", *why = "", *mode = "";
        sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->calls_.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
        if (self->Refuse) return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "refused");
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return -errno;
        self->readEnds_.push_back(ends[0]);
        const int replied = sd_bus_reply_method_return(message, "h", ends[1]);
        close(ends[1]);
        return replied;
    }

    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    pid_t daemon_ = 0;
    std::string address_;
    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> calls_;
    std::vector<int> readEnds_;
};

class SleepPrevention : public ::testing::Test {
  protected:
    TempDir dir;
    FakeSystemBus bus;
    ScopedEnv env{{"DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("none")).c_str()}};
    void TearDown() override { Platform_Remove(); }
    // Starts the platform layer on a bus of our own (with the login manager when service is set),
    // or on none.
    void Start(bool daemon, bool service) {
        if (daemon && !bus.Start(dir)) GTEST_SKIP() << "no message bus daemon";
        if (daemon) env.Set("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
        ASSERT_TRUE(!service || bus.StartService());
        ASSERT_EQ(Platform_Init(), 1);
        TakeLog();
    }
};

TEST_F(SleepPrevention, WithoutASystemBusOrALoginManagerItIsNotProvided) {
    // Before the start there is nothing to do.
    EXPECT_EQ(Platform_PreventSystemSleep(1), 0);
    Platform_SleepCallBack(nullptr, 0, PLATFORM_SLEEP_MESSAGE_CAN_SLEEP, nullptr);
    Start(false, false);
    for (int32_t on : {1, 1, 0}) EXPECT_EQ(Platform_PreventSystemSleep(on), 1);
    EXPECT_NE(TakeLog().find("DEBUG - No system bus: sleep prevention is not available"), std::string::npos);
    Platform_Remove();
    Start(true, false);
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(Platform_PreventSystemSleep(1) + Platform_PreventSystemSleep(1), 2);
    EXPECT_EQ(TakeLog(), "DEBUG - No login manager on the system bus: sleep prevention is not available\n");
}

TEST_F(SleepPrevention, TheLockIsHeldUntilOffAndTakenAgainByOn) {
    Start(true, true);
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(Platform_PreventSystemSleep(1), 1);
    EXPECT_EQ(bus.Calls(),
              std::vector<std::string>{std::string("idle:sleep|") + QVR_BUILD_PRODUCT_NAME +
                                       "|System Activity (PID: " + std::to_string(getpid()) + ")|block"});
    EXPECT_TRUE(bus.Held());
    // Repeated calls only move the deadline.
    EXPECT_EQ(Platform_PreventSystemSleep(1), 1);
    EXPECT_EQ(bus.Calls().size(), 1u);
    // Before the deadline the system's question is refused: the lock stays.
    for (int32_t message :
         {(int32_t)PLATFORM_SLEEP_MESSAGE_CAN_SLEEP, (int32_t)PLATFORM_SLEEP_MESSAGE_WILL_SLEEP, 77})
        Platform_SleepCallBack(GlobalPlatformOSX, 0, message, nullptr);
    EXPECT_TRUE(bus.Held());
    // Off allows sleep at once.
    EXPECT_EQ(Platform_PreventSystemSleep(0), 1);
    EXPECT_FALSE(bus.Held(5000));
    EXPECT_EQ(Platform_PreventSystemSleep(0) + Platform_PreventSystemSleep(1), 2);
    EXPECT_EQ(bus.Calls().size(), 2u);
    EXPECT_TRUE(bus.Held());
    // The end of the platform layer gives the lock back.
    Platform_Remove();
    EXPECT_FALSE(bus.Held(5000));
    EXPECT_EQ(Platform_PreventSystemSleep(1), 0);
}

TEST_F(SleepPrevention, ARefusedLockIsReportedAndAskedForAgain) {
    Start(true, true);
    if (IsSkipped() || HasFatalFailure()) return;
    bus.Refuse = true;
    EXPECT_EQ(Platform_PreventSystemSleep(1) + Platform_PreventSystemSleep(1), 0);
    EXPECT_EQ(bus.Calls().size(), 2u);
    EXPECT_NE(TakeLog().find("DEBUG - Unable to take the sleep inhibitor lock (refused)\n"),
              std::string::npos);
    bus.Refuse = false;
    EXPECT_EQ(Platform_PreventSystemSleep(1), 1);
    EXPECT_TRUE(bus.Held());
}

} // namespace
