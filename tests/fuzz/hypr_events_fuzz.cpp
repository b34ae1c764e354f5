// The splitting of Hyprland's event stream into lines, read by read as the
// monitor receives it (FUZZ_SPLIT separates the reads). Each read must ask
// for a refresh exactly when it completes a line other than a focus or title
// event, and keep exactly the unfinished line.
#include "fuzz_util.h"
#include "hypr.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool ignored(std::string_view line) {
    return line.substr(0, 12) == "activewindow" || line.substr(0, 11) == "windowtitle";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char buf[HYPR_EVENT_BUFFER + 1];
    uint64_t len = 0;
    buf[0] = '\0';
    std::string unfinished; // what the buffer should hold

    for (std::string_view piece : fuzz_pieces(data, size)) {
        size_t used = 0;
        // A read takes at most the free part of the buffer, like recv does.
        do {
            size_t take = std::min(piece.size() - used, HYPR_EVENT_BUFFER - len);
            memcpy(buf + len, piece.data() + used, take);
            len += take;
            buf[len] = '\0';
            std::string received = unfinished;
            received.append(piece.substr(used, take));
            used += take;

            bool expect_refresh = false;
            size_t start = 0;
            for (size_t lf; (lf = received.find('\n', start)) != std::string::npos; start = lf + 1)
                expect_refresh |= !ignored(std::string_view(received).substr(start, lf - start));
            unfinished.assign(received, start);
            if (unfinished.size() >= HYPR_EVENT_BUFFER)
                unfinished.clear();

            FUZZ_CHECK(hypr_take_events(buf, &len) == expect_refresh);
            FUZZ_CHECK(len == unfinished.size());
            FUZZ_CHECK(memcmp(buf, unfinished.data(), len) == 0);
            FUZZ_CHECK(buf[len] == '\0');
        } while (used < piece.size());
    }
    return 0;
}
