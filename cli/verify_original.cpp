#include "verify_original.h"

#include "formats/report_json.h"

#include "engine.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace silsplit_cli {

namespace {

std::string join(const std::string &dir, const std::string &name) {
    return (std::filesystem::path(dir) / name).string();
}

// Whether a piece is stored as the original is: same rate, channels,
// sample format and frame size.
bool same_layout(const sil_wav_source &a, const sil_wav_source &b) {
    return a.sample_rate == b.sample_rate && a.channels == b.channels &&
           a.bits_per_sample == b.bits_per_sample && a.is_float == b.is_float &&
           a.frame_bytes == b.frame_bytes;
}

// "" when the piece's frames equal the original's [start, end); else the reason.
std::string compare_piece(sil_wav_source *orig, sil_wav_source *piece, int64_t start, int64_t end) {
    if (!same_layout(*orig, *piece))
        return "not in the original's sample format (--original compares pieces cut in the "
               "original's own format, not --mono16 or --to-wav ones)";
    if (piece->frames != end - start)
        return std::to_string(piece->frames) + " frames, the chapter's range holds " +
               std::to_string(end - start);
    if (sil_wav_source_seek(orig, start) != 0 || sil_wav_source_seek(piece, 0) != 0)
        return sil_get_error();
    const size_t fb = orig->frame_bytes;
    std::vector<unsigned char> held;
    int64_t at = 0;
    while (at < piece->frames) {
        const int64_t n = sil_wav_source_read_raw(orig, (size_t)(piece->frames - at));
        if (n <= 0)
            return "the original: " + std::string(n < 0 ? sil_get_error() : "ends early");
        held.assign(orig->raw, orig->raw + (size_t)n * fb);
        int64_t got = 0;
        while (got < n) {
            const int64_t m = sil_wav_source_read_raw(piece, (size_t)(n - got));
            if (m <= 0)
                return m < 0 ? std::string(sil_get_error()) : "ends early";
            for (int64_t f = 0; f < m; ++f)
                if (memcmp(piece->raw + (size_t)f * fb, held.data() + (size_t)(got + f) * fb, fb) != 0)
                    return "frame " + std::to_string(at + got + f) + " differs from the original's frame " +
                           std::to_string(start + at + got + f);
            got += m;
        }
        at += n;
    }
    return "";
}

} // namespace

OriginalCheck check_original(const std::string &dir, const std::vector<std::string> &pieces,
                             const std::string &original) {
    OriginalCheck out;
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(original.c_str(), &raw) != 0) {
        out.bad.push_back(original + ": " + sil_get_error() +
                          " (--original takes a WAV file that the library reads)");
        return out;
    }
    sil_wav_source_ptr orig(raw);
    out.frames = orig->frames;

    const std::string report_path = join(dir, "chapters.json");
    std::ifstream in(report_path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Report r;
    if (!in || !parse_report(text, &r)) {
        out.bad.push_back(report_path + ": cannot be read as a split's chapter list");
        return out;
    }
    if (r.chapters.size() != pieces.size()) {
        out.bad.push_back(report_path + ": " + std::to_string(r.chapters.size()) + " chapters for " +
                          std::to_string(pieces.size()) + " files");
        return out;
    }
    if (r.sample_rate != 0 && r.sample_rate != orig->sample_rate) {
        out.bad.push_back(original + ": " + std::to_string(orig->sample_rate) +
                          " Hz, the split's input was " + std::to_string(r.sample_rate) + " Hz");
        return out;
    }
    // The report holds each time as the double of the engine's float, so
    // the float (and with it the range the split cut) comes back exactly.
    std::vector<sil_chapter> chapters;
    for (const Chapter &c : r.chapters)
        chapters.push_back(sil_chapter{(float)c.t0, (float)c.t1, (float)c.peak_db});
    const int32_t count = (int32_t)chapters.size();
    std::vector<int64_t> starts(chapters.size()), ends(chapters.size());
    sil_chapter_frame_ranges(chapters.data(), count, orig->sample_rate, orig->frames, starts.data(),
                             ends.data());
    for (size_t k = 0; k < pieces.size(); ++k) {
        const std::string path = join(dir, pieces[k]);
        sil_wav_source *praw = nullptr;
        if (sil_wav_source_open(path.c_str(), &praw) != 0) {
            out.bad.push_back(path + ": " + sil_get_error());
            continue;
        }
        sil_wav_source_ptr piece(praw);
        const std::string why = compare_piece(orig.get(), piece.get(), starts[k], ends[k]);
        if (!why.empty()) {
            out.bad.push_back(path + ": " + why);
            continue;
        }
        ++out.pieces_equal;
        out.covered += ends[k] - starts[k];
    }
    return out;
}

} // namespace silsplit_cli
