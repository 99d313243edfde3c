// A report's chapters as the texts that other programs read: a table for
// people, CUE sheets, ffmetadata chapters, label tracks and WebVTT.
#ifndef SILSPLIT_CLI_FORMATS_CHAPTER_FORMATS_H
#define SILSPLIT_CLI_FORMATS_CHAPTER_FORMATS_H

#include "report_json.h"

#include <string>

namespace silsplit_cli {

// Seconds as h:mm:ss.mmm (table) and hh:mm:ss.mmm (WebVTT), rounded to the
// nearest millisecond; negative values count as 0.
std::string clock_hms(double seconds);
std::string clock_vtt(double seconds);
// Seconds as a CUE index, mm:ss:ff with 75 frames per second.
std::string clock_cue(double seconds);

// Text for a terminal: control characters (C0 but for none, DEL, C1) and
// bytes that are not UTF-8 written as escapes (\t, \r, \n, \xNN), so that
// a title or a name cannot move the cursor, clear the screen or retitle the
// window. Used for messages and the table.
std::string visible_text(const std::string &s);

// The table for people; titles pass through visible_text.
std::string format_table(const Report &r);
// The file type of a CUE sheet's FILE line for the recording called name, by
// its extension: WAVE for WAV (RF64, W64), MP3, AIFF, and BINARY for every
// other format.
std::string cue_file_type(const std::string &name);
// One FILE block of a CUE sheet; *track is the last track number used so far
// and is advanced, so that several files make one sheet.
std::string format_cue_file(const Report &r, const std::string &path, int *track);
std::string format_ffmetadata(const Report &r);
std::string format_labels(const Report &r);
std::string format_vtt(const Report &r);

} // namespace silsplit_cli

#endif
