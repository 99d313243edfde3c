// The detection flags of analyze, split and chapters, made from the engine's
// option table (SIL_OPTIONS): their names, defaults and help texts, the
// options text they make for the library, and the checks on what the command
// line hands over. The library ignores keys it does not know and numbers of
// the wrong type; the program refuses them instead, so that a typo never
// passes for a setting.
#ifndef SILSPLIT_CLI_OPTION_FLAGS_H
#define SILSPLIT_CLI_OPTION_FLAGS_H

#include "engine.h"
#include "formats/chapter_files.h"

#include <string>

namespace CLI {
class App;
class Option;
} // namespace CLI

namespace silsplit_cli {

// One command's detection flags: a value per row of SIL_OPTIONS (the member
// of the row's type), and the --options text.
struct DetectionFlags {
    struct Value {
        double number = 0; // SIL_OPTION_NUMBER
        bool on = false;   // SIL_OPTION_FLAG
        int count = 0;     // SIL_OPTION_COUNT
        CLI::Option *option = nullptr;
    };
    Value values[SIL_N_OPTIONS];
    std::string raw;
};

// Adds a flag for every key (the numbers first, then the flags, then the
// count) and --options to cmd, in the group "Detection options".
void add_detection_flags(CLI::App *cmd, DetectionFlags *flags);

// The options text for the library: the --options object with the keys of
// the flags given set to their values; "" for the library's defaults when
// nothing was given.
std::string options_text(const DetectionFlags &flags);

// "" when text is a JSON object whose keys are all known option keys, each
// once, with a value of the key's type; otherwise the reason, naming the key
// and the accepted ones.
std::string check_options_json(const std::string &text);

// "" when text is a finite number; otherwise the reason. NaN and infinities
// (also 1e999, which overflows) are refused.
std::string check_finite_number(const std::string &text);

// The accepted keys, in the table's order: "threshold_db, min_silence_s, ...".
std::string accepted_option_keys();

// The chapter lists a command is given: --chapters FILE (used as they are),
// --hints FILE (approximate starts moved onto pauses), --titles FILE (one
// title per line for the chapters found) and --hints-from-input (the
// input's own chapter marks as the hints).
struct ChapterFlags {
    std::string chapters, hints, titles;
    bool hints_from_input = false;
    double hint_window_s = 0; // --hint-window, how far a hint may move
    CLI::Option *hint_window = nullptr;
};

// The longest --hint-window taken: a year (the library holds the window in
// single precision, where 1e300 is infinite).
constexpr double kMaxHintWindowS = 365.0 * 86400.0;

// "" when text (a positive number) is a usable --hint-window; otherwise
// the reason.
std::string check_hint_window(const std::string &text);

// Adds the five to cmd, in the group "Chapter lists"; --chapters, --hints
// and --hints-from-input exclude one another.
void add_chapter_flags(CLI::App *cmd, ChapterFlags *flags);

// Where the entries of the lists given came from, so that the analysis's
// messages about an entry ("chapters[3]: ...") name the file and its line.
struct ListPlaces {
    std::string chapters_path, hints_path, titles_path;
    std::vector<ChapterMark> chapters, hints;
};

// message, with a leading "chapters[K]: ", "hints[K]: " or "titles[K]: " of
// the library replaced by the place of that entry in the file it came from
// ("PATH:LINE: ", or "PATH: chapters[K]: " for an entry of a JSON list);
// unchanged when no file gave that list.
std::string placed_message(const ListPlaces &places, const std::string &message);

// The options text opts with the keys of the files given ("chapters",
// "hints", "titles") and "hint_window_s". "" and *out set, or the reason, naming the file and
// line ("PATH:LINE: message").
std::string options_with_chapter_files(const ChapterFlags &flags, const std::string &opts,
                                       std::string *out, ListPlaces *places = nullptr);

} // namespace silsplit_cli

#endif
