#include "chapter_files.h"

#include "json_doc.h"
#include "printf_text.h"

#include "engine.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>

namespace silsplit_cli {

namespace {

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(const std::string &s) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        size_t len;
        unsigned lo = 0x80, hi = 0xBF; // the range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;
            if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n || p[i + 1] < lo || p[i + 1] > hi)
            return false;
        for (size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return false;
        i += len;
    }
    return true;
}

// Bytes of Latin-1 as UTF-8: CUE sheets of older rippers are often in it.
std::string latin1_to_utf8(const std::string &s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += (char)c;
        } else {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The text as UTF-8, without a byte-order mark.
std::string decoded(const std::string &raw) {
    std::string text = is_utf8(raw) ? raw : latin1_to_utf8(raw);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    return text;
}

// The lines of text, split at each line end: "\r\n", "\n" or a lone "\r" (as
// old Mac editors write), without it; *ends (may be NULL) gets each line's
// end ("" for the last), for a value that runs on over an escaped one.
std::vector<std::string> split_lines(const std::string &text,
                                     std::vector<std::string> *ends = nullptr) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (;;) {
        const size_t br = text.find_first_of("\r\n", at);
        lines.push_back(text.substr(at, br == std::string::npos ? std::string::npos : br - at));
        if (br == std::string::npos) {
            if (ends)
                ends->push_back("");
            break;
        }
        const size_t len = text.compare(br, 2, "\r\n") == 0 ? 2 : 1;
        if (ends)
            ends->push_back(text.substr(br, len));
        at = br + len;
    }
    return lines;
}

std::string trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    const size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

bool all_digits(const std::string &s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return s;
}

// DIGITS or DIGITS.DIGITS, read as a double.
bool parse_decimal(const std::string &s, double *out) {
    const size_t dot = s.find('.');
    const std::string whole = s.substr(0, dot);
    if (!all_digits(whole) || whole.size() > 9)
        return false;
    if (dot != std::string::npos && !all_digits(s.substr(dot + 1)))
        return false;
    *out = strtod(s.c_str(), nullptr);
    return true;
}

// A whole number of at most 18 digits.
bool parse_whole(const std::string &s, long long *out) {
    if (!all_digits(s) || s.size() > 18)
        return false;
    *out = strtoll(s.c_str(), nullptr, 10);
    return true;
}

// A start in a plain list: seconds, M:SS, H:MM:SS, each with an optional
// fraction of a second.
bool parse_clock(const std::string &s, double *out) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t colon = s.find(':', at);
        parts.push_back(s.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    if (parts.size() > 3)
        return false;
    double seconds = 0;
    if (!parse_decimal(parts.back(), &seconds))
        return false;
    if (parts.size() == 1) {
        *out = seconds;
        return true;
    }
    // The fields after the first: two digits, under 60.
    const std::string sec_whole = parts.back().substr(0, parts.back().find('.'));
    if (sec_whole.size() != 2 || seconds >= 60)
        return false;
    long long minutes = 0, hours = 0;
    if (!parse_whole(parts[parts.size() - 2], &minutes) || parts[parts.size() - 2].size() > 9)
        return false;
    if (parts.size() == 3) {
        if (parts[1].size() != 2 || minutes >= 60 || !parse_whole(parts[0], &hours) ||
            parts[0].size() > 9)
            return false;
    }
    *out = (double)(hours * 3600 + minutes * 60) + seconds;
    return true;
}

// ---------------------------------------------------------------------------
// The formats
// ---------------------------------------------------------------------------

// A failure at a line of the file.
struct LineError {
    int line = 0;
    std::string message;
};

bool fail(LineError *e, int line, const std::string &message) {
    e->line = line;
    e->message = message;
    return false;
}

ChapterMark mark_at(int line, double t0) {
    ChapterMark m;
    m.line = line;
    m.t0 = t0;
    return m;
}

void set_title(ChapterMark *m, const std::string &title) {
    if (title.empty())
        return;
    m->has_title = true;
    m->title = title;
}

// The lines that carry something: neither blank nor a '#' comment.
bool is_content(const std::string &line) {
    const std::string t = trim(line);
    return !t.empty() && t[0] != '#';
}

bool is_cue_command(const std::string &word) {
    static const char *const words[] = {"REM",        "FILE",  "TRACK", "TITLE",  "PERFORMER",
                                        "CATALOG",    "INDEX", "FLAGS", "ISRC",   "PREGAP",
                                        "POSTGAP",    "SONGWRITER", "CDTEXTFILE"};
    for (const char *w : words)
        if (word == w)
            return true;
    return false;
}

std::string first_word(const std::string &line, std::string *rest) {
    const std::string t = trim(line);
    const size_t end = t.find_first_of(" \t");
    if (rest)
        *rest = end == std::string::npos ? "" : trim(t.substr(end));
    return t.substr(0, end);
}

// A time of a label track: seconds, with '.' or ',' before the fraction.
bool parse_label_time(std::string s, double *out) {
    for (char &c : s)
        if (c == ',')
            c = '.';
    return parse_decimal(trim(s), out);
}

std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

bool looks_like_labels(const std::string &line) {
    const std::vector<std::string> f = split_tabs(line);
    double t;
    return f.size() >= 2 && parse_label_time(f[0], &t) && parse_label_time(f[1], &t);
}

bool read_labels(const std::vector<std::string> &lines, std::vector<ChapterMark> *marks,
                 LineError *e) {
    for (size_t k = 0; k < lines.size(); ++k) {
        const int no = (int)k + 1;
        // Blank lines, comments, and the frequency lines of spectral labels.
        if (!is_content(lines[k]) || lines[k][0] == '\\')
            continue;
        const std::vector<std::string> f = split_tabs(lines[k]);
        if (f.size() < 2)
            return fail(e, no, "not START<TAB>END<TAB>LABEL");
        double t0, t1;
        if (!parse_label_time(f[0], &t0))
            return fail(e, no, "not a time in seconds: '" + trim(f[0]) + "'");
        if (!parse_label_time(f[1], &t1))
            return fail(e, no, "not a time in seconds: '" + trim(f[1]) + "'");
        ChapterMark m = mark_at(no, t0);
        if (t1 != t0) { // a point label marks a start only
            m.has_t1 = true;
            m.t1 = t1;
        }
        std::string label;
        for (size_t j = 2; j < f.size(); ++j)
            label += (j > 2 ? "\t" : "") + f[j];
        set_title(&m, trim(label));
        marks->push_back(m);
    }
    return true;
}

// A start in brackets, as many listings write it: "[00:03:12] Two". The
// start and the rest of the line, or false.
bool bracketed_start(const std::string &line, std::string *word, std::string *rest) {
    const std::string t = trim(line);
    const size_t close = t.find(']');
    double t0;
    if (t.empty() || t[0] != '[' || close == std::string::npos ||
        !parse_clock(t.substr(1, close - 1), &t0))
        return false;
    *word = t.substr(1, close - 1);
    *rest = trim(t.substr(close + 1));
    return true;
}

bool read_plain(const std::vector<std::string> &lines, std::vector<ChapterMark> *marks,
                LineError *e) {
    for (size_t k = 0; k < lines.size(); ++k) {
        const int no = (int)k + 1;
        if (!is_content(lines[k]))
            continue;
        std::string rest, word;
        if (!bracketed_start(lines[k], &word, &rest))
            word = first_word(lines[k], &rest);
        double t0;
        if (!parse_clock(word, &t0))
            return fail(e, no,
                        "not a start (seconds, M:SS, H:MM:SS or H:MM:SS.mmm): '" + word + "'");
        ChapterMark m = mark_at(no, t0);
        // "0:00 - Title" as listings write it.
        for (const char *dash : {"-", "\xE2\x80\x93", "\xE2\x80\x94"}) {
            const size_t len = strlen(dash);
            if (rest.compare(0, len, dash) == 0 &&
                (rest.size() == len || rest[len] == ' ' || rest[len] == '\t')) {
                rest = trim(rest.substr(len));
                break;
            }
        }
        set_title(&m, rest);
        marks->push_back(m);
    }
    return true;
}

// mm:ss:ff, 75 frames a second.
bool parse_cue_time(const std::string &s, double *out) {
    const size_t a = s.find(':');
    const size_t b = a == std::string::npos ? a : s.find(':', a + 1);
    if (b == std::string::npos)
        return false;
    const std::string mm = s.substr(0, a), ss = s.substr(a + 1, b - a - 1), ff = s.substr(b + 1);
    long long m, sec, f;
    if (mm.size() > 9 || !parse_whole(mm, &m) || ss.size() != 2 || !parse_whole(ss, &sec) ||
        ff.size() != 2 || !parse_whole(ff, &f) || sec >= 60 || f >= 75)
        return false;
    *out = (double)(m * 60 + sec) + (double)f / 75.0;
    return true;
}

std::string cue_text(const std::string &rest) {
    if (rest.empty() || rest[0] != '"')
        return rest;
    const size_t end = rest.find('"', 1);
    return rest.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

bool read_cue(const std::vector<std::string> &lines, std::vector<ChapterMark> *marks,
              LineError *e) {
    int files = 0;
    int track_line = 0; // the TRACK being read (0: none yet)
    bool has_start = false;
    ChapterMark m;
    const auto close_track = [&]() {
        if (track_line == 0)
            return true;
        if (!has_start)
            return fail(e, track_line, "TRACK without INDEX 01");
        marks->push_back(m);
        return true;
    };
    for (size_t k = 0; k < lines.size(); ++k) {
        const int no = (int)k + 1;
        if (trim(lines[k]).empty())
            continue;
        std::string rest;
        const std::string word = upper(first_word(lines[k], &rest));
        if (word == "FILE") {
            if (++files > 1)
                return fail(e, no, "a second FILE: a chapter list is for one recording");
        } else if (word == "TRACK") {
            if (!close_track())
                return false;
            track_line = no;
            has_start = false;
            m = ChapterMark();
        } else if (word == "TITLE") {
            if (track_line)
                set_title(&m, cue_text(rest));
        } else if (word == "INDEX") {
            std::string time;
            const std::string number = first_word(rest, &time);
            double t0;
            if (!all_digits(number) || time.empty() || time.find_first_of(" \t") != std::string::npos)
                return fail(e, no, "not INDEX NN mm:ss:ff");
            if (!parse_cue_time(time, &t0))
                return fail(e, no, "not a CUE time mm:ss:ff: '" + time + "'");
            if (!track_line)
                return fail(e, no, "INDEX outside a TRACK");
            if (strtol(number.c_str(), nullptr, 10) == 1) {
                if (has_start)
                    return fail(e, no, "a second INDEX 01 in one TRACK");
                has_start = true;
                m.t0 = t0;
                m.line = no;
            }
        } else if (!is_cue_command(word)) {
            return fail(e, no, "not a CUE command: '" + first_word(lines[k], nullptr) + "'");
        }
    }
    return close_track();
}

// An ffmetadata value or key without its escapes ('\' before any character).
std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size())
            ++i;
        out += s[i];
    }
    return out;
}

bool ends_in_escape(const std::string &s) {
    size_t n = 0;
    while (n < s.size() && s[s.size() - 1 - n] == '\\')
        ++n;
    return n % 2 == 1;
}

bool read_ffmetadata(const std::vector<std::string> &lines, const std::vector<std::string> &ends,
                     std::vector<ChapterMark> *marks, LineError *e) {
    bool in_chapter = false;
    int chapter_line = 0;
    bool has_start = false, has_end = false;
    long long start = 0, end = 0, num = 1, den = 1000000000; // FFmpeg's time base when none
    std::string title;
    bool has_title = false;
    const auto close_chapter = [&]() {
        if (!in_chapter)
            return true;
        if (!has_start)
            return fail(e, chapter_line, "[CHAPTER] without START");
        ChapterMark m = mark_at(chapter_line, (double)start * (double)num / (double)den);
        if (has_end) {
            m.has_t1 = true;
            m.t1 = (double)end * (double)num / (double)den;
        }
        if (has_title)
            set_title(&m, title);
        marks->push_back(m);
        return true;
    };
    for (size_t k = 1; k < lines.size(); ++k) { // line 1 is ;FFMETADATA1
        const int no = (int)k + 1;
        // A value may run on over escaped line ends.
        std::string line = lines[k];
        while (ends_in_escape(line) && k + 1 < lines.size()) {
            line.pop_back(); // the escaped line end is the value's: LF for CR LF
            line += ends[k] == "\r" ? "\r" : "\n";
            line += lines[++k];
        }
        if (line.empty() || line[0] == ';' || line[0] == '#' || trim(line).empty())
            continue;
        if (line[0] == '[') {
            if (!close_chapter())
                return false;
            in_chapter = trim(line) == "[CHAPTER]";
            chapter_line = no;
            has_start = has_end = has_title = false;
            num = 1;
            den = 1000000000;
            title.clear();
            continue;
        }
        size_t eq = std::string::npos;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\') {
                ++i;
            } else if (line[i] == '=') {
                eq = i;
                break;
            }
        }
        if (eq == std::string::npos)
            return fail(e, no, "not KEY=VALUE");
        if (!in_chapter)
            continue;
        const std::string key = unescape(line.substr(0, eq));
        const std::string value = unescape(line.substr(eq + 1));
        if (key == "TIMEBASE") {
            const size_t slash = value.find('/');
            if (slash == std::string::npos || !parse_whole(value.substr(0, slash), &num) ||
                !parse_whole(value.substr(slash + 1), &den) || num == 0 || den == 0)
                return fail(e, no, "not a TIMEBASE 1/N: '" + value + "'");
        } else if (key == "START" || key == "END") {
            long long v;
            if (!parse_whole(value, &v))
                return fail(e, no, "not a whole number: '" + value + "'");
            (key == "START" ? start : end) = v;
            (key == "START" ? has_start : has_end) = true;
        } else if (upper(key) == "TITLE") {
            title = value;
            has_title = true;
        }
    }
    return close_chapter();
}

// ---------------------------------------------------------------------------
// JSON
// ---------------------------------------------------------------------------

std::string entry_name(size_t k) { return "chapters[" + std::to_string(k) + "]"; }

// A JSON number (one too large for a double is read as raw text): 1 and
// *out set, 0 for a number that is not finite (1e400), -1 for no number.
int json_number(yyjson_val *v, double *out) {
    if (yyjson_is_raw(v)) {
        *out = strtod(yyjson_get_raw(v), nullptr); // a large integer, or 1e400
        return std::isfinite(*out) ? 1 : 0;
    }
    if (!yyjson_is_num(v))
        return -1;
    *out = yyjson_get_num(v);
    return std::isfinite(*out) ? 1 : 0;
}

// The deepest nesting of arrays and objects read; a deeper text is refused
// before it is parsed, at the line where it passes the limit.
constexpr int kMaxJsonDepth = 64;

int too_deep_at(const std::string &text) {
    int depth = 0, line = 1;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n')
            ++line;
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                return line;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return 0;
}

// The first key given twice in one object, children before their parents,
// each object's keys in order; "" when there is none.
std::string twice_given_key(yyjson_val *v) {
    size_t idx, max;
    if (yyjson_is_arr(v)) {
        yyjson_val *item;
        yyjson_arr_foreach(v, idx, max, item) {
            const std::string key = twice_given_key(item);
            if (!key.empty())
                return key;
        }
    } else if (yyjson_is_obj(v)) {
        yyjson_val *key, *val;
        yyjson_obj_foreach(v, idx, max, key, val) {
            const std::string inner = twice_given_key(val);
            if (!inner.empty())
                return inner;
        }
        std::set<std::string> seen;
        yyjson_obj_foreach(v, idx, max, key, val) {
            std::string name(yyjson_get_str(key), yyjson_get_len(key));
            if (!seen.insert(name).second)
                return name.empty() ? std::string(1, '\0') : name;
        }
    }
    return "";
}

// Our reports ({"chapters": [...]}, or {"file", "report"} of an analysis of
// several files) and bare lists of chapters or starts.
bool read_json_list(const std::string &text, std::vector<ChapterMark> *marks, LineError *e) {
    if (const int deep = too_deep_at(text))
        return fail(e, deep, printf_text("nested deeper than %d levels", kMaxJsonDepth));
    yyjson_read_err err{};
    JsonDoc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(),
                                 YYJSON_READ_BIGNUM_AS_RAW, nullptr, &err));
    if (!doc) {
        const size_t pos = std::min(err.pos, text.size());
        int line = 1;
        for (size_t i = 0; i < pos; ++i)
            line += text[i] == '\n';
        return fail(e, line, "not valid JSON");
    }
    const std::string twice = twice_given_key(yyjson_doc_get_root(doc.get()));
    if (!twice.empty())
        return fail(e, 0, "the key \"" + (twice[0] == '\0' ? std::string() : twice) +
                              "\" is given twice in one object");
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *list = root;
    if (yyjson_is_obj(root)) {
        list = yyjson_obj_get(root, "chapters");
        yyjson_val *report = yyjson_obj_get(root, "report");
        if (!yyjson_is_arr(list) && yyjson_is_obj(report))
            list = yyjson_obj_get(report, "chapters");
    }
    if (!yyjson_is_arr(list))
        return fail(e, 0, "no \"chapters\" list");
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        ChapterMark m;
        m.index = idx;
        const std::string where = entry_name(idx) + ": ";
        if (yyjson_is_num(item) || yyjson_is_raw(item)) {
            if (json_number(item, &m.t0) != 1)
                return fail(e, 0, where + "not a finite number");
        } else if (yyjson_is_obj(item)) {
            yyjson_val *t0 = yyjson_obj_get(item, "t0");
            if (!t0)
                t0 = yyjson_obj_get(item, "t");
            const int t0_read = json_number(t0, &m.t0);
            if (t0_read != 1)
                return fail(e, 0, where + (t0_read == 0 ? "t0 is not a finite number"
                                                        : "t0 must be a number"));
            yyjson_val *t1 = yyjson_obj_get(item, "t1");
            if (t1 && !yyjson_is_null(t1)) {
                const int t1_read = json_number(t1, &m.t1);
                if (t1_read != 1)
                    return fail(e, 0, where + (t1_read == 0 ? "t1 is not a finite number"
                                                            : "t1 must be a number"));
                m.has_t1 = true;
            }
            yyjson_val *title = yyjson_obj_get(item, "title");
            if (title && !yyjson_is_null(title)) {
                if (!yyjson_is_str(title))
                    return fail(e, 0, where + "title must be a string");
                set_title(&m, std::string(yyjson_get_str(title), yyjson_get_len(title)));
            }
        } else {
            return fail(e, 0, where + "not a number or an object");
        }
        marks->push_back(m);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Order
// ---------------------------------------------------------------------------

std::string where(const std::string &name, const ChapterMark &m) {
    if (m.line > 0)
        return name + ":" + std::to_string(m.line) + ": ";
    return name + ": " + entry_name(m.index) + ": ";
}

// The analysis holds times in single precision: two times closer than its
// step there are one. "" when b (after a in double precision) stays after
// it; otherwise the reason, naming the step.
std::string held_apart(double a, double b, const char *what) {
    if ((float)b > (float)a)
        return "";
    const float f = (float)a;
    const double step = (double)std::nextafter(f, INFINITY) - (double)f;
    return printf_text("%s at %.10g, %.3g s after %s: times are kept to %.3g s near %.0f s, "
                       "where the two are one time; move them further apart",
                       what[0] == 'e' ? "ends" : "starts", b, b - a, what + 2, step, a);
}

std::string check_order(const std::string &name, const std::vector<ChapterMark> &marks) {
    if (marks.empty())
        return name + ": holds no chapters";
    if (marks.size() > (size_t)SIL_MAX_CHAPTERS)
        return name + printf_text(": holds %zu chapters; a list may hold at most %d",
                                  marks.size(), SIL_MAX_CHAPTERS);
    for (size_t k = 0; k < marks.size(); ++k) {
        const ChapterMark &m = marks[k];
        if (m.has_title && m.title.find('\0') != std::string::npos)
            return where(name, m) + "the title holds a NUL character, which no tag or file name takes";
        if (!(m.t0 >= 0))
            return where(name, m) + printf_text("starts before 0 (%.3f)", m.t0);
        if (m.has_t1 && !(m.t1 > m.t0))
            return where(name, m) +
                   printf_text("ends at %.3f, not after its start at %.3f", m.t1, m.t0);
        if (m.has_t1 && !held_apart(m.t0, m.t1, "e its start").empty())
            return where(name, m) + held_apart(m.t0, m.t1, "e its start");
        if (k == 0)
            continue;
        const ChapterMark &p = marks[k - 1];
        if (!(m.t0 > p.t0))
            return where(name, m) +
                   printf_text("starts at %.3f, not after the chapter before it (%.3f)", m.t0, p.t0);
        if (!held_apart(p.t0, m.t0, "s the start of the chapter before it").empty())
            return where(name, m) + held_apart(p.t0, m.t0, "s the start of the chapter before it");
        if (p.has_t1 && p.t1 > m.t0)
            return where(name, m) +
                   printf_text("starts at %.3f, before the chapter before it ends (%.3f)", m.t0,
                               p.t1);
    }
    return "";
}

// The whole file at path, refused past kMaxListBytes: a list is read before
// any work, and a device or a wrong file must not fill the memory first.
std::string read_whole(const std::string &path, const char *what, std::string *text) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return path + ": is a folder, not a file";
    errno = 0;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return path + ": " + strerror(errno ? errno : ENOENT);
    std::string out;
    char buf[65536];
    bool too_long = false, failed = false;
    for (;;) {
        const size_t n = std::fread(buf, 1, sizeof buf, f);
        if (out.size() + n > kMaxListBytes) {
            too_long = true;
            break;
        }
        out.append(buf, n);
        if (n < sizeof buf) {
            failed = std::ferror(f) != 0;
            break;
        }
    }
    std::fclose(f);
    if (too_long)
        return path + ": longer than 16 MiB, the most a " + what +
               " may hold: is it the right file?";
    if (failed)
        return path + ": cannot be read";
    *text = std::move(out);
    return "";
}

// ---------------------------------------------------------------------------
// Options text
// ---------------------------------------------------------------------------

// The options object of opts (a new one for "") in doc, with key removed.
yyjson_mut_val *options_root(yyjson_mut_doc *doc, const std::string &opts, const char *key) {
    yyjson_mut_val *root = nullptr;
    if (!opts.empty()) {
        JsonDoc in = read_json(opts);
        if (in)
            root = yyjson_val_mut_copy(doc, yyjson_doc_get_root(in.get()));
    }
    if (!yyjson_mut_is_obj(root))
        root = yyjson_mut_obj(doc);
    if (!root)
        throw std::bad_alloc();
    yyjson_mut_obj_remove_key(root, key);
    yyjson_mut_doc_set_root(doc, root);
    return root;
}

std::string written(yyjson_mut_doc *doc) {
    char *text = yyjson_mut_write(doc, 0, nullptr);
    if (!text)
        throw std::bad_alloc();
    return take_json_text(text);
}

// Every text written is UTF-8 (the writer refuses anything else).
void add_title(yyjson_mut_doc *doc, yyjson_mut_val *obj, const ChapterMark &m) {
    if (!m.has_title)
        return;
    const std::string title = utf8_or_latin1(m.title, nullptr);
    yyjson_mut_obj_add_strncpy(doc, obj, "title", title.data(), title.size());
}

} // namespace

std::string utf8_or_latin1(const std::string &text, bool *was_latin1) {
    const bool utf8 = is_utf8(text);
    if (was_latin1)
        *was_latin1 = !utf8;
    return utf8 ? text : latin1_to_utf8(text);
}

std::string parse_chapter_list(const std::string &raw, const std::string &name, ChapterList *out) {
    const std::string text = decoded(raw);
    std::vector<std::string> ends;
    const std::vector<std::string> lines = split_lines(text, &ends);
    ChapterList list;
    const size_t lead = text.find_first_not_of(" \t\r\n");
    std::string first; // the first line that carries something
    for (const std::string &line : lines)
        if (is_content(line)) {
            first = trim(line);
            break;
        }
    LineError e;
    bool ok;
    std::string bracket_word, bracket_rest;
    if (lead != std::string::npos && (text[lead] == '{' || text[lead] == '[') &&
        !bracketed_start(first, &bracket_word, &bracket_rest)) {
        list.format = "json";
        ok = read_json_list(text, &list.marks, &e);
    } else if (trim(lines[0]).compare(0, 11, ";FFMETADATA") == 0) {
        list.format = "ffmetadata";
        ok = read_ffmetadata(lines, ends, &list.marks, &e);
    } else if (is_cue_command(upper(first_word(first, nullptr)))) {
        list.format = "cue";
        ok = read_cue(lines, &list.marks, &e);
    } else if (looks_like_labels(first)) {
        list.format = "labels";
        ok = read_labels(lines, &list.marks, &e);
    } else {
        list.format = "text";
        ok = read_plain(lines, &list.marks, &e);
    }
    if (!ok)
        return e.line > 0 ? name + ":" + std::to_string(e.line) + ": " + e.message
                          : name + ": " + e.message;
    const std::string why = check_order(name, list.marks);
    if (!why.empty())
        return why;
    *out = std::move(list);
    return "";
}

std::string read_chapter_file(const std::string &path, ChapterList *out) {
    std::string text;
    const std::string why = read_whole(path, "chapter list", &text);
    return why.empty() ? parse_chapter_list(text, path, out) : why;
}

std::string read_title_file(const std::string &path, std::vector<std::string> *titles) {
    std::string raw;
    const std::string why = read_whole(path, "title list", &raw);
    if (!why.empty())
        return why;
    std::vector<std::string> lines = split_lines(decoded(raw));
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty())
        return path + ": holds no titles";
    if (lines.size() > (size_t)SIL_MAX_CHAPTERS)
        return path + printf_text(": holds %zu titles; a list may hold at most %d", lines.size(),
                                  SIL_MAX_CHAPTERS);
    *titles = std::move(lines);
    return "";
}

std::string options_with_chapters(const std::string &opts, const std::vector<ChapterMark> &marks) {
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc)
        throw std::bad_alloc();
    yyjson_mut_val *root = options_root(doc.get(), opts, "chapters");
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc.get(), root, "chapters");
    for (const ChapterMark &m : marks) {
        yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc.get(), list);
        yyjson_mut_obj_add_real(doc.get(), obj, "t0", m.t0);
        if (m.has_t1)
            yyjson_mut_obj_add_real(doc.get(), obj, "t1", m.t1);
        add_title(doc.get(), obj, m);
    }
    return written(doc.get());
}

std::string options_with_hints(const std::string &opts, const std::vector<ChapterMark> &marks) {
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc)
        throw std::bad_alloc();
    yyjson_mut_val *root = options_root(doc.get(), opts, "hints");
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc.get(), root, "hints");
    for (const ChapterMark &m : marks) {
        if (!m.has_title) {
            yyjson_mut_arr_add_real(doc.get(), list, m.t0);
            continue;
        }
        yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc.get(), list);
        yyjson_mut_obj_add_real(doc.get(), obj, "t", m.t0);
        add_title(doc.get(), obj, m);
    }
    return written(doc.get());
}

std::string options_with_titles(const std::string &opts, const std::vector<std::string> &titles) {
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc)
        throw std::bad_alloc();
    yyjson_mut_val *root = options_root(doc.get(), opts, "titles");
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc.get(), root, "titles");
    for (const std::string &t : titles) { // an empty line names nothing
        if (t.empty())
            yyjson_mut_arr_add_null(doc.get(), list);
        else {
            const std::string title = utf8_or_latin1(t, nullptr);
            yyjson_mut_arr_add_strncpy(doc.get(), list, title.data(), title.size());
        }
    }
    return written(doc.get());
}

} // namespace silsplit_cli
