// KIV_MPV_OPTIONS splitting over arbitrary values: the pairs handed to the
// player are exactly the pieces between semicolons that hold an equals sign,
// in order, each split at its first one.
#include "fuzz_util.h"
#include "mpv.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

void collect(void *ctx, const char *name, const char *value) {
    FUZZ_CHECK(name != nullptr && value != nullptr);
    static_cast<pairs *>(ctx)->emplace_back(name, value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An environment value ends at its first NUL.
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));

    pairs got;
    FUZZ_CHECK(video_parse_options(text.c_str(), collect, &got) == 0);

    pairs expected;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        std::string piece = text.substr(start, end - start);
        size_t eq = piece.find('=');
        if (eq != std::string::npos)
            expected.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
        start = end + 1;
    }
    FUZZ_CHECK(got == expected);
    return 0;
}
