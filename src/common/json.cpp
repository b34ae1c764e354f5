// Small JSON helpers over yyjson shared by every request and reply.
#include "json.h"

#include <cstring>
#include <memory>

namespace {

struct mut_doc_free {
    void operator()(yyjson_mut_doc *doc) const {
        yyjson_mut_doc_free(doc);
    }
};

} // namespace

char *json_quote(const char *text) {
    if (text == nullptr) {
        text = "";
    }
    std::unique_ptr<yyjson_mut_doc, mut_doc_free> doc(yyjson_mut_doc_new(nullptr));
    if (!doc) {
        return nullptr;
    }
    yyjson_mut_val *value = yyjson_mut_strn(doc.get(), text, strlen(text));
    if (value == nullptr) {
        return nullptr;
    }
    yyjson_mut_doc_set_root(doc.get(), value);
    // The default writer refuses text that is not valid UTF-8.
    return yyjson_mut_write(doc.get(), YYJSON_WRITE_NOFLAG, nullptr);
}

bool json_reply_is_ok(const char *reply) {
    if (reply == nullptr) {
        return false;
    }
    json_doc_ptr doc(yyjson_read(reply, strlen(reply), YYJSON_READ_NOFLAG));
    if (!doc) {
        return false;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        return false;
    }
    return yyjson_equals_str(json_obj_first(root, "status"), "ok");
}

bool json_is_plain_string(yyjson_val *value) {
    if (!yyjson_is_str(value)) {
        return false;
    }
    size_t len = yyjson_get_len(value);
    if (len < 1 || len > 1023) {
        return false;
    }
    return memchr(yyjson_get_str(value), '\0', len) == nullptr;
}

yyjson_val *json_obj_first(yyjson_val *obj, const char *key) {
    if (!yyjson_is_obj(obj) || key == nullptr) {
        return nullptr;
    }
    return yyjson_obj_get(obj, key);
}
