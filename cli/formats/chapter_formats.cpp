#include "chapter_formats.h"

#include "json_names.h"
#include "printf_text.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace silsplit_cli {

namespace {

long long round_units(double seconds, double per_second) {
    if (!(seconds > 0))
        return 0;
    return std::llround(seconds * per_second);
}

std::string chapter_title(const Chapter &c) {
    return c.title.empty() ? "Chapter " + std::to_string(c.i) : c.title;
}

// The title on one line: line breaks and tabs as spaces.
std::string one_line(std::string s) {
    for (char &ch : s)
        if (ch == '\n' || ch == '\r' || ch == '\t')
            ch = ' ';
    return s;
}

bool is_c1(const std::string &s, size_t i, size_t n) {
    return n == 2 && (unsigned char)s[i] == 0xC2 && (unsigned char)s[i + 1] < 0xA0;
}

// An ffmetadata value: '=', ';', '#', '\\' and line breaks (LF and CR, which
// readers may take as a line's end too) escaped.
std::string ffmetadata_value(const std::string &s) {
    std::string out;
    for (char ch : s) {
        if (ch == '=' || ch == ';' || ch == '#' || ch == '\\' || ch == '\n' || ch == '\r')
            out += '\\';
        out += ch;
    }
    return out;
}

} // namespace

std::string visible_text(const std::string &s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char ch = (unsigned char)s[i];
        const size_t n = utf8_length(s, i);
        if (n > 0 && ch >= 0x20 && ch != 0x7F && !is_c1(s, i, n)) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        for (size_t k = 0; k < (n == 0 ? 1 : n); ++k) {
            const unsigned char b = (unsigned char)s[i + k];
            if (b == '\t' || b == '\r' || b == '\n') {
                out += b == '\t' ? "\\t" : b == '\r' ? "\\r" : "\\n";
            } else {
                out += "\\x";
                out += hex[b >> 4];
                out += hex[b & 15];
            }
        }
        i += n == 0 ? 1 : n;
    }
    return out;
}

std::string clock_hms(double seconds) {
    long long ms = round_units(seconds, 1000.0);
    return printf_text("%lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                       ms % 1000);
}

std::string clock_vtt(double seconds) {
    long long ms = round_units(seconds, 1000.0);
    return printf_text("%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                       ms % 1000);
}

std::string clock_cue(double seconds) {
    long long f = round_units(seconds, 75.0);
    return printf_text("%02lld:%02lld:%02lld", f / (75 * 60), f / 75 % 60, f % 75);
}

std::string format_table(const Report &r) {
    // A title column only when the chapters have titles.
    bool titled = false;
    for (const Chapter &c : r.chapters)
        titled = titled || !c.title.empty();
    std::string out =
        printf_text("%4s  %-12s  %-12s  %-12s  %7s", "#", "start", "end", "duration", "peak dB");
    out += titled ? "  title\n" : "\n";
    double total = 0;
    for (const Chapter &c : r.chapters) {
        out += printf_text("%4lld  %-12s  %-12s  %-12s  %7.1f", c.i, clock_hms(c.t0).c_str(),
                           clock_hms(c.t1).c_str(), clock_hms(c.dur).c_str(), c.peak_db);
        out += titled ? "  " + visible_text(one_line(c.title)) + "\n" : "\n";
        total += c.dur;
    }
    out += printf_text("%zu chapter%s, %s of %s, %s of silence removed\n", r.chapters.size(),
                       r.chapters.size() == 1 ? "" : "s", clock_hms(total).c_str(),
                       clock_hms(r.duration_s).c_str(), clock_hms(r.silences_removed_s).c_str());
    return out;
}

std::string cue_file_type(const std::string &name) {
    std::string ext = name.substr(name.find_last_of('.') == std::string::npos ? name.size()
                                                                              : name.find_last_of('.') + 1);
    for (char &ch : ext)
        ch = (char)tolower((unsigned char)ch);
    return ext == "wav" || ext == "rf64" || ext == "w64"    ? "WAVE"
           : ext == "mp3"                                   ? "MP3"
           : ext == "aif" || ext == "aiff" || ext == "aifc" ? "AIFF"
                                                            : "BINARY";
}

std::string format_cue_file(const Report &r, const std::string &path, int *track) {
    // A CUE sheet names its audio relative to itself and has no escapes: a
    // quote or a line break in the name would end the field or the line.
    std::string name = path.substr(path.find_last_of('/') + 1);
    for (char &ch : name)
        if (ch == '"')
            ch = '\'';
        else if ((unsigned char)ch < 0x20 || ch == 0x7f)
            ch = ' ';
    std::string out = "FILE \"" + name + "\" " + cue_file_type(name) + "\n";
    for (const Chapter &c : r.chapters) {
        ++*track;
        out += printf_text("  TRACK %02d AUDIO\n", *track);
        // A CUE sheet has no escapes: a quote in a title becomes an apostrophe.
        std::string title = one_line(chapter_title(c));
        for (char &ch : title)
            if (ch == '"')
                ch = '\'';
        out += "    TITLE \"" + title + "\"\n";
        out += "    INDEX 01 " + clock_cue(c.t0) + "\n";
    }
    return out;
}

std::string format_ffmetadata(const Report &r) {
    std::string out = ";FFMETADATA1\n";
    for (const Chapter &c : r.chapters) {
        out += printf_text("\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=%lld\nEND=%lld\n",
                           round_units(c.t0, 1000.0), round_units(c.t1, 1000.0));
        out += "title=" + ffmetadata_value(chapter_title(c)) + "\n";
    }
    return out;
}

std::string format_labels(const Report &r) {
    std::string out;
    for (const Chapter &c : r.chapters)
        out += printf_text("%.6f\t%.6f\t", c.t0, c.t1) + one_line(chapter_title(c)) + "\n";
    return out;
}

std::string format_vtt(const Report &r) {
    std::string out = "WEBVTT\n";
    for (const Chapter &c : r.chapters) {
        out += printf_text("\n%lld\n", c.i);
        // A cue's text ends at a blank line and may not hold "-->".
        std::string title = one_line(chapter_title(c));
        for (size_t at; (at = title.find("-->")) != std::string::npos;)
            title.replace(at, 3, "->");
        out += clock_vtt(c.t0) + " --> " + clock_vtt(c.t1) + "\n" + title + "\n";
    }
    return out;
}

} // namespace silsplit_cli
