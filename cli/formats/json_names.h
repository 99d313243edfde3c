// File names inside the program's JSON. A name is bytes, not always UTF-8
// (a Latin-1 "caf\xe9.wav" from an old disk); written raw, such bytes make
// the whole text invalid JSON. Here every byte that is not part of a valid
// UTF-8 sequence becomes the escape \u00XX of its value (\u00E9), and the
// rest is written as yyjson writes any string, so UTF-8 names are unchanged.
#ifndef SILSPLIT_CLI_FORMATS_JSON_NAMES_H
#define SILSPLIT_CLI_FORMATS_JSON_NAMES_H

#include <cstddef>
#include <string>

namespace silsplit_cli {

// Length of the valid UTF-8 sequence at s[i], or 0 when the byte there does
// not start one (overlong forms, surrogates and values above U+10FFFF are
// not valid).
size_t utf8_length(const std::string &s, size_t i);

// The JSON string literal, quotes included, of the bytes of name.
std::string json_name(const std::string &name);

// JSON text written by yyjson with YYJSON_WRITE_ALLOW_INVALID_UNICODE (whose
// strings then carry such bytes as they are), with each of those bytes
// turned into its \u00XX escape. Outside strings the text is ASCII, so only
// string contents change.
std::string escape_invalid_utf8(const std::string &json);

} // namespace silsplit_cli

#endif
