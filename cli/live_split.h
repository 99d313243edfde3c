// split --live: a WAV recording read as it comes (a file, a pipe, standard
// input) and cut while it goes on. Each chapter file is written, under a
// temporary name and renamed, as soon as the live analysis (src/live.h)
// makes its chapter final, and chapters.json is rewritten (the same way)
// after each one, listing exactly the files in the folder. Only the frames
// a chapter still to come may need are kept, in a spool file beside them.
#ifndef SILSPLIT_CLI_LIVE_SPLIT_H
#define SILSPLIT_CLI_LIVE_SPLIT_H

#include "split_output.h"

#include <functional>
#include <string>

namespace silsplit_cli {

struct LiveSplitPlan {
    std::string input; // a WAV file, a FIFO, or "-" for standard input
    std::string out_dir;
    std::string opts; // the options text; options decided at the end are refused here
    bool mono16 = false;
    // A WAV file another program is still writing: its end is no end, and
    // its header sizes are not final. It ends when the writer puts the
    // final data size into the header, or after follow_timeout_s seconds
    // without growth (0: only Ctrl-C ends it).
    bool follow = false;
    double follow_timeout_s = 10.0;
    std::function<bool()> stop; // true: Ctrl-C, stop reading
};

// Reads the input to its end (or to stop), writing the chapter files as they
// become final. done: *chapters files and chapters.json are complete;
// cancelled: stopped, the files written so far stay (chapters.json lists
// them); failed: *error is "PATH: reason" (the files written so far stay, as
// listed). *warning may get a line to show (an input that broke off).
// When done, *left_s and *left_n are the sound above the threshold the
// chapters leave out (sil_analysis's left_out_s and left_out_n).
Outcome live_split(const LiveSplitPlan &plan, int *chapters, std::string *error,
                   std::string *warning, float *left_s, int32_t *left_n);

} // namespace silsplit_cli

#endif
