#include "drm.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// One directory entry of the fake /sys/class/drm; a null text leaves the file out.
struct Connector {
    const char *entry;
    const char *status;
    const char *dpms;
};

class DrmTree {
  public:
    explicit DrmTree(const std::vector<Connector> &connectors) {
        char tmpl[] = "/tmp/kiv-drm-XXXXXX";
        const char *d = mkdtemp(tmpl);
        EXPECT_NE(d, nullptr);
        dir_ = d ? d : "/nonexistent";
        // What a real class/drm holds beside the connectors.
        write("version", "drm 1.1.0 20060810\n");
        fs::create_directory(dir_ + "/renderD128");
        for (const Connector &c : connectors) {
            fs::create_directory(dir_ + "/" + c.entry);
            if (c.status)
                write(std::string(c.entry) + "/status", c.status);
            if (c.dpms)
                write(std::string(c.entry) + "/dpms", c.dpms);
        }
    }
    ~DrmTree() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const char *dir() const {
        return dir_.c_str();
    }
    void write(const std::string &rel, const std::string &text) {
        std::ofstream(dir_ + "/" + rel, std::ios::binary) << text;
    }

  private:
    std::string dir_;
};

TEST(Drm, AllOff) {
    EnvGuard env("KIV_DRM_DPMS", nullptr);
    struct Case {
        const char *name;
        std::vector<Connector> connectors;
        int expected;
    };
    const std::vector<Case> cases = {
        {"one on, one off",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-HDMI-A-1", "connected\n", "On\n"}},
         0},
        {"off and disconnected",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-HDMI-A-1", "disconnected\n", "On\n"}},
         1},
        {"standby and suspend",
         {{"card0-DP-1", "connected\n", "Standby\n"}, {"card0-DP-2", "connected\n", "Suspend\n"}},
         1},
        {"off and a connected one without dpms",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-DP-2", "connected\n", nullptr}},
         -1},
        {"off and an empty dpms file",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-DP-2", "connected\n", ""}},
         -1},
        {"lower-case on", {{"card0-DP-1", "connected\n", "on\n"}}, -1},
        {"CRLF status", {{"card0-DP-1", "connected\r\n", "Off\r\n"}}, 1},
        {"other status word is uncertain",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-DP-2", "unknown\n", "On\n"}},
         -1},
        {"entry without status is ignored",
         {{"card0-DP-1", "connected\n", "Off\n"}, {"card0-DP-2", nullptr, "On\n"}},
         1},
        {"entries without a hyphen are ignored",
         {{"card0", "connected\n", "On\n"}, {"card0-DP-1", "connected\n", "Off\n"}},
         1},
        {"only disconnected", {{"card0-DP-1", "disconnected\n", "Off\n"}}, -1},
        {"no connectors", {}, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DrmTree tree(c.connectors);
        EXPECT_EQ(drm_all_off(tree.dir()), c.expected);
    }
    EXPECT_EQ(drm_all_off("/nonexistent/kiv/drm"), -1);
}

TEST(Drm, OutputOff) {
    EnvGuard env("KIV_DRM_DPMS", nullptr);
    struct Case {
        const char *name;
        std::vector<Connector> connectors;
        const char *output;
        int expected;
    };
    const std::vector<Case> cases = {
        {"standby", {{"card0-HDMI-A-1", "connected\n", "Standby\n"}}, "HDMI-A-1", 1},
        {"off", {{"card0-HDMI-A-1", "connected\n", "Off\n"}}, "HDMI-A-1", 1},
        {"on",
         {{"card0-HDMI-A-1", "connected\n", "On\n"}, {"card0-DP-1", "connected\n", "Off\n"}},
         "HDMI-A-1",
         0},
        {"lower-case on", {{"card0-HDMI-A-1", "connected\n", "on\n"}}, "HDMI-A-1", -1},
        {"dpms missing", {{"card0-HDMI-A-1", "connected\n", nullptr}}, "HDMI-A-1", -1},
        {"CRLF status", {{"card0-HDMI-A-1", "connected\r\n", "Off\r\n"}}, "HDMI-A-1", 1},
        {"disconnected", {{"card0-HDMI-A-1", "disconnected\n", "Off\n"}}, "HDMI-A-1", -1},
        {"two connected matches",
         {{"card0-HDMI-A-1", "connected\n", "Off\n"}, {"card1-HDMI-A-1", "connected\n", "Off\n"}},
         "HDMI-A-1",
         -1},
        {"second match disconnected",
         {{"card0-HDMI-A-1", "connected\n", "On\n"}, {"card1-HDMI-A-1", "disconnected\n", "Off\n"}},
         "HDMI-A-1",
         0},
        {"plain suffix match", {{"card0-HDMI-A-1", "connected\n", "Off\n"}}, "A-1", 1},
        {"suffix needs the hyphen", {{"card0-eDP-1", "connected\n", "Off\n"}}, "DP-1", -1},
        {"unknown output", {{"card0-DP-1", "connected\n", "Off\n"}}, "DP-2", -1},
        {"empty name", {{"card0-DP-1", "connected\n", "Off\n"}}, "", -1},
        {"missing name", {{"card0-DP-1", "connected\n", "Off\n"}}, nullptr, -1},
        {"no connectors", {}, "DP-1", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DrmTree tree(c.connectors);
        EXPECT_EQ(drm_output_off(tree.dir(), c.output), c.expected);
    }
    EXPECT_EQ(drm_output_off("/nonexistent/kiv/drm", "DP-1"), -1);
    EXPECT_EQ(drm_output_off(nullptr, "DP-1"), -1);
}

// The kept connector answers like drm_output_off and walks the directory
// again only when it has to: a second connected match added after the walk
// would make a fresh walk answer -1.
TEST(Drm, KeptConnector) {
    EnvGuard env("KIV_DRM_DPMS", nullptr);
    DrmTree tree({{"card0-DP-1", "connected\n", "On\n"}});
    drm_connector kept = {};
    struct Step {
        const char *name;
        std::vector<std::pair<std::string, std::string>> writes; // file, text
        const char *output;
        int64_t now;
        int expected;
    };
    const std::vector<Step> steps = {
        {"first walk", {}, "DP-1", 1, 0},
        {"kept entry read again", {{"card0-DP-1/dpms", "Off\n"}}, "DP-1", 2, 1},
        {"a second match is not looked for",
         {{"card1-DP-1/status", "connected\n"}, {"card1-DP-1/dpms", "On\n"}},
         "DP-1",
         3,
         1},
        {"unplugged: walk finds the other",
         {{"card0-DP-1/status", "disconnected\n"}},
         "DP-1",
         4,
         0},
        {"another name walks", {}, "HDMI-A-1", 5, -1},
        {"no connector is believed for a while",
         {{"card0-HDMI-A-1/status", "connected\n"}, {"card0-HDMI-A-1/dpms", "Off\n"}},
         "HDMI-A-1",
         5 + DRM_LOOKUP_RETRY_MS - 1,
         -1},
        {"then looked for again", {}, "HDMI-A-1", 5 + DRM_LOOKUP_RETRY_MS, 1},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        for (const auto &[file, text] : step.writes) {
            fs::create_directories(fs::path(tree.dir()) / fs::path(file).parent_path());
            tree.write(file, text);
        }
        EXPECT_EQ(drm_connector_off(&kept, tree.dir(), step.output, step.now), step.expected);
    }
    env.set("0");
    EXPECT_EQ(drm_connector_off(&kept, tree.dir(), "HDMI-A-1", 1000000), -1);
}

TEST(Drm, EnvironmentSwitch) {
    EnvGuard env("KIV_DRM_DPMS", nullptr);
    DrmTree tree({{"card0-DP-1", "connected\n", "Off\n"}});
    struct Case {
        const char *value; // null: unset
        bool enabled;
    };
    const std::vector<Case> cases = {
        {nullptr, true}, {"", true}, {"00", true}, {"1", true}, {"0", false}, {"0 ", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? std::string("\"") + c.value + "\"" : "unset");
        env.set(c.value);
        EXPECT_EQ(drm_probe_enabled(), c.enabled);
        EXPECT_EQ(drm_all_off(tree.dir()), c.enabled ? 1 : -1);
        EXPECT_EQ(drm_output_off(tree.dir(), "DP-1"), c.enabled ? 1 : -1);
    }
}

TEST(Drm, ReadAttr) {
    DrmTree tree({{"card0-DP-1", "connected\r\nsecond line\n", "Off"}});
    tree.write("card0-DP-1/long", std::string(100, 'x') + "\n");
    tree.write("card0-DP-1/blank", "\nnext\n");
    tree.write("card0-DP-1/empty", "");

    struct Case {
        const char *attr;
        int rc;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"status", 0, "connected"}, {"dpms", 0, "Off"}, {"long", 0, std::string(63, 'x')},
        {"blank", 0, ""},           {"empty", -1, ""},  {"missing", -1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.attr);
        char buf[64] = {0};
        EXPECT_EQ(drm_read_attr(tree.dir(), "card0-DP-1", c.attr, buf), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(std::string(buf), c.text);
        }
    }

    char buf[64] = {0};
    std::string long_entry(5000, 'e');
    EXPECT_EQ(drm_read_attr(tree.dir(), long_entry.c_str(), "status", buf), -1);
}

} // namespace
