// The Hyprland monitor against a small fake instance served from a thread:
// event handling, when the daemon is asked to re-evaluate, reconnection, the
// choice of instance and what the replies of older and newer releases say.
#include "hypr.h"
#include "json.h"
#include "media.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utime.h>
#include <vector>

static int g_reevaluations;

// The daemon's entry point, counted here.
void reevaluate(void) {
    ++g_reevaluations;
}

namespace {

int listen_at(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, 8) != 0)
        return -1;
    return fd;
}

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// As Hyprland 0.51 and later list them: what blocks a monitor is null when
// nothing does.
const char *MONITORS_TWO = R"([{"name":"DP-1","activeWorkspace":{"id":1},"dpmsStatus":true,
                                "disabled":false,"solitaryBlockedBy":null},
                               {"name":"DP-2","activeWorkspace":{"id":2},"dpmsStatus":true,
                                "disabled":false,"solitaryBlockedBy":null}])";
const char *CLIENT_FS_1 = R"([{"workspace":{"id":1},"fullscreen":2,"mapped":true}])";
const char *CLIENT_FS_BOTH = R"([{"workspace":{"id":1},"fullscreen":2,"mapped":true},
                                 {"workspace":{"id":2},"fullscreen":2,"mapped":true}])";

bool touch(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    return f && fclose(f) == 0;
}

// What an instance that is gone leaves behind: its directory and sockets that
// nobody listens on any more, and the lock file only when it crashed.
void leave_dead_instance(const std::string &dir, bool lock_file) {
    mkdir(dir.c_str(), 0700);
    for (const char *name : {"/.socket.sock", "/.socket2.sock"}) {
        int fd = listen_at(dir + name);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    if (lock_file) {
        ASSERT_TRUE(touch(dir + "/hyprland.lock"));
    }
}

void set_age(const std::string &dir, int seconds) {
    utimbuf t;
    t.actime = t.modtime = time(nullptr) - seconds;
    utime(dir.c_str(), &t);
}

// One Hyprland instance directory with both sockets and, while it runs, its
// lock file. The request socket is served by a thread; the event connection
// is accepted by the test itself.
class FakeHypr {
  public:
    explicit FakeHypr(const std::string &dir, bool lock_file = true) : dir_(dir) {
        mkdir(dir.c_str(), 0700);
        if (lock_file)
            touch(dir + "/hyprland.lock");
        request_fd_ = listen_at(dir + "/.socket.sock");
        event_listen_fd_ = listen_at(dir + "/.socket2.sock");
        if (pipe(stop_) != 0)
            stop_[0] = stop_[1] = -1;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeHypr() {
        if (write(stop_[1], "x", 1) < 0) {
        }
        thread_.join();
        close_events();
        close(request_fd_);
        close(event_listen_fd_);
        close(stop_[0]);
        close(stop_[1]);
        unlink((dir_ + "/.socket.sock").c_str());
        unlink((dir_ + "/.socket2.sock").c_str());
        unlink((dir_ + "/hyprland.lock").c_str());
        rmdir(dir_.c_str());
    }

    void set_reply(const std::string &name, const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[name] = text;
    }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    void clear_requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
    }
    // Accepts the monitor's pending event connection.
    bool accept_events() {
        if (!readable(event_listen_fd_, 5000))
            return false;
        event_fd_ = accept(event_listen_fd_, nullptr, nullptr);
        return event_fd_ >= 0;
    }
    bool event_pending() {
        return readable(event_listen_fd_, 0);
    }
    void send_event(const std::string &text) {
        ASSERT_EQ(send(event_fd_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    void close_events() {
        if (event_fd_ >= 0)
            close(event_fd_);
        event_fd_ = -1;
    }

  private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{request_fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR)
                return;
            if (p[1].revents)
                return;
            if (!p[0].revents)
                continue;
            int conn = accept(request_fd_, nullptr, nullptr);
            if (conn < 0)
                continue;
            char buf[256] = {};
            ssize_t n = readable(conn, 2000) ? recv(conn, buf, sizeof buf - 1, 0) : 0;
            std::string command(buf, n > 0 ? static_cast<size_t>(n) : 0);
            std::string reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(command);
                auto it = replies_.find(command.substr(command.rfind('/') + 1));
                reply = it == replies_.end() ? "unknown request" : it->second;
            }
            if (send(conn, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
            }
            close(conn);
        }
    }

    std::string dir_;
    int request_fd_ = -1;
    int event_listen_fd_ = -1;
    int event_fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::vector<std::string> requests_;
};

class HyprTest : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiv-hypr-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        runtime_ = tmpl;
        mkdir((runtime_ + "/hypr").c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("HYPRLAND_INSTANCE_SIGNATURE", "sig", 1);
        setenv("KIV_DRM_DPMS", "0", 1);
        g_reevaluations = 0;
    }
    void TearDown() override {
        hypr_monitor_free(monitor_);
        fake_.reset();
        std::filesystem::remove_all(runtime_);
    }
    FakeHypr &start_fake(const char *clients, const char *monitors) {
        fake_ = std::make_unique<FakeHypr>(runtime_ + "/hypr/sig");
        fake_->set_reply("clients", clients);
        fake_->set_reply("monitors", monitors);
        return *fake_;
    }
    // Creates the monitor, which connects to fake at once.
    bool connect_monitor(FakeHypr &fake) {
        monitor_ = hypr_monitor_new();
        return monitor_ && fake.accept_events();
    }
    // Reads until the event socket has nothing more; returns the answers.
    std::vector<int> drain() {
        std::vector<int> answers;
        while (hypr_monitor_fd(monitor_) >= 0 && readable(hypr_monitor_fd(monitor_), 200))
            answers.push_back(hypr_monitor_on_readable(monitor_));
        return answers;
    }

    std::string runtime_;
    std::unique_ptr<FakeHypr> fake_;
    hypr_monitor *monitor_ = nullptr;
};

TEST(HyprAccessors, MissingObjectReportsNothing) {
    EXPECT_FALSE(hypr_fullscreen(nullptr));
    EXPECT_FALSE(hypr_occupied(nullptr));
    EXPECT_FALSE(hypr_monitors_off(nullptr));
    EXPECT_FALSE(hypr_locked(nullptr));
    EXPECT_EQ(hypr_monitor_count(nullptr), 0);
    EXPECT_STREQ(hypr_covered_outputs(nullptr), "");
    EXPECT_EQ(hypr_monitor_fd(nullptr), -1);
    EXPECT_EQ(hypr_monitor_on_readable(nullptr), 0);
    hypr_monitor_tick(nullptr);
    hypr_monitor_free(nullptr);
}

TEST_F(HyprTest, WithoutRuntimeDirNeverConnects) {
    FakeHypr &fake = start_fake(CLIENT_FS_1, MONITORS_TWO);
    unsetenv("XDG_RUNTIME_DIR");
    monitor_ = hypr_monitor_new();
    ASSERT_NE(monitor_, nullptr);
    hypr_monitor_tick(monitor_);
    EXPECT_EQ(hypr_monitor_fd(monitor_), -1);
    EXPECT_FALSE(fake.event_pending());
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(hypr_monitor_count(monitor_), 0);
}

TEST_F(HyprTest, ReevaluatesOnlyWhenAFlagChanges) {
    FakeHypr &fake = start_fake(CLIENT_FS_1, MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    EXPECT_EQ(fake.requests(), (std::vector<std::string>{"j/clients", "j/monitors"}));
    // One of two monitors covered: the covered list changes, no flag does.
    EXPECT_FALSE(hypr_fullscreen(monitor_));
    EXPECT_FALSE(hypr_occupied(monitor_));
    EXPECT_EQ(hypr_monitor_count(monitor_), 2);
    EXPECT_STREQ(hypr_covered_outputs(monitor_), "DP-1");
    EXPECT_EQ(g_reevaluations, 0);

    fake.set_reply("clients", CLIENT_FS_BOTH);
    fake.send_event("openwindow>>5a1,2,foot,foot\n");
    EXPECT_EQ(drain(), std::vector<int>{1});
    EXPECT_TRUE(hypr_fullscreen(monitor_));
    EXPECT_TRUE(hypr_occupied(monitor_));
    EXPECT_STREQ(hypr_covered_outputs(monitor_), "DP-1,DP-2");
    EXPECT_EQ(g_reevaluations, 1);

    // The same answers again: evaluated, nothing changed.
    fake.send_event("workspace>>2\n");
    EXPECT_EQ(drain(), std::vector<int>{1});
    EXPECT_EQ(g_reevaluations, 1);

    // A non-array monitors reply on the tick: no evaluation, flags kept.
    fake.set_reply("clients", "[]");
    fake.set_reply("monitors", R"({"error":"no"})");
    fake.clear_requests();
    hypr_monitor_tick(monitor_);
    EXPECT_EQ(fake.requests(), std::vector<std::string>{"j/monitors"});
    EXPECT_TRUE(hypr_fullscreen(monitor_));
    EXPECT_EQ(hypr_monitor_count(monitor_), 2);
    EXPECT_EQ(g_reevaluations, 1);
}

TEST_F(HyprTest, EventLines) {
    FakeHypr &fake = start_fake("[]", MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));

    struct {
        const char *name;
        std::vector<std::string> writes;
        std::vector<int> answers;
        size_t requests;
    } cases[] = {
        {"focus and titles",
         {"activewindow>>a,b\nactivewindowv2>>5a0\nwindowtitle>>5a0\n"},
         {0},
         0},
        {"title v2", {"windowtitlev2>>5a0,x\n"}, {0}, 0},
        {"split line", {"worksp", "ace>>3\n"}, {0, 1}, 2},
        {"two lines in one read", {"createworkspace>>4\nworkspace>>4\n"}, {1}, 2},
        {"line after an ignored one", {"activewindow>>a,b\nmonitoradded>>DP-3\n"}, {1}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake.clear_requests();
        std::vector<int> answers;
        for (const auto &w : c.writes) {
            fake.send_event(w);
            for (int a : drain())
                answers.push_back(a);
        }
        EXPECT_EQ(answers, c.answers);
        EXPECT_EQ(fake.requests().size(), c.requests);
    }
}

TEST_F(HyprTest, OverlongLineIsDropped) {
    FakeHypr &fake = start_fake("[]", MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    fake.clear_requests();

    // A full buffer without a line feed is thrown away, so the reader neither
    // stalls on it nor mistakes it for the end of the stream.
    fake.send_event(std::string(65535, 'x'));
    for (int a : drain())
        EXPECT_EQ(a, 0);
    EXPECT_GE(hypr_monitor_fd(monitor_), 0);
    fake.send_event("workspace>>1\n");
    EXPECT_EQ(drain(), std::vector<int>{1});
    EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(HyprTest, ReconnectsAfterTheCompositorGoes) {
    FakeHypr &fake = start_fake(CLIENT_FS_BOTH, MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    EXPECT_TRUE(hypr_fullscreen(monitor_));

    fake.close_events();
    EXPECT_EQ(drain(), std::vector<int>{-1});
    EXPECT_EQ(hypr_monitor_fd(monitor_), -1);
    EXPECT_TRUE(hypr_fullscreen(monitor_));

    fake.set_reply("clients", "[]");
    fake.clear_requests();
    hypr_monitor_tick(monitor_);
    EXPECT_GE(hypr_monitor_fd(monitor_), 0);
    ASSERT_TRUE(fake.accept_events());
    EXPECT_EQ(fake.requests(), (std::vector<std::string>{"j/clients", "j/monitors"}));
    EXPECT_FALSE(hypr_fullscreen(monitor_));
}

TEST(HyprParseReply, StrictExceptForTheBytesOfTexts) {
    struct {
        const char *name;
        std::string text;
        bool parses;
    } cases[] = {
        {"plain array", R"([{"title":"foot"}])", true},
        {"Latin-1 title", "[{\"title\":\"caf\xe9 cr\xe8me\"}]", true},
        {"cut UTF-8 sequence before the quote", "[{\"title\":\"\xc3\"},1]", true},
        {"lone continuation byte", "[\"\x80\"]", true},
        {"byte outside a text", "[\xe9]", false},
        {"invalid escape", R"(["\ud800"])", false},
        {"trailing comma", "[1,]", false},
        {"comment", "[1]/* */", false},
        {"cut short", R"([{"title":"foot"})", false},
        {"error text", "unknown request", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        json_doc_ptr doc(hypr_parse_reply(c.text.data(), c.text.size()));
        EXPECT_EQ(doc != nullptr, c.parses);
    }
    EXPECT_EQ(hypr_parse_reply(nullptr, 0), nullptr);
}

TEST_F(HyprTest, LatinOneTitleKeepsEveryFlag) {
    // An X11 window titled in Latin-1 beside the fullscreen ones.
    const char *clients = "[{\"workspace\":{\"id\":1},\"fullscreen\":2,\"mapped\":true,"
                          "\"title\":\"Fen\xeatre\"},"
                          "{\"workspace\":{\"id\":2},\"fullscreen\":2,\"mapped\":true}]";
    FakeHypr &fake = start_fake(clients, MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    EXPECT_TRUE(hypr_fullscreen(monitor_));
    EXPECT_STREQ(hypr_covered_outputs(monitor_), "DP-1,DP-2");

    // The window stays, the fullscreen one leaves: the flags follow.
    fake.set_reply("clients", "[{\"workspace\":{\"id\":1},\"fullscreen\":0,\"mapped\":true,"
                              "\"title\":\"Fen\xeatre\"}]");
    fake.send_event("closewindow>>5a1\n");
    EXPECT_EQ(drain(), std::vector<int>{1});
    EXPECT_FALSE(hypr_fullscreen(monitor_));
    EXPECT_FALSE(hypr_occupied(monitor_));
    EXPECT_STREQ(hypr_covered_outputs(monitor_), "");
}

TEST_F(HyprTest, LockAsEachReleaseReportsIt) {
    const std::string plain = R"({"name":"DP-1","activeWorkspace":{"id":1},"dpmsStatus":true)";
    const std::string off = R"({"name":"DP-1","activeWorkspace":{"id":1},"dpmsStatus":false)";
    const std::string blockers = R"(,"solitaryBlockedBy":)";
    // Run in order on one monitor object: an answer that says nothing keeps
    // the previous one.
    struct {
        const char *name;
        std::string monitors;
        const char *locked_reply;
        bool asks_locked;
        bool locked;
    } cases[] = {
        {"0.51: nothing blocks", "[" + plain + blockers + "null}]", R"({"locked":true})", false,
         false},
        {"0.51: locked", "[" + plain + blockers + R"(["WINDOWED","LOCK"]}])", R"({"locked":false})",
         false, true},
        {"0.51: locked, powered off", "[" + off + blockers + R"(["LOCK"]}])", "unknown request",
         false, true},
        {"0.51: other blockers", "[" + plain + blockers + R"(["WINDOWED","OVERLAYS"]}])",
         R"({"locked":true})", false, false},
        {"blockers as a text", "[" + plain + blockers + R"("LOCK"}])", R"({"locked":true})", false,
         false},
        {"0.41 to 0.50: locked", "[" + plain + "}]", R"({"locked":true})", true, true},
        {"0.41 to 0.50: answer not a boolean", "[" + plain + "}]", R"({"locked":0})", true, true},
        {"0.41 to 0.50: unlocked", "[" + plain + "}]", R"({"locked":false})", true, false},
        {"0.41 to 0.50: locked, no monitors", "[]", R"({"locked":true})", true, true},
        {"0.41 to 0.50: an array is no answer", "[" + plain + "}]", R"([false])", true, true},
        {"0.51 after an older answer", "[" + plain + blockers + "null}]", R"({"locked":true})",
         false, false},
        {"0.40: unknown request", "[" + plain + "}]", "unknown request", true, true},
    };
    FakeHypr &fake = start_fake("[]", MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake.set_reply("monitors", c.monitors);
        fake.set_reply("locked", c.locked_reply);
        fake.clear_requests();
        hypr_monitor_tick(monitor_);
        std::vector<std::string> expected = {"j/monitors"};
        if (c.asks_locked)
            expected.push_back("j/locked");
        EXPECT_EQ(fake.requests(), expected);
        EXPECT_EQ(hypr_locked(monitor_), c.locked);
    }
}

TEST_F(HyprTest, LockAnsweredAtConnection) {
    // An older release already locked when the daemon starts.
    FakeHypr &fake = start_fake("[]", R"([{"name":"DP-1","activeWorkspace":{"id":1}}])");
    fake.set_reply("locked", R"({"locked":true})");
    ASSERT_TRUE(connect_monitor(fake));
    EXPECT_EQ(fake.requests(), (std::vector<std::string>{"j/clients", "j/monitors", "j/locked"}));
    EXPECT_TRUE(hypr_locked(monitor_));
    EXPECT_EQ(g_reevaluations, 1);

    // Events refresh the lists only; the tick asks about the lock.
    fake.clear_requests();
    fake.send_event("workspace>>2\n");
    EXPECT_EQ(drain(), std::vector<int>{1});
    EXPECT_EQ(fake.requests(), (std::vector<std::string>{"j/clients", "j/monitors"}));
    EXPECT_TRUE(hypr_locked(monitor_));
}

TEST_F(HyprTest, MonitorsPower) {
    // Hyprland writes booleans; integers and other types follow the type rules.
    struct {
        const char *name;
        const char *monitors;
        bool off;
        int count;
    } cases[] = {
        {"both off", R"([{"name":"DP-1","dpmsStatus":false},{"name":"DP-2","dpmsStatus":false}])",
         true, 2},
        {"one on", R"([{"name":"DP-1","dpmsStatus":false},{"name":"DP-2","dpmsStatus":true}])",
         false, 2},
        {"integer one is on",
         R"([{"name":"DP-1","dpmsStatus":false},{"name":"DP-2","dpmsStatus":1}])", false, 2},
        {"disabled and integer zero",
         R"([{"name":"DP-1","disabled":true},{"name":"DP-2","dpmsStatus":0}])", true, 2},
        {"dpmsStatus of another type", R"([{"name":"DP-1","dpmsStatus":"on"}])", true, 1},
        {"dpmsStatus absent", R"([{"name":"DP-1"}])", false, 1},
        {"integer disabled is not looked at", R"([{"name":"DP-1","disabled":1}])", false, 1},
        {"something that is no monitor counts as on", R"([{"name":"DP-1","dpmsStatus":false},7])",
         false, 2},
        {"no monitors", "[]", false, 0},
    };
    FakeHypr &fake = start_fake("[]", MONITORS_TWO);
    ASSERT_TRUE(connect_monitor(fake));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake.set_reply("monitors", c.monitors);
        hypr_monitor_tick(monitor_);
        EXPECT_EQ(hypr_monitors_off(monitor_), c.off);
        EXPECT_EQ(hypr_monitor_count(monitor_), c.count);
    }
}

TEST_F(HyprTest, InstanceChoice) {
    enum kind { LIVE, LIVE_NO_LOCK, EXITED, CRASHED };
    struct instance {
        const char *name;
        kind what;
        int age_s;
    };
    struct {
        const char *name;
        std::vector<instance> instances;
        const char *signature;
        const char *expected; // null: no connection
    } cases[] = {
        {"newest running", {{"a", LIVE, 300}, {"b", LIVE, 100}}, nullptr, "b"},
        {"an exited newer instance is passed over",
         {{"a", LIVE, 300}, {"b", EXITED, 10}},
         nullptr,
         "a"},
        {"a crashed one keeps its lock file but refuses",
         {{"a", LIVE_NO_LOCK, 300}, {"b", CRASHED, 10}},
         nullptr,
         "a"},
        {"a lock file ranks above a newer directory",
         {{"a", LIVE, 300}, {"b", LIVE_NO_LOCK, 10}},
         nullptr,
         "a"},
        {"without a lock file when nothing better answers",
         {{"a", EXITED, 300}, {"b", LIVE_NO_LOCK, 200}, {"c", EXITED, 10}},
         nullptr,
         "b"},
        {"the signature over a newer instance",
         {{"a", LIVE_NO_LOCK, 300}, {"b", LIVE, 10}},
         "a",
         "a"},
        {"the signature's instance exited", {{"a", EXITED, 10}, {"b", LIVE, 300}}, "a", "b"},
        {"nothing answers", {{"a", EXITED, 300}, {"b", CRASHED, 10}}, "a", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string base = runtime_ + "/hypr";
        std::filesystem::remove_all(base);
        mkdir(base.c_str(), 0700);
        std::map<std::string, std::unique_ptr<FakeHypr>> live;
        for (const instance &i : c.instances) {
            std::string dir = base + "/" + i.name;
            if (i.what == LIVE || i.what == LIVE_NO_LOCK) {
                live[i.name] = std::make_unique<FakeHypr>(dir, i.what == LIVE);
                live[i.name]->set_reply("clients", "[]");
                live[i.name]->set_reply("monitors", MONITORS_TWO);
            } else {
                leave_dead_instance(dir, i.what == CRASHED);
            }
            set_age(dir, i.age_s);
        }
        EnvGuard signature("HYPRLAND_INSTANCE_SIGNATURE", c.signature);
        hypr_monitor *m = hypr_monitor_new();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(hypr_monitor_fd(m) >= 0, c.expected != nullptr);
        for (auto &[name, fake] : live) {
            bool chosen = c.expected && name == c.expected;
            EXPECT_EQ(fake->event_pending(), chosen) << name;
            EXPECT_EQ(fake->requests().empty(), !chosen) << name;
        }
        hypr_monitor_free(m);
    }
}

} // namespace
