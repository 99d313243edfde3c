// The check that the chapter files of a split still add up to the recording
// they were cut from: for a WAV original that the library's reader reads and
// pieces in its own format (the split's default for WAV input), the frames of
// each piece, in order, equal the original's frames in that chapter's range
// (the ranges the split cut, recomputed from chapters.json's times).
#ifndef SILSPLIT_CLI_VERIFY_ORIGINAL_H
#define SILSPLIT_CLI_VERIFY_ORIGINAL_H

#include <cstdint>
#include <string>
#include <vector>

namespace silsplit_cli {

struct OriginalCheck {
    int64_t frames = 0;           // the original's frames
    int64_t covered = 0;          // frames of it inside the chapters' ranges
    int pieces_equal = 0;         // pieces whose frames matched
    std::vector<std::string> bad; // "PATH: reason" for each piece (or the original) that failed
};

// Compares the pieces (files of dir, one per chapter of dir/chapters.json,
// in order; "" for a missing one, which is skipped) with original.
OriginalCheck check_original(const std::string &dir, const std::vector<std::string> &pieces,
                             const std::string &original);

} // namespace silsplit_cli

#endif
