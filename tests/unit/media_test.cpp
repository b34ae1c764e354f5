// Renderer status replies as the daemon reads them, and the supervisor's
// socket placement and behaviour without a renderer process.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include "media.h"
#include "supervisor.h"

namespace {

struct status_case {
    const char *name;
    const char *reply;
    bool ok, ready, error, eof;
};

TEST(RenderStatusParse, Table) {
    const status_case cases[] = {
        {"full ready",
         R"({"status":"ok","path":"/a.mp4","kind":"video","ready":true,"error":"","eof":false})",
         true, true, false, false},
        {"error text", R"({"status":"ok","ready":false,"error":"Still decode failed"})", true,
         false, true, false},
        {"eof", R"({"status":"ok","ready":true,"error":"","eof":true})", true, true, false, true},
        {"error status", R"({"status":"error","message":"x","ready":true})", false, true, false,
         false},
        {"first member counts", R"({"status":"ok","ready":false,"ready":true})", true, false, false,
         false},
        {"wrong types", R"({"status":"ok","ready":1,"error":5,"eof":"true"})", true, false, false,
         false},
        {"status not a string", R"({"status":true,"ready":true})", false, true, false, false},
        {"not json", "ready", false, false, false, false},
        {"array", R"([{"status":"ok"}])", false, false, false, false},
        {"empty", "", false, false, false, false},
    };
    for (const auto &c : cases) {
        render_status st = {true, true, true};
        EXPECT_EQ(render_status_parse(c.reply, &st), c.ok) << c.name;
        EXPECT_EQ(st.ready, c.ready) << c.name;
        EXPECT_EQ(st.error, c.error) << c.name;
        EXPECT_EQ(st.eof, c.eof) << c.name;
    }
    EXPECT_FALSE(render_status_parse(nullptr, nullptr));
}

TEST(Supervisor, RenderSocketBesideDaemonSocket) {
    supervisor *sup = supervisor_create("/tmp/k/d.sock");
    ASSERT_NE(sup, nullptr);
    EXPECT_STREQ(sup->render_socket, "/tmp/k/render.sock");
    EXPECT_EQ(sup->pid, 0);
    EXPECT_EQ(sup->start_count, 0);
    supervisor_destroy(sup);
}

TEST(Supervisor, PathThatDoesNotFitFails) {
    std::string dir(5000, 'a');
    EXPECT_EQ(supervisor_create(("/" + dir + "/d.sock").c_str()), nullptr);
}

TEST(Supervisor, NothingWorksWithoutARenderer) {
    supervisor *sup = supervisor_create("/tmp/k/d.sock");
    ASSERT_NE(sup, nullptr);
    char reply[64] = "stale";
    EXPECT_EQ(render_request(sup, "{\"cmd\":\"status\"}", reply, sizeof reply), -1);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(render_request(sup, nullptr, nullptr, 0), -1);
    EXPECT_EQ(render_pause(sup), -1);
    EXPECT_EQ(render_load(sup, "/a.png", "still", nullptr), -1);
    EXPECT_FALSE(renderer_alive(sup));
    renderer_reap(sup);
    renderer_stop(sup);
    supervisor_destroy(sup);
    EXPECT_FALSE(renderer_alive(nullptr));
    EXPECT_EQ(renderer_start(nullptr), -1);
}

TEST(Supervisor, OwnDirectory) {
    char dir[1024];
    ASSERT_EQ(supervisor_own_dir(dir, sizeof dir), 0);
    char exe[1024] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(std::string(exe).substr(0, strlen(dir) + 1), std::string(dir) + "/");
    EXPECT_EQ(strchr(exe + strlen(dir) + 1, '/'), nullptr);
    char tiny[2];
    EXPECT_EQ(supervisor_own_dir(tiny, sizeof tiny), -1);
}

} // namespace
