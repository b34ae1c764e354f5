#include "config.h"
#include "log.h"
#include "policy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

policy_inputs g_in;

void test_source(policy_inputs *in) {
    *in = g_in;
}

policy_inputs base_inputs() {
    policy_inputs in{};
    in.pause_fullscreen = true;
    snprintf(in.battery_mode, sizeof in.battery_mode, "%s", "play");
    in.have_hypr = true;
    return in;
}

using policy_ptr = std::unique_ptr<policy, decltype(&policy_free)>;

policy_ptr make_policy() {
    return policy_ptr(policy_new(test_source), policy_free);
}

struct flags {
    bool manual, idle, blocklisted;
};

// A policy over the base inputs changed by setup, with the three flags set.
policy_ptr policy_for(const flags &f, void (*setup)(policy_inputs &in)) {
    g_in = base_inputs();
    setup(g_in);
    policy_ptr p = make_policy();
    if (p) {
        policy_set_manual(p.get(), f.manual);
        policy_set_idle(p.get(), f.idle);
        policy_set_blocklisted(p.get(), f.blocklisted);
    }
    return p;
}

struct decision_case {
    const char *name;
    flags f;
    void (*setup)(policy_inputs &in);
    bool paused, poster;
    const char *reason;
};

// clang-format off
const decision_case kDecisionCases[] = {
    {"nothing_in_the_way", {}, [](policy_inputs &) {}, false, false, "visible"},
    {"manual_beats_always_animate", {true, false, false},
     [](policy_inputs &in) { in.always_animate = true; }, true, false, "manual"},
    {"sleep_beats_always_animate", {},
     [](policy_inputs &in) {
         in.always_animate = true;
         in.power_sleeping = true;
     },
     true, false, "sleep"},
    {"always_animate_beats_everything_else", {false, true, true},
     [](policy_inputs &in) {
         in.always_animate = true;
         in.power_locked = in.hypr_locked = in.hypr_monitors_off = true;
         in.power_on_battery = true;
         snprintf(in.battery_mode, sizeof in.battery_mode, "pause");
         in.hypr_fullscreen = in.hypr_occupied = true;
     },
     false, false, "always-animate"},
    {"idle_before_locked", {false, true, false},
     [](policy_inputs &in) { in.power_locked = true; }, true, false, "idle"},
    {"locked_by_login_manager", {}, [](policy_inputs &in) { in.power_locked = true; }, true,
     false, "locked"},
    {"locked_by_compositor", {}, [](policy_inputs &in) { in.hypr_locked = true; }, true, false,
     "locked"},
    {"monitors_off", {}, [](policy_inputs &in) { in.hypr_monitors_off = true; }, true, false,
     "dpms-off"},
    {"battery_play_ignored_blocklist_decides", {false, false, true},
     [](policy_inputs &in) { in.power_on_battery = true; }, true, false, "blocklist"},
    {"battery_mode_pause", {},
     [](policy_inputs &in) {
         in.power_on_battery = true;
         snprintf(in.battery_mode, sizeof in.battery_mode, "pause");
     },
     true, false, "battery"},
    {"battery_mode_poster", {},
     [](policy_inputs &in) {
         in.power_on_battery = true;
         snprintf(in.battery_mode, sizeof in.battery_mode, "poster");
     },
     true, true, "battery"},
    {"battery_poster_flag_beats_mode_pause", {},
     [](policy_inputs &in) {
         in.power_on_battery = true;
         in.battery_poster = true;
         snprintf(in.battery_mode, sizeof in.battery_mode, "pause");
     },
     true, true, "battery"},
    {"battery_poster_flag_without_battery", {},
     [](policy_inputs &in) { in.battery_poster = true; }, false, false, "visible"},
    {"blocklist_before_fullscreen", {false, false, true},
     [](policy_inputs &in) { in.hypr_fullscreen = true; }, true, false, "blocklist"},
    {"fullscreen", {}, [](policy_inputs &in) { in.hypr_fullscreen = true; }, true, false,
     "fullscreen"},
    {"fullscreen_not_configured", {},
     [](policy_inputs &in) {
         in.pause_fullscreen = false;
         in.hypr_fullscreen = true;
     },
     false, false, "visible"},
    {"occupied", {},
     [](policy_inputs &in) {
         in.pause_occupied_workspace = true;
         in.hypr_occupied = true;
     },
     true, false, "occupied"},
    {"occupied_not_configured", {}, [](policy_inputs &in) { in.hypr_occupied = true; }, false,
     false, "visible"},
    {"fullscreen_before_occupied", {},
     [](policy_inputs &in) {
         in.pause_occupied_workspace = true;
         in.hypr_occupied = in.hypr_fullscreen = true;
     },
     true, false, "fullscreen"},
    {"no_hyprland_monitor_skips_window_steps", {},
     [](policy_inputs &in) {
         in.have_hypr = false;
         in.pause_occupied_workspace = true;
         in.hypr_occupied = in.hypr_fullscreen = true;
     },
     false, false, "visible"},
};
// clang-format on

TEST(PolicyTest, DecisionTable) {
    for (const decision_case &c : kDecisionCases) {
        SCOPED_TRACE(c.name);
        policy_ptr p = policy_for(c.f, c.setup);
        ASSERT_TRUE(p);
        policy_evaluate(p.get());
        EXPECT_EQ(policy_paused(p.get()), c.paused);
        EXPECT_EQ(policy_poster(p.get()), c.poster);
        EXPECT_STREQ(policy_reason(p.get()), c.reason);
    }
}

TEST(PolicyTest, MissingObjectAnswersNothing) {
    EXPECT_FALSE(policy_paused(nullptr));
    EXPECT_FALSE(policy_poster(nullptr));
    EXPECT_STREQ(policy_reason(nullptr), "");
    EXPECT_FALSE(policy_manual(nullptr));
    EXPECT_FALSE(policy_idle(nullptr));
    EXPECT_FALSE(policy_feed_allowed(nullptr));
    EXPECT_EQ(policy_new(nullptr), nullptr);
}

struct feed_case {
    const char *name;
    flags f;
    void (*setup)(policy_inputs &in);
    bool allowed;
};

// clang-format off
const feed_case kFeedCases[] = {
    {"locked_fullscreen_occupied_do_not_matter", {},
     [](policy_inputs &in) {
         in.power_locked = in.hypr_locked = true;
         in.pause_occupied_workspace = true;
         in.hypr_fullscreen = in.hypr_occupied = true;
     },
     true},
    {"manual", {true, false, false}, [](policy_inputs &in) { in.always_animate = true; }, false},
    {"sleep", {}, [](policy_inputs &in) { in.power_sleeping = true; }, false},
    {"monitors_off", {}, [](policy_inputs &in) { in.hypr_monitors_off = true; }, false},
    {"always_animate_over_idle_and_blocklist", {false, true, true},
     [](policy_inputs &in) { in.always_animate = true; }, true},
    {"idle", {false, true, false}, [](policy_inputs &) {}, false},
    {"blocklisted", {false, false, true}, [](policy_inputs &) {}, false},
    {"battery_play", {}, [](policy_inputs &in) { in.power_on_battery = true; }, true},
    {"battery_pause", {},
     [](policy_inputs &in) {
         in.power_on_battery = true;
         snprintf(in.battery_mode, sizeof in.battery_mode, "pause");
     },
     false},
    {"battery_poster_flag", {},
     [](policy_inputs &in) {
         in.power_on_battery = true;
         in.battery_poster = true;
     },
     false},
};
// clang-format on

TEST(PolicyTest, FeedAllowedTable) {
    for (const feed_case &c : kFeedCases) {
        SCOPED_TRACE(c.name);
        policy_ptr p = policy_for(c.f, c.setup);
        ASSERT_TRUE(p);
        EXPECT_EQ(policy_feed_allowed(p.get()), c.allowed);
    }
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

TEST(PolicyTest, LogsOnlyChanges) {
    log_set_identity("policy_test", LOG_INFO);
    g_in = base_inputs();
    policy_ptr p = make_policy();
    ASSERT_TRUE(p);

    testing::internal::CaptureStdout();
    policy_evaluate(p.get()); // "visible" as initially: silent
    g_in.hypr_fullscreen = true;
    policy_evaluate(p.get());
    policy_evaluate(p.get());
    policy_set_blocklisted(p.get(), false); // unchanged: no evaluation
    g_in.power_on_battery = true;
    snprintf(g_in.battery_mode, sizeof g_in.battery_mode, "poster");
    policy_evaluate(p.get());
    policy_evaluate(p.get());
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(count_of(out, "policy pause="), 2) << out;
    EXPECT_EQ(count_of(out, "policy pause=1 poster=0 reason=fullscreen\n"), 1) << out;
    EXPECT_EQ(count_of(out, "policy pause=1 poster=1 reason=battery\n"), 1) << out;
}

TEST(PolicyTest, SetBlocklistedEvaluatesOnChange) {
    g_in = base_inputs();
    policy_ptr p = make_policy();
    ASSERT_TRUE(p);
    policy_set_blocklisted(p.get(), true);
    EXPECT_TRUE(policy_paused(p.get()));
    EXPECT_STREQ(policy_reason(p.get()), "blocklist");
    policy_set_blocklisted(p.get(), false);
    EXPECT_STREQ(policy_reason(p.get()), "visible");
}

// The scan compares against the kernel's command names; this test program's
// own name is one of them.
std::string own_comm() {
    char buf[64] = {0};
    FILE *f = fopen("/proc/self/comm", "r");
    if (!f)
        return "";
    if (!fgets(buf, sizeof buf, f))
        buf[0] = '\0';
    fclose(f);
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

struct blocklist_case {
    const char *name;
    std::vector<std::string> entries;
    bool running;
};

TEST(PolicyTest, BlocklistScan) {
    std::string self = own_comm();
    ASSERT_FALSE(self.empty());
    std::string upper = self;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    const blocklist_case cases[] = {
        {"empty_list", {}, false},
        {"own_name_second", {"no-such-program-kiv", self}, true},
        {"case_differs", {upper}, false},
        {"prefix_only", {self.substr(0, self.size() - 1)}, false},
        {"longer_than_the_kernel_keeps", {self + "-with-a-long-tail-xx"}, false},
    };
    for (const blocklist_case &c : cases) {
        SCOPED_TRACE(c.name);
        config cfg{};
        for (const std::string &e : c.entries)
            snprintf(cfg.blocklist[cfg.blocklist_count++], CONFIG_BLOCKLIST_NAME_SIZE, "%s",
                     e.c_str());
        EXPECT_EQ(blocklist_running(&cfg), c.running);
    }
    EXPECT_FALSE(blocklist_running(nullptr));
}

} // namespace
