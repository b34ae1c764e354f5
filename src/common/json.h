// Small JSON helpers over yyjson used by every request and reply.
#pragma once

#include <yyjson.h>

#include <cstdlib>
#include <memory>

// Owners for a parsed document and for malloc'ed text such as json_quote's.
struct json_doc_free {
    void operator()(yyjson_doc *doc) const {
        yyjson_doc_free(doc);
    }
};
using json_doc_ptr = std::unique_ptr<yyjson_doc, json_doc_free>;
struct json_text_free {
    void operator()(char *text) const {
        free(text);
    }
};
using json_text_ptr = std::unique_ptr<char, json_text_free>;

// A newly allocated JSON string literal (quotes included) for text; null text
// counts as empty. Returns null when the text is not valid UTF-8 or memory is
// short. The caller frees the result with free().
char *json_quote(const char *text);
// True only when reply parses as a JSON object whose first "status" member is
// the string "ok".
bool json_reply_is_ok(const char *reply);
// True only for a string of 1 to 1023 bytes without a NUL byte.
bool json_is_plain_string(yyjson_val *value);
// The first member of obj named key (yyjson_obj_get already keeps the first).
yyjson_val *json_obj_first(yyjson_val *obj, const char *key);
