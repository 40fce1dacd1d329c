// The desktop services the GUI layer talks to, started by the tests themselves and stopped at the
// end: a private session bus, an X display (Xvfb), a keyring daemon and a notification server.
// Every wait is bounded; a peer that does not come up fails the test with a clear message.
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/bounded_wait.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

class DesktopPeers {
  public:
    DesktopPeers() {
        SetBothEnv("HOME", dir_.path().c_str());
        SetBothEnv("XDG_DATA_HOME", dir_.file("data").c_str());
        SetBothEnv("XDG_CONFIG_HOME", dir_.file("config").c_str());
        SetBothEnv("XDG_CACHE_HOME", dir_.file("cache").c_str());
        mkdir(dir_.file("run").c_str(), 0700);
        SetBothEnv("XDG_RUNTIME_DIR", dir_.file("run").c_str());
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
    }
    ~DesktopPeers() {
        for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) Stop(*it);
    }

    const TempDir& Dir() const { return dir_; }

    // A session bus that activates nothing: a service is there only when a test starts it.
    bool StartBus() {
        const std::string config = dir_.file("bus.conf");
        WriteText(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                          "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                          "<busconfig><type>session</type><listen>unix:dir=" +
                              dir_.path() +
                              "</listen><policy context=\"default\"><allow send_destination=\"*\" "
                              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        std::string address = SpawnReading({"dbus-daemon", "--nofork", "--config-file=" + config, "--print-address=3"});
        while (!address.empty() && address.back() == '\n') address.pop_back();
        if (address.empty()) return false;
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        // Our peers stop before this process does; GLib would otherwise end the process then.
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (bus == nullptr) return false;
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        g_object_unref(bus);
        return true;
    }

    // Without key repeat ("-r"): xdotool starved on a loaded machine holds a key past the repeat
    // delay, and the repeats land in whatever window opens next.
    bool StartDisplay() {
        std::string number =
            SpawnReading({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24", "-r"});
        while (!number.empty() && number.back() == '\n') number.pop_back();
        if (number.empty()) return false;
        setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }

    // gnome-keyring's secret service with an unlocked "login" collection as the default.
    bool StartKeyring(const char* password) {
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        const pid_t pid = Spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"}, in[0], -1);
        close(in[0]);
        if (write(in[1], password, strlen(password)) < 0) {
        }
        close(in[1]);
        return pid > 0 && WaitForName("org.freedesktop.secrets");
    }

    // Unlocks the keyring's login collection again with its password, as a login would.
    bool UnlockKeyring(const char* password) {
        return KeyringCall("UnlockWithMasterPassword", "/org/freedesktop/secrets/collection/login", password,
                           nullptr);
    }

    // A second, unlocked collection made without a prompt; its object path, or empty.
    std::string CreateCollection(const char* label, const char* password) {
        std::string path;
        return KeyringCall("CreateWithMasterPassword", label, password, &path) ? path : "";
    }

    bool StartNotifications() {
        return Spawn({"/usr/lib/notification-daemon/notification-daemon", "--replace"}, -1, -1) > 0 &&
               WaitForName("org.freedesktop.Notifications");
    }

    // Starts dbus-monitor on the bus, writing what it sees into the file.
    bool StartMonitor(const std::string& file, const std::string& rule) {
        const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t pid = Spawn({"dbus-monitor", "--session", rule}, -1, out);
        close(out);
        // The monitor is ready once it has printed its own name acquisition.
        return pid > 0 && StepUntil([&] { return ReadFile(file).find("NameAcquired") != std::string::npos; },
                                    [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    }

    // Runs a program to its end (at most the given seconds) and answers its exit code (-1 when
    // it had to be killed).
    int Run(const std::vector<std::string>& args, int seconds = 10) {
        const pid_t pid = Spawn(args, -1, -1, false);
        return pid > 0 ? WaitExit(pid, seconds) : -1;
    }

    // Runs a program in the background, stopped at the end if it is still running.
    pid_t Background(const std::vector<std::string>& args) { return Spawn(args, -1, -1); }
    // Stops a program started in the background now.
    void Finish(pid_t pid) {
        for (auto it = pids_.begin(); it != pids_.end(); ++it)
            if (*it == pid) {
                pids_.erase(it);
                Stop(pid);
                return;
            }
    }

  private:
    // gnome-keyring's calls that take a password directly, over a plain session.
    bool KeyringCall(const char* method, const char* target, const char* password, std::string* made) {
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (bus == nullptr) return false;
        GVariant* opened = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
            g_variant_new("(sv)", "plain", g_variant_new_string("")), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            nullptr);
        bool ok = false;
        if (opened) {
            const char* session = nullptr;
            GVariant* output = nullptr;
            g_variant_get(opened, "(v&o)", &output, &session);
            GVariant* secret = g_variant_new(
                "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password, strlen(password), 1), "text/plain");
            GVariant* arguments;
            if (made) {
                GVariantBuilder properties;
                g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
                g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                                      g_variant_new_string(target));
                arguments = g_variant_new("(a{sv}@(oayays))", &properties, secret);
            } else {
                arguments = g_variant_new("(o@(oayays))", target, secret);
            }
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", method, arguments, nullptr,
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            ok = reply != nullptr;
            if (reply && made) {
                const char* path = nullptr;
                g_variant_get(reply, "(&o)", &path);
                *made = path ? path : "";
            }
            if (reply) g_variant_unref(reply);
            g_variant_unref(output);
            g_variant_unref(opened);
        }
        g_object_unref(bus);
        return ok;
    }

    pid_t Spawn(const std::vector<std::string>& args, int in, int out, bool keep = true, int extra = -1) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (in >= 0) dup2(in, 0);
            if (out >= 0) dup2(out, 1);
            if (extra >= 0) dup2(extra, 3);
            if (extra >= 0) extra = 3;
            const int null = open("/dev/null", O_RDWR);
            if (in < 0) dup2(null, 0);
            if (out < 0) dup2(null, 1);
            dup2(null, 2);
            // Nothing of ours (a test framework's pipes above all) stays open in a daemon.
            close_range(extra >= 0 ? 4 : 3, ~0U, 0);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pid > 0 && keep) pids_.push_back(pid);
        return pid;
    }

    // Starts a program that writes one line to fd 3 once it is ready, and answers that line.
    std::string SpawnReading(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return "";
        const pid_t pid = Spawn(args, -1, -1, true, fds[1]);
        close(fds[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid > 0 && line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, (size_t)n);
        }
        close(fds[0]);
        return line.find('\n') == std::string::npos ? "" : line;
    }

    bool WaitForName(const char* name) {
        const auto hasOwner = [name] {
            GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
            GVariant* reply = bus ? g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                                "org.freedesktop.DBus", "NameHasOwner",
                                                                g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
                                                                G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr)
                                  : nullptr;
            gboolean owned = FALSE;
            if (reply) {
                g_variant_get(reply, "(b)", &owned);
                g_variant_unref(reply);
            }
            if (bus) g_object_unref(bus);
            return owned == TRUE;
        };
        return StepUntil(hasOwner, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    }

    static int WaitExit(pid_t pid, int seconds = 10) {
        int status = 0;
        if (StepUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                      [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }, seconds))
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }

    static void Stop(pid_t pid) {
        kill(pid, SIGTERM);
        if (WaitExit(pid, 3) == -1) {
        }
    }

    TempDir dir_;
    std::vector<pid_t> pids_;
};
