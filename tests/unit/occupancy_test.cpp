#include "occupancy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DocFree {
    void operator()(yyjson_doc *d) const {
        yyjson_doc_free(d);
    }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

Doc parse(const std::string &json) {
    Doc d(yyjson_read(json.data(), json.size(), 0));
    EXPECT_NE(d, nullptr) << "bad test JSON: " << json;
    return d;
}

// A monitor showing workspace `ws`, with extra members.
std::string mon(const char *name, int ws, const std::string &extra = "") {
    return std::string("{\"name\":\"") + name +
           "\",\"activeWorkspace\":{\"id\":" + std::to_string(ws) + ",\"name\":\"" +
           std::to_string(ws) + "\"}" + (extra.empty() ? "" : "," + extra) + "}";
}

// A mapped, visible window on workspace `ws`, with extra members that come
// first (the first member of a name counts).
std::string win(long long ws, const std::string &extra = "") {
    return "{" + (extra.empty() ? "" : extra + ",") +
           "\"mapped\":true,\"hidden\":false,\"workspace\":{\"id\":" + std::to_string(ws) +
           "},\"fullscreen\":0}";
}

std::string arr(const std::vector<std::string> &items) {
    std::string s = "[";
    for (size_t i = 0; i < items.size(); i++)
        s += (i ? "," : "") + items[i];
    return s + "]";
}

struct Case {
    const char *name;
    std::string monitors;
    std::string clients;
    bool all_any;         // occupancy_all_covered, OCCUPANCY_ANY_WINDOW
    bool all_fullscreen;  // occupancy_all_covered, OCCUPANCY_FULLSCREEN
    const char *list_any; // occupancy_covered_outputs, OCCUPANCY_ANY_WINDOW
    const char *list_fullscreen;
};

TEST(Occupancy, Table) {
    const std::string dp3 = arr({mon("DP-1", 3)});
    const std::vector<Case> cases = {
        {"window on the active workspace", dp3, arr({win(3)}), true, false, "DP-1", ""},
        {"fullscreen 2", dp3, arr({win(3, "\"fullscreen\":2")}), true, true, "DP-1", "DP-1"},
        {"fullscreen 1", dp3, arr({win(3, "\"fullscreen\":1")}), true, false, "DP-1", ""},
        // A maximized window gone fullscreen, as Hyprland 0.42 to 0.55 report it.
        {"fullscreen 3", dp3, arr({win(3, "\"fullscreen\":3")}), true, true, "DP-1", "DP-1"},
        {"fullscreen 4 is no mode", dp3, arr({win(3, "\"fullscreen\":4")}), true, false, "DP-1",
         ""},
        {"fullscreen -1", dp3, arr({win(3, "\"fullscreen\":-1")}), true, false, "DP-1", ""},
        // Hyprland 0.41 and older: a boolean and a separate mode.
        {"boolean fullscreen, mode 0", dp3,
         arr({win(3, "\"fullscreen\":true,\"fullscreenMode\":0")}), true, true, "DP-1", "DP-1"},
        {"boolean fullscreen, mode 1 is maximized", dp3,
         arr({win(3, "\"fullscreen\":true,\"fullscreenMode\":1")}), true, false, "DP-1", ""},
        {"boolean false, mode 0", dp3, arr({win(3, "\"fullscreen\":false,\"fullscreenMode\":0")}),
         true, false, "DP-1", ""},
        {"boolean fullscreen without a mode", dp3, arr({win(3, "\"fullscreen\":true")}), true,
         false, "DP-1", ""},
        {"boolean fullscreen, mode as text", dp3,
         arr({win(3, "\"fullscreen\":true,\"fullscreenMode\":\"0\"")}), true, false, "DP-1", ""},
        {"fullscreen as text", dp3, arr({win(3, "\"fullscreen\":\"2\"")}), true, false, "DP-1", ""},
        {"fullscreen as real", dp3, arr({win(3, "\"fullscreen\":2.0")}), true, false, "DP-1", ""},
        {"fullscreen window after a plain one", dp3, arr({win(3), win(3, "\"fullscreen\":2")}),
         true, true, "DP-1", "DP-1"},
        {"fullscreen on another workspace", dp3, arr({win(3), win(4, "\"fullscreen\":2")}), true,
         false, "DP-1", ""},
        {"window on another workspace", dp3, arr({win(4)}), false, false, "", ""},
        {"hidden true", dp3, arr({win(3, "\"hidden\":true,\"fullscreen\":2")}), false, false, "",
         ""},
        {"hidden 1", dp3, arr({win(3, "\"hidden\":1")}), false, false, "", ""},
        {"hidden as text passes", dp3, arr({win(3, "\"hidden\":\"yes\"")}), true, false, "DP-1",
         ""},
        {"mapped false", dp3, arr({win(3, "\"mapped\":false,\"fullscreen\":2")}), false, false, "",
         ""},
        {"mapped 0", dp3, arr({win(3, "\"mapped\":0")}), false, false, "", ""},
        {"mapped as text", dp3, arr({win(3, "\"mapped\":\"true\"")}), false, false, "", ""},
        {"mapped absent", dp3, arr({"{\"workspace\":{\"id\":3}}"}), true, false, "DP-1", ""},
        {"window workspace id as real", dp3, arr({"{\"workspace\":{\"id\":3.0}}"}), false, false,
         "", ""},
        {"window without workspace", dp3, arr({"{\"mapped\":true}"}), false, false, "", ""},
        {"ids compared as 32-bit", dp3, arr({win(4294967299LL)}), true, false, "DP-1", ""},
        {"non-objects among clients", dp3, arr({"{}", "7", "null", win(3)}), true, false, "DP-1",
         ""},
        {"special workspace", arr({mon("DP-1", 1, "\"specialWorkspace\":{\"id\":-98}")}),
         arr({win(-98, "\"fullscreen\":2")}), true, true, "DP-1", "DP-1"},
        {"special workspace id 0 never matches",
         arr({mon("DP-1", 1, "\"specialWorkspace\":{\"id\":0,\"name\":\"\"}")}), arr({win(0)}),
         false, false, "", ""},
        {"active workspace id as text",
         arr({"{\"name\":\"DP-1\",\"activeWorkspace\":{\"id\":\"3\"}}"}), arr({win(3)}), false,
         false, "", ""},
        {"active workspace empty", arr({"{\"name\":\"DP-1\",\"activeWorkspace\":{}}"}),
         arr({win(3)}), false, false, "", ""},
        {"two monitors, one covered", arr({mon("DP-1", 1), mon("HDMI-A-1", 2)}),
         arr({win(2, "\"fullscreen\":2")}), false, false, "HDMI-A-1", "HDMI-A-1"},
        {"two covered monitors in order", arr({mon("DP-1", 1), mon("HDMI-A-1", 2)}),
         arr({win(2, "\"fullscreen\":2"), win(1, "\"fullscreen\":2")}), true, true, "DP-1,HDMI-A-1",
         "DP-1,HDMI-A-1"},
        {"disabled monitor ignored", arr({mon("DP-1", 1), mon("HDMI-A-1", 2, "\"disabled\":true")}),
         arr({win(1)}), true, false, "DP-1", ""},
        {"dpms-off monitor ignored",
         arr({mon("DP-1", 1, "\"dpmsStatus\":true"), mon("HDMI-A-1", 2, "\"dpmsStatus\":false")}),
         arr({win(1)}), true, false, "DP-1", ""},
        {"dpmsStatus as text is off",
         arr({mon("DP-1", 1), mon("HDMI-A-1", 2, "\"dpmsStatus\":\"on\"")}), arr({win(1)}), true,
         false, "DP-1", ""},
        {"dpmsStatus 1 is on", arr({mon("DP-1", 1), mon("HDMI-A-1", 2, "\"dpmsStatus\":1")}),
         arr({win(1)}), false, false, "DP-1", ""},
        {"disabled as text is not disabled",
         arr({mon("DP-1", 1), mon("HDMI-A-1", 2, "\"disabled\":\"true\"")}), arr({win(1)}), false,
         false, "DP-1", ""},
        {"disabled monitor showing a window is not listed", arr({mon("DP-1", 1, "\"disabled\":1")}),
         arr({win(1, "\"fullscreen\":2")}), false, false, "", ""},
        {"all monitors off",
         arr({mon("DP-1", 1, "\"dpmsStatus\":false"), mon("HDMI-A-1", 1, "\"disabled\":true")}),
         arr({win(1, "\"fullscreen\":2")}), false, false, "", ""},
        {"non-object monitor is never covered", arr({"5", mon("DP-1", 1)}), arr({win(1)}), false,
         false, "DP-1", ""},
        {"empty monitor object is never covered", arr({"{}", mon("DP-1", 1)}), arr({win(1)}), false,
         false, "DP-1", ""},
        {"covered monitor without a text name",
         arr({"{\"name\":7,\"activeWorkspace\":{\"id\":1}}"}), arr({win(1)}), true, false, "", ""},
        {"first member of a name counts", dp3,
         arr({"{\"hidden\":false,\"hidden\":true,\"workspace\":{\"id\":3}}"}), true, false, "DP-1",
         ""},
        {"empty monitors", "[]", arr({win(1)}), false, false, "", ""},
        {"monitors not an array", mon("DP-1", 1), arr({win(1)}), false, false, "", ""},
        {"clients not an array", dp3, win(3), false, false, "", ""},
        {"no clients", dp3, "[]", false, false, "", ""},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Doc monitors = parse(c.monitors);
        Doc clients = parse(c.clients);
        ASSERT_TRUE(monitors && clients);
        yyjson_val *m = yyjson_doc_get_root(monitors.get());
        yyjson_val *cl = yyjson_doc_get_root(clients.get());

        EXPECT_EQ(occupancy_all_covered(cl, m, OCCUPANCY_ANY_WINDOW), c.all_any);
        EXPECT_EQ(occupancy_all_covered(cl, m, OCCUPANCY_FULLSCREEN), c.all_fullscreen);

        char buf[1024];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(occupancy_covered_outputs(cl, m, OCCUPANCY_ANY_WINDOW, buf, sizeof buf),
                  c.list_any[0] != '\0');
        EXPECT_STREQ(buf, c.list_any);
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(occupancy_covered_outputs(cl, m, OCCUPANCY_FULLSCREEN, buf, sizeof buf),
                  c.list_fullscreen[0] != '\0');
        EXPECT_STREQ(buf, c.list_fullscreen);
    }
}

TEST(Occupancy, MissingDocuments) {
    Doc monitors = parse(arr({mon("DP-1", 1)}));
    Doc clients = parse(arr({win(1)}));
    yyjson_val *m = yyjson_doc_get_root(monitors.get());
    yyjson_val *cl = yyjson_doc_get_root(clients.get());
    char buf[64] = "stale";
    EXPECT_FALSE(occupancy_all_covered(nullptr, m, OCCUPANCY_ANY_WINDOW));
    EXPECT_FALSE(occupancy_all_covered(cl, nullptr, OCCUPANCY_ANY_WINDOW));
    EXPECT_FALSE(occupancy_covered_outputs(cl, nullptr, OCCUPANCY_ANY_WINDOW, buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(occupancy_monitor_covered(nullptr, cl, OCCUPANCY_ANY_WINDOW));
    EXPECT_FALSE(occupancy_monitor_covered(yyjson_arr_get_first(m), nullptr, OCCUPANCY_ANY_WINDOW));
    EXPECT_TRUE(occupancy_monitor_covered(yyjson_arr_get_first(m), cl, OCCUPANCY_ANY_WINDOW));
}

TEST(Occupancy, SmallBuffers) {
    Doc monitors = parse(arr({mon("DP-1", 1), mon("HDMI-A-1", 2)}));
    Doc clients = parse(arr({win(1), win(2)}));
    yyjson_val *m = yyjson_doc_get_root(monitors.get());
    yyjson_val *cl = yyjson_doc_get_root(clients.get());

    struct SizeCase {
        size_t size;
        bool result;
        const char *text; // nullptr: nothing may be written
    };
    const std::vector<SizeCase> cases = {
        {0, false, nullptr},  {1, false, nullptr},         {2, true, "D"},
        {4, true, "DP-"},     {5, true, "DP-1"}, // the comma no longer fits
        {8, true, "DP-1,HD"}, {14, true, "DP-1,HDMI-A-1"},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        char buf[32];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(occupancy_covered_outputs(cl, m, OCCUPANCY_ANY_WINDOW, buf, c.size), c.result);
        if (c.text) {
            EXPECT_STREQ(buf, c.text);
        } else {
            EXPECT_EQ(buf[0], '#');
        }
        EXPECT_EQ(buf[c.size], '#') << "wrote past the buffer";
    }
    EXPECT_FALSE(occupancy_covered_outputs(cl, m, OCCUPANCY_ANY_WINDOW, nullptr, 64));
}

} // namespace
