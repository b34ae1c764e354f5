// The power monitor against a private system bus whose UPower and logind
// names are owned by the stand-in services of tests/integration/busstub.py.
// Counting the re-evaluations shows which signals the monitor acts on.

#include "power.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "log.h"

static int g_reevaluations;

void reevaluate(void) {
    g_reevaluations++;
}

namespace {

constexpr int64_t WAIT_MS = 30000;

// `busstub.py bus DIR` as a child: commands on its standard input, "ok" (or
// "ready ADDRESS") lines on its standard output.
class Bus {
  public:
    Bus() {
        char tmpl[] = "/tmp/kiv-power-XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        int in[2], out[2];
        if (dir_.empty() || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl("/usr/bin/python3", "python3", KIV_BUSSTUB, "bus", dir_.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        std::string line = read_line();
        if (line.rfind("ready ", 0) == 0)
            address_ = line.substr(6);
    }
    ~Bus() {
        if (to_ >= 0)
            close(to_); // end of input stops the bus
        if (from_ >= 0)
            close(from_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
        std::string rm = "rm -rf '" + dir_ + "'";
        if (!dir_.empty() && system(rm.c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }
    const std::string &address() const {
        return address_;
    }

    // Sends one command and waits for the services to have sent its signal.
    bool send(const std::string &json) {
        std::string line = json + "\n";
        if (write(to_, line.data(), line.size()) != (ssize_t)line.size())
            return false;
        return read_line() == "ok";
    }

  private:
    std::string read_line() {
        std::string line;
        char c;
        while (read(from_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

// Runs the monitor's loop step until pred holds or the wait runs out.
template <typename Pred> bool pump_until(power_monitor *m, Pred pred) {
    int64_t deadline = now_ms() + WAIT_MS;
    while (!pred()) {
        if (now_ms() >= deadline)
            return false;
        struct pollfd p = {power_monitor_fd(m), POLLIN, 0};
        poll(&p, 1, 100);
        power_monitor_process(m);
    }
    return true;
}

class PowerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.address().empty()) << "the test bus did not start";
        address_.set(bus_.address().c_str());
        session_.set("c1");
        g_reevaluations = 0;
    }
    Bus bus_;
    EnvGuard address_{"DBUS_SYSTEM_BUS_ADDRESS"};
    EnvGuard session_{"XDG_SESSION_ID"};
};

struct step {
    const char *name;
    const char *command;
    int reevaluations; // caused by the command itself
    bool on_battery, locked, sleeping;
};

TEST_F(PowerTest, SignalsStoreFlagsAndReevaluate) {
    power_monitor *m = power_monitor_new();
    ASSERT_NE(m, nullptr);
    ASSERT_GE(power_monitor_fd(m), 0);
    EXPECT_EQ(g_reevaluations, 0);

    const step steps[] = {
        {"battery", R"({"op":"on_battery","value":true})", 1, true, false, false},
        {"battery again", R"({"op":"on_battery","value":true})", 0, true, false, false},
        {"other properties",
         R"({"op":"upower_changed","interface":"org.freedesktop.UPower","changed":{"Percentage":40.0,"LidIsClosed":false}})",
         0, true, false, false},
        {"another interface",
         R"({"op":"upower_changed","interface":"org.freedesktop.UPower.Device","changed":{"OnBattery":false}})",
         0, true, false, false},
        {"not a boolean",
         R"({"op":"upower_changed","interface":"org.freedesktop.UPower","changed":{"OnBattery":"no"}})",
         0, true, false, false},
        {"plugged in among others",
         R"({"op":"upower_changed","interface":"org.freedesktop.UPower","changed":{"Percentage":41.0,"OnBattery":false}})",
         1, false, false, false},
        {"sleep", R"({"op":"sleep","value":true})", 1, false, false, true},
        {"sleep again", R"({"op":"sleep","value":true})", 1, false, false, true},
        {"wake", R"({"op":"sleep","value":false})", 1, false, false, false},
        {"lock", R"({"op":"lock"})", 1, false, true, false},
        {"lock again", R"({"op":"lock"})", 1, false, true, false},
        {"unlock", R"({"op":"unlock"})", 1, false, false, false},
        {"locked hint", R"({"op":"locked_hint","value":true})", 1, false, true, false},
        {"locked hint again", R"({"op":"locked_hint","value":true})", 0, false, true, false},
        {"locked hint cleared", R"({"op":"locked_hint","value":false})", 1, false, false, false},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.name);
        int before = g_reevaluations;
        ASSERT_TRUE(bus_.send(s.command));
        // Signals of one sender arrive in order: a PrepareForSleep repeating
        // the current value always re-evaluates once, after the step's own.
        ASSERT_TRUE(bus_.send(std::string(R"({"op":"sleep","value":)") +
                              (s.sleeping ? "true" : "false") + "}"));
        int expected = before + s.reevaluations + 1;
        ASSERT_TRUE(pump_until(m, [&] { return g_reevaluations >= expected; }));
        EXPECT_EQ(g_reevaluations, expected);
        EXPECT_EQ(power_on_battery(m), s.on_battery);
        EXPECT_EQ(power_locked(m), s.locked);
        EXPECT_EQ(power_sleeping(m), s.sleeping);
    }
    power_monitor_free(m);
}

TEST_F(PowerTest, LostBusKeepsFlagsAndDropsDescriptor) {
    ASSERT_TRUE(bus_.send(R"({"op":"on_battery","value":true})"));
    power_monitor *m = power_monitor_new();
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(power_on_battery(m));
    ASSERT_TRUE(bus_.send(R"({"op":"lock"})"));
    ASSERT_TRUE(pump_until(m, [&] { return power_locked(m); }));

    ASSERT_TRUE(bus_.send(R"({"op":"kill"})"));
    int lost = 0;
    for (int64_t deadline = now_ms() + WAIT_MS; power_monitor_fd(m) >= 0 && now_ms() < deadline;) {
        struct pollfd p = {power_monitor_fd(m), POLLIN, 0};
        poll(&p, 1, 100);
        lost += power_monitor_process(m) == -1;
    }
    EXPECT_EQ(power_monitor_fd(m), -1);
    EXPECT_EQ(lost, 1);
    // Until the retry is due nothing happens, and the flags stay.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(power_monitor_process(m), 0);
    EXPECT_EQ(power_monitor_fd(m), -1);
    EXPECT_TRUE(power_on_battery(m));
    EXPECT_TRUE(power_locked(m));
    EXPECT_FALSE(power_sleeping(m));
    power_monitor_free(m);
}

TEST(PowerMonitor, WithoutBusOrObject) {
    EnvGuard address("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kiv-no-bus");
    g_reevaluations = 0;
    power_monitor *m = power_monitor_new();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(power_monitor_fd(m), -1);
    EXPECT_EQ(power_monitor_process(m), 0);
    EXPECT_EQ(g_reevaluations, 0);
    EXPECT_FALSE(power_on_battery(m) || power_locked(m) || power_sleeping(m));
    power_monitor_free(m);

    EXPECT_EQ(power_monitor_fd(nullptr), -1);
    EXPECT_EQ(power_monitor_process(nullptr), 0);
    EXPECT_FALSE(power_on_battery(nullptr) || power_locked(nullptr) || power_sleeping(nullptr));
}

} // namespace
