// Checks on what the command line hands to the library: the --options object
// and the numbers of the detection flags. The library ignores keys it does
// not know and values of the wrong type; the program refuses them instead, so
// that a typo never passes for a setting.
#ifndef SILSPLIT_CLI_OPTION_FLAGS_H
#define SILSPLIT_CLI_OPTION_FLAGS_H

#include <string>

namespace silsplit_cli {

// "" when text is a JSON object whose keys are all known option keys, each
// once, with a value of the key's type; otherwise the reason, naming the key
// and the accepted ones.
std::string check_options_json(const std::string &text);

// "" when text is a finite number; otherwise the reason. NaN and infinities
// (also 1e999, which overflows) are refused.
std::string check_finite_number(const std::string &text);

// The accepted keys with their types, for messages and help:
// "threshold_db (number), ..., chapter_count (integer >= 1), ...".
std::string accepted_option_keys();

} // namespace silsplit_cli

#endif
