// The occupancy evaluation over arbitrary compositor answers, read the way
// the daemon reads them. The input is the clients text, a line feed, then the
// monitors text; either may fail to parse, which the daemon sees as a missing
// document.
#include "fuzz_util.h"
#include "hypr.h"
#include "json.h"
#include "occupancy.h"

#include <cstring>
#include <set>
#include <string>

namespace {

json_doc_ptr parse(const std::string &text) {
    return json_doc_ptr(hypr_parse_reply(text.data(), text.size()));
}

// Every byte outside ASCII turned into 'x'. Such bytes may only stand inside
// texts, where the reader takes them whatever they encode.
std::string ascii(std::string text) {
    for (char &c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            c = 'x';
    }
    return text;
}

struct verdict {
    bool clients_read, monitors_read;
    bool fullscreen, occupied;
    std::string covered;
};

verdict judge(const std::string &clients_text, const std::string &monitors_text) {
    json_doc_ptr clients_doc = parse(clients_text);
    json_doc_ptr monitors_doc = parse(monitors_text);
    yyjson_val *clients = clients_doc ? yyjson_doc_get_root(clients_doc.get()) : nullptr;
    yyjson_val *monitors = monitors_doc ? yyjson_doc_get_root(monitors_doc.get()) : nullptr;
    char covered[1024];
    occupancy_covered_outputs(clients, monitors, OCCUPANCY_FULLSCREEN, covered, sizeof covered);
    return {clients_doc != nullptr, monitors_doc != nullptr,
            occupancy_all_covered(clients, monitors, OCCUPANCY_FULLSCREEN),
            occupancy_all_covered(clients, monitors, OCCUPANCY_ANY_WINDOW), covered};
}

std::set<std::string> split_names(const char *list) {
    std::set<std::string> names;
    std::string item;
    for (const char *p = list;; p++) {
        if (*p == ',' || *p == '\0') {
            names.insert(item);
            item.clear();
            if (*p == '\0')
                break;
        } else {
            item.push_back(*p);
        }
    }
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t lf = input.find('\n');
    std::string clients_text = input.substr(0, lf);
    std::string monitors_text = lf == std::string::npos ? "" : input.substr(lf + 1);
    json_doc_ptr clients_doc = parse(clients_text);
    json_doc_ptr monitors_doc = parse(monitors_text);
    yyjson_val *clients = clients_doc ? yyjson_doc_get_root(clients_doc.get()) : nullptr;
    yyjson_val *monitors = monitors_doc ? yyjson_doc_get_root(monitors_doc.get()) : nullptr;

    bool fullscreen = occupancy_all_covered(clients, monitors, OCCUPANCY_FULLSCREEN);
    bool occupied = occupancy_all_covered(clients, monitors, OCCUPANCY_ANY_WINDOW);
    // A fullscreen window is a window.
    FUZZ_CHECK(!fullscreen || occupied);

    if (yyjson_is_arr(monitors)) {
        size_t idx, max;
        yyjson_val *monitor;
        yyjson_arr_foreach(monitors, idx, max, monitor) {
            FUZZ_CHECK(!occupancy_monitor_covered(monitor, clients, OCCUPANCY_FULLSCREEN) ||
                       occupancy_monitor_covered(monitor, clients, OCCUPANCY_ANY_WINDOW));
        }
    }

    // The full list, then every smaller buffer: each keeps a terminated
    // prefix of it, and only a fully written list may be empty.
    char full[1024];
    bool listed =
        occupancy_covered_outputs(clients, monitors, OCCUPANCY_FULLSCREEN, full, sizeof full);
    FUZZ_CHECK(memchr(full, '\0', sizeof full) != nullptr);
    FUZZ_CHECK(listed == (full[0] != '\0'));
    size_t full_len = strlen(full);
    for (size_t cap : {size_t{2}, size_t{3}, size_t{8}, full_len, full_len + 1}) {
        if (cap < 2 || cap > sizeof full)
            continue;
        char small[sizeof full];
        memset(small, 'x', sizeof small);
        bool small_listed =
            occupancy_covered_outputs(clients, monitors, OCCUPANCY_FULLSCREEN, small, cap);
        FUZZ_CHECK(memchr(small, '\0', cap) != nullptr);
        FUZZ_CHECK(strncmp(small, full, strlen(small)) == 0);
        FUZZ_CHECK(small_listed == listed);
    }

    // Text that is not UTF-8 (a window title in Latin-1) changes nothing but
    // the texts themselves: both read or neither does, with the same answers.
    verdict original = judge(clients_text, monitors_text);
    verdict plain = judge(ascii(clients_text), ascii(monitors_text));
    FUZZ_CHECK(original.clients_read == plain.clients_read);
    FUZZ_CHECK(original.monitors_read == plain.monitors_read);
    FUZZ_CHECK(original.fullscreen == plain.fullscreen && original.occupied == plain.occupied);
    FUZZ_CHECK(ascii(original.covered) == plain.covered);
    FUZZ_CHECK(original.fullscreen == fullscreen && original.covered == full);

    // Names covered by a fullscreen window are covered by a window.
    char any[1024];
    occupancy_covered_outputs(clients, monitors, OCCUPANCY_ANY_WINDOW, any, sizeof any);
    if (listed && full_len + 1 < sizeof full && strlen(any) + 1 < sizeof any) {
        std::set<std::string> any_names = split_names(any);
        for (const std::string &name : split_names(full))
            FUZZ_CHECK(any_names.count(name) == 1);
    }
    return 0;
}
