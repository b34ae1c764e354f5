#include "config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Everything in the record as one line, so a mismatch shows which field.
std::string describe(const config &c) {
    char buf[256];
    snprintf(
        buf, sizeof buf,
        "fullscreen=%d occupied=%d battery_poster=%d battery_mode=%s gif_fps=%d gif_crf=%d "
        "max_width=%d max_height=%d cache_max_mb=%d proxy=%d proxy_max_mb=%d fade_ms=%d volume=%d "
        "blocklist=",
        c.pause_fullscreen, c.pause_occupied_workspace, c.battery_poster, c.battery_mode, c.gif_fps,
        c.gif_crf, c.max_width, c.max_height, c.cache_max_mb, c.proxy, c.proxy_max_mb, c.fade_ms,
        c.volume);
    std::string s = buf;
    s += "[";
    for (int i = 0; i < c.blocklist_count && i < CONFIG_BLOCKLIST_MAX; i++)
        s += (i ? "|" : "") + std::string(c.blocklist[i]);
    snprintf(buf, sizeof buf, "] fit=%d background_color=%06x outputs=", c.fit, c.background_color);
    s += buf;
    for (int i = 0; i < c.output_count && i < CONFIG_OUTPUT_MAX; i++) {
        snprintf(buf, sizeof buf, "%s{%s fit=%d color=%d}", i ? "|" : "", c.outputs[i].name,
                 c.outputs[i].fit, c.outputs[i].background_color);
        s += buf;
    }
    return s;
}

void add_output(config &c, const char *name, int32_t fit, int32_t color) {
    config_output &entry = c.outputs[c.output_count++];
    snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.fit = fit;
    entry.background_color = color;
}

class TempFile {
  public:
    explicit TempFile(const std::string &text) {
        char tmpl[] = "/tmp/kiv-config-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        path_ = tmpl;
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
    }
    ~TempFile() {
        unlink(path_.c_str());
    }
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
};

// Runs config_load with standard output and error sent to a file; returns
// the log lines as "LEVEL message".
struct LoadResult {
    int rc;
    int err;
    std::vector<std::string> log;
};

LoadResult load_captured(config *cfg, const char *path) {
    fflush(nullptr);
    char tmpl[] = "/tmp/kiv-config-log-XXXXXX";
    int tmp = mkstemp(tmpl);
    unlink(tmpl);
    int saved_out = dup(1), saved_err = dup(2);
    dup2(tmp, 1);
    dup2(tmp, 2);
    LoadResult r;
    errno = 0;
    r.rc = config_load(cfg, path);
    r.err = errno;
    fflush(nullptr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);

    std::string text;
    char buf[4096];
    lseek(tmp, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(tmp, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(tmp);

    // "HH:MM:SS.mmm ident[pid] LEVEL file:line: message" becomes "LEVEL message".
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
        size_t d = c == std::string::npos ? c : line.find(": ", c + 1);
        if (a != 12 || line[8] != '.' || d == std::string::npos || line[b - 1] != ']')
            r.log.push_back("UNPARSED " + line);
        else
            r.log.push_back(line.substr(b + 1, c - b - 1) + " " + line.substr(d + 2));
    }
    return r;
}

using Edit = std::function<void(config &)>;

void set_blocklist(config &c, std::vector<std::string> names) {
    memset(c.blocklist, 0, sizeof c.blocklist);
    c.blocklist_count = (int32_t)names.size();
    for (size_t i = 0; i < names.size(); i++)
        snprintf(c.blocklist[i], sizeof c.blocklist[i], "%s", names[i].c_str());
}

struct Case {
    const char *name;
    std::string text;
    unsigned fail_line; // 0: the load succeeds
    Edit expect;        // applied to the defaults to get the expected record
    std::vector<std::string> warnings;
};

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

// A multi-line array under an unknown key whose text ends up exactly `total`
// characters long: "[" then eight lines of 500 characters, then the closer.
std::string long_array(size_t total) {
    std::string s = "[pause]\nother = [\n";
    for (int i = 0; i < 8; i++)
        s += repeat('x', 500) + "\n";
    size_t used = 1 + 8 * 501;
    s += repeat('x', total - used - 2) + "]\n";
    return s;
}

// Tables for the outputs O0 ... O16, each with one key: the seventeenth fails.
std::string seventeen_outputs() {
    std::string s;
    for (int i = 0; i < 17; i++)
        s += "[output.O" + std::to_string(i) + "]\nfit = contain\n";
    return s;
}

std::vector<Case> cases() {
    const Edit none = [](config &) {};
    std::string names16, names17;
    for (int i = 0; i < 17; i++) {
        std::string n = "p" + std::to_string(i);
        if (i < 16)
            names16 += (i ? "," : "") + n;
        names17 += (i ? "," : "") + n;
    }
    std::vector<std::string> list16;
    for (int i = 0; i < 16; i++)
        list16.push_back("p" + std::to_string(i));

    return {
        {"empty file", "", 0, none, {}},
        {"comments and blank lines only", "# kiv\n\n   # indented\n\t\n", 0, none, {}},
        {"all keys",
         "[pause]\nfullscreen = no\noccupied_workspace = yes\nbattery_poster = 1\n"
         "battery_mode = pause\n[transcode]\ngif_fps = 30\ngif_crf = 18\nmax_width = 1920\n"
         "max_height = 1080\ncache_max_mb = 0\nproxy = false\nproxy_max_mb = 300\n[render]\n"
         "fade_ms = 0\nvolume = 40\n",
         0,
         [](config &c) {
             c.proxy = false;
             c.proxy_max_mb = 300;
             c.pause_fullscreen = false;
             c.pause_occupied_workspace = true;
             c.battery_poster = true;
             strcpy(c.battery_mode, "pause");
             c.gif_fps = 30;
             c.gif_crf = 18;
             c.max_width = 1920;
             c.max_height = 1080;
             c.cache_max_mb = 0;
             c.fade_ms = 0;
             c.volume = 40;
         },
         {}},
        {"other boolean words",
         "[pause]\nfullscreen=0\noccupied_workspace=true\nbattery_poster=false\n",
         0,
         [](config &c) {
             c.pause_fullscreen = false;
             c.pause_occupied_workspace = true;
         },
         {}},
        {"values above their ranges",
         "[transcode]\ngif_fps = 100\ngif_crf = 99\nmax_width = 99999\nmax_height = 20000\n"
         "cache_max_mb = 100000\nproxy_max_mb = 2000000\n[render]\nfade_ms = 5000\nvolume = 101\n",
         0,
         [](config &c) {
             c.proxy_max_mb = 1048576;
             c.gif_fps = 50;
             c.gif_crf = 51;
             c.max_width = 16384;
             c.max_height = 16384;
             c.cache_max_mb = 65536;
             c.fade_ms = 2000;
             c.volume = 100;
         },
         {}},
        {"values below their ranges",
         "[transcode]\ngif_fps = 2\ngif_crf = -1\nmax_width = 100\nmax_height = 50\n"
         "cache_max_mb = -3\nproxy_max_mb = -1\n[render]\nfade_ms = -5\nvolume = -1\n",
         0,
         [](config &c) {
             c.proxy_max_mb = 0;
             c.gif_fps = 5;
             c.gif_crf = 0;
             c.max_width = 320;
             c.max_height = 200;
             c.cache_max_mb = 0;
             c.fade_ms = 0;
         },
         {}},
        {"32-bit extremes are clamped",
         "[transcode]\ngif_fps = 2147483647\ngif_crf = -2147483648\ncache_max_mb = +70\n",
         0,
         [](config &c) {
             c.gif_fps = 50;
             c.gif_crf = 0;
             c.cache_max_mb = 70;
         },
         {}},
        {"quoted values and trailing comments",
         "[transcode]\ngif_fps = \"30\"\ngif_crf = '25'   # quality\n[render]\nfade_ms = 100 # ms\n"
         "[pause]\nbattery_mode = \"poster\" # with \"quotes\" in the comment\n",
         0,
         [](config &c) {
             c.gif_fps = 30;
             c.gif_crf = 25;
             c.fade_ms = 100;
             strcpy(c.battery_mode, "poster");
         },
         {}},
        {"CRLF line ends",
         "[pause]\r\nfullscreen = no\r\n",
         0,
         [](config &c) { c.pause_fullscreen = false; },
         {}},
        {"last occurrence wins",
         "[render]\nfade_ms = 10\nfade_ms = 20\n",
         0,
         [](config &c) { c.fade_ms = 20; },
         {}},
        {"unknown keys and sections only warn",
         "x = 1\n[pause]\nvolume = 3\n[ pause ]\nfullscreen = false\n[foo.bar]\nk = [1, 2]\n"
         "[render]\nfade_ms = 7\n",
         0,
         [](config &c) { c.fade_ms = 7; },
         {"WARN unknown config key (top).x", "WARN unknown config key pause.volume",
          "WARN unknown config key  pause .fullscreen", "WARN unknown config key foo.bar.k"}},

        // Blocklist forms.
        {"blocklist of three kinds of names",
         "[pause]\nblocklist = [ \"obs\" ,  'steam' ,   blender   ]\n",
         0,
         [](config &c) {
             set_blocklist(c, {"obs", "steam", "blender"});
         },
         {}},
        {"blocklist over several lines with comments",
         "[pause]\nblocklist = [   # programs\n  \"obs\",      # recorder\n\n"
         "  'steam',  # '\n      # only a comment\n  blender\n]\nfullscreen = no\n",
         0,
         [](config &c) {
             set_blocklist(c, {"obs", "steam", "blender"});
             c.pause_fullscreen = false;
         },
         {}},
        {"blocklist escapes and literal single quotes",
         "[pause]\nblocklist = [\"a\\\"b\", \"c\\\\d\", 'e\\f', my prog]\n",
         0,
         [](config &c) {
             set_blocklist(c, {"a\"b", "c\\d", "e\\f", "my prog"});
         },
         {}},
        {"blocklist trailing comma",
         "[pause]\nblocklist = [\"one\",]\n",
         0,
         [](config &c) { set_blocklist(c, {"one"}); },
         {}},
        {"blocklist empty", "[pause]\nblocklist = [a]\nblocklist = []\n", 0, none, {}},
        {"later blocklist replaces the list",
         "[pause]\nblocklist = [a, b, c]\nblocklist = [d]\n",
         0,
         [](config &c) { set_blocklist(c, {"d"}); },
         {}},
        {"blocklist of 16 names",
         "[pause]\nblocklist = [" + names16 + "]\n",
         0,
         [list16](config &c) { set_blocklist(c, list16); },
         {}},
        {"blocklist names of 63 characters",
         "[pause]\nblocklist = [\"" + repeat('q', 63) + "\", " + repeat('b', 63) + "]\n",
         0,
         [](config &c) {
             set_blocklist(c, {repeat('q', 63), repeat('b', 63)});
         },
         {}},
        {"array text of exactly 4095 characters",
         long_array(4095),
         0,
         none,
         {"WARN unknown config key pause.other"}},
        // The header-shaped line is array text and its bracket closes the array,
        // so the section stays "pause".
        {"header-shaped line inside an array is array text",
         "[pause]\nother = [\n[render]\nfullscreen = no\n",
         0,
         [](config &c) { c.pause_fullscreen = false; },
         {"WARN unknown config key pause.other"}},
        {"line of 510 characters",
         "# " + repeat('c', 508) + "\n[render]\nfade_ms = 9",
         0,
         [](config &c) { c.fade_ms = 9; },
         {}},

        // Failures, with the line that is reported.
        {"capitalised battery mode", "[pause]\nbattery_mode = Poster\n", 2, none, {}},
        {"number sign inside quotes is not a comment",
         "[pause]\nbattery_mode = \"pause#1\"\n",
         2,
         none,
         {}},
        {"value with an opening quote only", "[pause]\nbattery_mode = \"play\n", 2, none, {}},
        {"boolean True", "[pause]\nfullscreen = True\n", 2, none, {}},
        {"boolean on", "[pause]\n\nfullscreen = on\n", 3, none, {}},
        {"boolean 2", "[pause]\nbattery_poster = 2\n", 2, none, {}},
        {"proxy as a word", "[transcode]\nproxy = never\n", 2, none, {}},
        {"hexadecimal integer", "[transcode]\ngif_fps = 0x10\n", 2, none, {}},
        {"integer with a unit", "[render]\nfade_ms = 12ms\n", 2, none, {}},
        {"empty integer", "[render]\nfade_ms =\n", 2, none, {}},
        {"fractional integer", "[render]\nfade_ms = 1.5\n", 2, none, {}},
        {"integer above 32 bits", "[render]\nfade_ms = 2147483648\n", 2, none, {}},
        {"integer below 32 bits", "[render]\nfade_ms = -2147483649\n", 2, none, {}},
        {"line without equals sign", "[pause]\nfullscreen\n", 2, none, {}},
        {"header followed by text", "[pause] # ok\n[render] x\n", 2, none, {}},
        {"header with a second bracket", "[pa]use]\n", 1, none, {}},
        {"unclosed header", "[pause\n", 1, none, {}},
        {"line of 511 characters",
         "[pause]\n# " + repeat('c', 509) + "\nfullscreen = no\n",
         2,
         none,
         {}},
        {"last line of 511 characters without newline",
         "[pause]\n# " + repeat('c', 509),
         2,
         none,
         {}},
        {"blocklist as a quoted name", "[pause]\nblocklist = \"obs\"\n", 2, none, {}},
        {"blocklist followed by text", "[pause]\nblocklist = [\"obs\"] extra\n", 2, none, {}},
        {"blocklist names without comma", "[pause]\nblocklist = [\"a\" \"b\"]\n", 2, none, {}},
        {"blocklist empty element", "[pause]\nblocklist = [a,,b]\n", 2, none, {}},
        {"blocklist empty quoted name", "[pause]\nblocklist = [\"\"]\n", 2, none, {}},
        {"blocklist unknown escape", "[pause]\nblocklist = [\"a\\x\"]\n", 2, none, {}},
        {"blocklist quote in a bare name", "[pause]\nblocklist = [a\"b]\n", 2, none, {}},
        {"blocklist unterminated quote", "[pause]\nblocklist = [\"obs]\n", 2, none, {}},
        {"blocklist of 17 names", "[pause]\nblocklist = [" + names17 + "]\n", 2, none, {}},
        {"blocklist name of 64 characters",
         "[pause]\nblocklist = [\"" + repeat('q', 64) + "\"]\n",
         2,
         none,
         {}},
        {"bare name of 63 characters and a blank",
         "[pause]\nblocklist = [" + repeat('b', 63) + " ]\n",
         2,
         none,
         {}},
        {"bad element in a multi-line array",
         "[pause]\nblocklist = [\n  obs,\n  ,\n]\n",
         5,
         none,
         {}},
        {"array text of 4096 characters", long_array(4096), 11, none, {}},
        {"array never closed",
         "[pause]\nblocklist = [\n  \"obs\",  # recorder\n  'steam',\n",
         4,
         none,
         {}},
        {"array opened on the last line",
         "[render]\nfade_ms = 5\n[pause]\nblocklist = [a,",
         4,
         none,
         {}},
        {"fit and background colour",
         "[render]\nfit = \"contain\"\nbackground_color = \"#1A2b3C\"\n",
         0,
         [](config &c) {
             c.fit = FIT_CONTAIN;
             c.background_color = 0x1a2b3c;
         },
         {}},
        {"every fit word",
         "[render]\nfit = stretch\nfit = center\n",
         0,
         [](config &c) { c.fit = FIT_CENTER; },
         {}},
        {"fit in capitals", "[render]\nfit = Cover\n", 2, none, {}},
        {"unknown fit", "[render]\nfit = fill\n", 2, none, {}},
        {"colour without its hash", "[render]\nbackground_color = 000000\n", 2, none, {}},
        {"colour of three digits", "[render]\nbackground_color = \"#fff\"\n", 2, none, {}},
        {"colour with a non-hex digit", "[render]\nbackground_color = \"#00000g\"\n", 2, none, {}},
        {"colour with alpha", "[render]\nbackground_color = \"#00000000\"\n", 2, none, {}},
        {"output tables bare, quoted and single-quoted",
         "[output.DP-1]\nfit = contain\n[output.\"HDMI-A-1\"]\nbackground_color = "
         "\"#FF0000\"\n[output.'eDP.1']\nfit = \"center\"\nbackground_color = '#00ff00'\n",
         0,
         [](config &c) {
             add_output(c, "DP-1", FIT_CONTAIN, -1);
             add_output(c, "HDMI-A-1", -1, 0xff0000);
             add_output(c, "eDP.1", FIT_CENTER, 0x00ff00);
         },
         {}},
        {"one output named twice, bare and quoted",
         "[output.DP-1]\nfit = contain\n[render]\nfit = stretch\n[output.\"DP-1\"]\n"
         "fit = center\nbackground_color = \"#0000ff\"\n",
         0,
         [](config &c) {
             c.fit = FIT_STRETCH;
             add_output(c, "DP-1", FIT_CENTER, 0x0000ff);
         },
         {}},
        {"output table with an unknown key",
         "[output.DP-1]\nvolume = 3\n",
         0,
         none,
         {"WARN unknown config key output.DP-1.volume"}},
        {"output table with an invalid fit", "[output.DP-1]\nfit = tile\n", 2, none, {}},
        {"output name empty", "[output.]\nfit = contain\n", 2, none, {}},
        {"output name quoted empty", "[output.\"\"]\nfit = contain\n", 2, none, {}},
        {"output name with a slash", "[output.a/b]\nfit = contain\n", 2, none, {}},
        {"output name dot dot", "[output.\"..\"]\nfit = contain\n", 2, none, {}},
        {"output name of 63 characters",
         "[output." + repeat('n', 63) + "]\nfit = contain\n",
         0,
         [](config &c) { add_output(c, std::string(63, 'n').c_str(), FIT_CONTAIN, -1); },
         {}},
        {"output name of 64 characters",
         "[output." + repeat('n', 64) + "]\nfit = contain\n",
         2,
         none,
         {}},
        {"seventeen output tables", seventeen_outputs(), 34, none, {}},
        {"unknown keys before an error still warn",
         "x = 1\n[render]\nfade_ms = soon\n",
         3,
         none,
         {"WARN unknown config key (top).x"}},
    };
}

TEST(ConfigLoad, Table) {
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        TempFile file(c.text);
        config cfg;
        config_set_defaults(&cfg);
        config expected;
        config_set_defaults(&expected);
        std::vector<std::string> log = c.warnings;
        if (c.fail_line == 0) {
            c.expect(expected);
        } else {
            log.push_back("ERROR Invalid config at " + file.path() + ":" +
                          std::to_string(c.fail_line));
        }

        LoadResult r = load_captured(&cfg, file.path().c_str());
        if (c.fail_line == 0) {
            EXPECT_EQ(r.rc, 0);
        } else {
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.err, EINVAL);
        }
        EXPECT_EQ(describe(cfg), describe(expected));
        EXPECT_EQ(r.log, log);
    }
}

// A record that differs from the defaults in every field a file can set back
// (output tables are only ever added).
config unusual_record() {
    config c;
    config_set_defaults(&c);
    c.pause_fullscreen = false;
    c.pause_occupied_workspace = true;
    c.battery_poster = true;
    strcpy(c.battery_mode, "poster");
    c.gif_fps = 7;
    c.gif_crf = 3;
    c.max_width = 1000;
    c.max_height = 900;
    c.cache_max_mb = 42;
    c.proxy = false;
    c.proxy_max_mb = 99;
    c.fade_ms = 777;
    c.volume = 55;
    set_blocklist(c, {"firefox", "mpv"});
    c.fit = FIT_STRETCH;
    c.background_color = 0x123456;
    return c;
}

TEST(ConfigFit, OutputTablesOverrideRenderWhereTheySet) {
    config c;
    config_set_defaults(&c);
    c.fit = FIT_CONTAIN;
    c.background_color = 0x102030;
    add_output(c, "DP-1", FIT_CENTER, -1);
    add_output(c, "DP-2", -1, 0xffffff);
    add_output(c, "DP-3", FIT_STRETCH, 0x00ff00);
    struct {
        const char *name;
        fit_mode fit;
        uint32_t color;
    } cases[] = {
        {"DP-1", FIT_CENTER, 0x102030},  {"DP-2", FIT_CONTAIN, 0xffffff},
        {"DP-3", FIT_STRETCH, 0x00ff00}, {"HDMI-A-1", FIT_CONTAIN, 0x102030},
        {"dp-1", FIT_CONTAIN, 0x102030},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        fit_mode fit = FIT_COVER;
        uint32_t color = 0;
        config_fit_of(&c, k.name, &fit, &color);
        EXPECT_EQ(fit, k.fit);
        EXPECT_EQ(color, k.color);
    }
    char text[8];
    color_text(0x0a0b0c, text, sizeof text);
    EXPECT_STREQ(text, "#0a0b0c");
    EXPECT_STREQ(fit_mode_word(FIT_CENTER), "center");
}

TEST(ConfigLoad, FailedLoadLeavesRecordUntouched) {
    TempFile file("[pause]\nfullscreen = yes\nblocklist = [a]\n[transcode]\ngif_fps = 30\n"
                  "[render]\nfade_ms = 100\nfade_ms = never\n");
    config cfg = unusual_record();
    const std::string before = describe(cfg);
    LoadResult r = load_captured(&cfg, file.path().c_str());
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EINVAL);
    EXPECT_EQ(describe(cfg), before);
}

TEST(ConfigLoad, KeysNotInTheFileKeepTheRecordValues) {
    TempFile file("[render]\nfade_ms = 100\n");
    config cfg = unusual_record();
    config expected = unusual_record();
    expected.fade_ms = 100;
    LoadResult r = load_captured(&cfg, file.path().c_str());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(describe(cfg), describe(expected));
}

TEST(ConfigLoad, MissingFileFailsSilently) {
    config cfg = unusual_record();
    const std::string before = describe(cfg);
    LoadResult r = load_captured(&cfg, "/nonexistent/kiv/config.toml");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, ENOENT);
    EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(describe(cfg), before);
}

TEST(ConfigLoad, ShippedExampleHoldsTheDefaults) {
    config cfg = unusual_record();
    config defaults;
    config_set_defaults(&defaults);
    LoadResult r = load_captured(&cfg, KIV_SOURCE_DIR "/contrib/config.toml");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, std::vector<std::string>{});
    EXPECT_EQ(describe(cfg), describe(defaults));
}

struct ManualExample {
    std::string heading; // the manual section it stands in
    std::string text;
};

// The literal blocks of a manual page's scdoc source, with their headings.
std::vector<ManualExample> manual_examples(const char *path) {
    std::vector<ManualExample> blocks;
    FILE *f = fopen(path, "re");
    EXPECT_NE(f, nullptr) << path;
    if (!f)
        return blocks;
    std::string heading;
    bool inside = false;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "```", 3) == 0) {
            inside = !inside;
            if (inside)
                blocks.push_back({heading, ""});
        } else if (inside) {
            blocks.back().text += line;
        } else if (strncmp(line, "# ", 2) == 0) {
            heading.assign(line + 2, strcspn(line + 2, "\n"));
        }
    }
    fclose(f);
    EXPECT_FALSE(inside) << "unclosed literal block in " << path;
    return blocks;
}

// The configuration manual's examples are what users copy: each must load
// without a warning, and the one under DEFAULTS must hold exactly the defaults.
TEST(ConfigLoad, ManualExamplesLoadAsDocumented) {
    config defaults;
    config_set_defaults(&defaults);
    std::vector<ManualExample> blocks =
        manual_examples(KIV_SOURCE_DIR "/contrib/man/kiv-config.5.scd");
    int with_defaults = 0;
    for (size_t i = 0; i < blocks.size(); i++) {
        SCOPED_TRACE("block " + std::to_string(i) + " under " + blocks[i].heading + ":\n" +
                     blocks[i].text);
        TempFile file(blocks[i].text);
        bool is_defaults = blocks[i].heading == "DEFAULTS";
        config cfg = is_defaults ? unusual_record() : defaults;
        LoadResult r = load_captured(&cfg, file.path().c_str());
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.log, std::vector<std::string>{});
        if (is_defaults) {
            with_defaults++;
            EXPECT_EQ(describe(cfg), describe(defaults));
        }
    }
    EXPECT_EQ(with_defaults, 1) << "the manual shows the defaults in one block";
}

} // namespace
