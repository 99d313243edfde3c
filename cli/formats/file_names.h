// File names made from titles, safe on any file system a split may be
// written to or copied onto: characters that some system refuses or hides
// replaced, names that some system reserves changed, and the key under
// which two names are the same file on a volume that ignores case or
// Unicode normalisation.
#ifndef SILSPLIT_CLI_FORMATS_FILE_NAMES_H
#define SILSPLIT_CLI_FORMATS_FILE_NAMES_H

#include <cstddef>
#include <string>

namespace silsplit_cli {

// name (UTF-8) as the stem of a file name: control characters (C0, DEL, C1),
// the line and paragraph separators U+2028 and U+2029, and
// / \ : * ? " < > | become '_', as does a leading dot; spaces at either end
// and dots at its end go; a name that Windows reserves for a device (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case, alone or before a dot)
// gains a '_' after the device's name; at most max_bytes bytes, cut between
// characters. "" when nothing is left.
std::string safe_file_stem(const std::string &name, size_t max_bytes);

// The key under which file systems that ignore case, or that normalise
// Unicode, take name for the same file as another: its NFKC case fold (so
// "Élan", "élan", "ÉLAN" and "E\u0301lan" share one). Bytes that are not
// UTF-8 stand for U+FFFD.
std::string file_name_key(const std::string &name);

} // namespace silsplit_cli

#endif
