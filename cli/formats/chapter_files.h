// Chapter lists read from the files people have: our own chapters.json (or
// any report of ours), CUE sheets, ffmetadata files, label tracks and plain
// lists of start times; and title lists, one title per line. The format is
// found from the content, never from the name. The Python package's
// read_chapters() reads the same formats with the same rules and messages;
// tests/chapter_files/cases.json holds the files both are checked on.
#ifndef SILSPLIT_CLI_FORMATS_CHAPTER_FILES_H
#define SILSPLIT_CLI_FORMATS_CHAPTER_FILES_H

#include <cstddef>
#include <string>
#include <vector>

namespace silsplit_cli {

// The longest chapter or title list file read (16 MiB, the longest options
// text the library reads); a longer one is refused before it is all read.
constexpr size_t kMaxListBytes = (size_t)16 << 20;

// One chapter of a list: its start, its end when the file gives one, and its
// title when the file gives one.
struct ChapterMark {
    double t0 = 0;
    bool has_t1 = false;
    double t1 = 0;
    bool has_title = false;
    std::string title; // UTF-8
    // Where the file gives it, for messages: a line (from 1), or for JSON
    // the entry's index in its list (line 0).
    int line = 0;
    size_t index = 0;
};

struct ChapterList {
    std::string format; // "json", "cue", "ffmetadata", "labels" or "text"
    std::vector<ChapterMark> marks;
};

// text itself when it is UTF-8, else its bytes read as Latin-1 (each byte
// the character of its value), with *was_latin1 (may be NULL) saying which.
std::string utf8_or_latin1(const std::string &text, bool *was_latin1);

// Reads the chapter list in text, a file called name (for messages). The
// starts must rise from entry to entry, an end must lie after its start and
// at or before the next start. "" and *out filled, or the reason as
// "NAME:LINE: message" ("NAME: chapters[K]: message" for a JSON entry).
// Text that is not UTF-8 is read as Latin-1.
std::string parse_chapter_list(const std::string &text, const std::string &name, ChapterList *out);

// As parse_chapter_list on the file at path; "PATH: reason" when it cannot
// be read or is longer than kMaxListBytes.
std::string read_chapter_file(const std::string &path, ChapterList *out);

// The titles in the file at path, one per line (a final empty line is not a
// title; at most kMaxListBytes). "" and *titles filled, or "PATH: reason".
std::string read_title_file(const std::string &path, std::vector<std::string> *titles);

// The options text opts ("" for none) with one more key: "chapters" (each
// mark as {"t0","t1","title"}, the end and the title when given), "hints"
// (each start as a number, or {"t","title"} when it has a title) or
// "titles" (the texts, null for an empty one: the chapter keeps the title
// a list gives it, or has none). A title that is not UTF-8 is written as
// its bytes read as Latin-1 (see utf8_or_latin1).
std::string options_with_chapters(const std::string &opts, const std::vector<ChapterMark> &marks);
std::string options_with_hints(const std::string &opts, const std::vector<ChapterMark> &marks);
std::string options_with_titles(const std::string &opts, const std::vector<std::string> &titles);

} // namespace silsplit_cli

#endif
