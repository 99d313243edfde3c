#include "json_names.h"

#include "json_doc.h"

#include <cstdio>

namespace silsplit_cli {

size_t utf8_length(const std::string &s, size_t i) {
    const auto at = [&](size_t k) { return k < s.size() ? (unsigned char)s[k] : 0u; };
    const unsigned b = at(i);
    const auto cont = [&](size_t k) { return (at(k) & 0xC0u) == 0x80u; };
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        return cont(i + 1) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
        return at(i + 1) >= lo && at(i + 1) <= hi && cont(i + 2) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
        return at(i + 1) >= lo && at(i + 1) <= hi && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

std::string escape_invalid_utf8(const std::string &json) {
    std::string out;
    out.reserve(json.size());
    for (size_t i = 0; i < json.size();) {
        const size_t n = utf8_length(json, i);
        if (n > 0) {
            out.append(json, i, n);
            i += n;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04X", (unsigned)(unsigned char)json[i]);
            out += esc;
            ++i;
        }
    }
    return out;
}

std::string json_name(const std::string &name) {
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc)
        return "";
    yyjson_mut_doc_set_root(doc.get(), yyjson_mut_strn(doc.get(), name.data(), name.size()));
    return escape_invalid_utf8(
        take_json_text(yyjson_mut_write(doc.get(), YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr)));
}

} // namespace silsplit_cli
