// Standard output, checked: every write and the final flush. A failure (a full
// disk, a closed descriptor) prints "silsplit: write error: REASON" on stderr,
// and the caller ends with status 1. A pipe whose reader has gone still ends
// the program by SIGPIPE, as for any other filter.
#ifndef SILSPLIT_CLI_STD_STREAMS_H
#define SILSPLIT_CLI_STD_STREAMS_H

#include <string>

namespace silsplit_cli {

// Opens /dev/null (read-only) on any of descriptors 0, 1 and 2 that the
// program was started without, so that no file it opens later takes their
// place: a write to a closed stdout then still fails, with EBADF.
void hold_standard_descriptors();

// Writes text to stdout and flushes it; false after printing the write error.
bool write_stdout(const std::string &text);

// Flushes stdout (text printed with printf, or by the option parser); false
// after printing the write error.
bool flush_stdout();

} // namespace silsplit_cli

#endif
