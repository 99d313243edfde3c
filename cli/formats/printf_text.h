// printf into a string, for the short texts the chapter formats and lists
// write (times, numbers, line labels): at most 255 bytes.
#ifndef SILSPLIT_CLI_FORMATS_PRINTF_TEXT_H
#define SILSPLIT_CLI_FORMATS_PRINTF_TEXT_H

#include <cstdarg>
#include <cstdio>
#include <string>

namespace silsplit_cli {

inline std::string printf_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string printf_text(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

} // namespace silsplit_cli

#endif
