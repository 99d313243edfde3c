#include "file_names.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <new>
#include <vector>

namespace silsplit_cli {

namespace {

// The length of the UTF-8 sequence that starts with byte c (1 for a byte
// that starts none).
size_t sequence_length(unsigned char c) {
    return c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
}

bool reserved_device(std::string base) {
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

// UTF-8 to UTF-16 and back with ICU; bytes that are not UTF-8 become U+FFFD.
std::vector<UChar> utf16(const std::string &s) {
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = 0;
    u_strFromUTF8WithSub(nullptr, 0, &n, s.data(), (int32_t)s.size(), 0xFFFD, nullptr, &e);
    std::vector<UChar> out((size_t)n + 1);
    e = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), (int32_t)out.size(), &n, s.data(), (int32_t)s.size(), 0xFFFD,
                         nullptr, &e);
    if (U_FAILURE(e))
        throw std::bad_alloc();
    out.resize((size_t)n);
    return out;
}

std::string utf8(const std::vector<UChar> &s) {
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = 0;
    u_strToUTF8WithSub(nullptr, 0, &n, s.data(), (int32_t)s.size(), 0xFFFD, nullptr, &e);
    std::string out((size_t)n + 1, '\0');
    e = U_ZERO_ERROR;
    u_strToUTF8WithSub(&out[0], (int32_t)out.size(), &n, s.data(), (int32_t)s.size(), 0xFFFD,
                       nullptr, &e);
    if (U_FAILURE(e))
        throw std::bad_alloc();
    out.resize((size_t)n);
    return out;
}

} // namespace

std::string safe_file_stem(const std::string &name, size_t max_bytes) {
    std::string out;
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = (unsigned char)name[i];
        size_t len = sequence_length(c);
        if (i + len > name.size())
            len = 1;
        const std::string ch = name.substr(i, len);
        const bool control = c < 0x20 || c == 0x7F ||
                             (len == 2 && c == 0xC2 && (unsigned char)name[i + 1] < 0xA0);
        const bool separator = ch == "\xE2\x80\xA8" || ch == "\xE2\x80\xA9";
        const bool refused = len == 1 && std::string("/\\:*?\"<>|").find((char)c) != std::string::npos;
        out += control || separator || refused ? std::string("_") : ch;
        i += len;
    }
    // Windows drops dots and spaces at the end, and shells trim spaces.
    const size_t a = out.find_first_not_of(' ');
    out = a == std::string::npos ? "" : out.substr(a);
    while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    if (!out.empty() && out[0] == '.')
        out[0] = '_';
    const size_t dot = out.find('.');
    if (reserved_device(out.substr(0, dot)))
        out.insert(dot == std::string::npos ? out.size() : dot, "_");
    if (out.size() > max_bytes) {
        size_t cut = max_bytes;
        while (cut > 0 && ((unsigned char)out[cut] & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 sequence
        out.resize(cut);
        while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
            out.pop_back();
    }
    return out;
}

std::string file_name_key(const std::string &name) {
    if (name.empty())
        return name;
    UErrorCode e = U_ZERO_ERROR;
    const UNormalizer2 *fold = unorm2_getNFKCCasefoldInstance(&e);
    if (U_FAILURE(e))
        throw std::bad_alloc(); // ICU's data is part of its library
    const std::vector<UChar> in = utf16(name);
    int32_t n = unorm2_normalize(fold, in.data(), (int32_t)in.size(), nullptr, 0, &e);
    if (e != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(e))
        throw std::bad_alloc();
    std::vector<UChar> out((size_t)n + 1);
    e = U_ZERO_ERROR;
    n = unorm2_normalize(fold, in.data(), (int32_t)in.size(), out.data(), (int32_t)out.size(), &e);
    if (U_FAILURE(e))
        throw std::bad_alloc();
    out.resize((size_t)n);
    return utf8(out);
}

} // namespace silsplit_cli
