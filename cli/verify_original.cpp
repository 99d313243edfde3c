#include "verify_original.h"

#include "flac_output.h"
#include "formats/report_json.h"

#include "engine.h"

#include <FLAC/stream_decoder.h>

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
                if (memcmp(piece->raw + (size_t)f * fb, held.data() + (size_t)(got + f) * fb, fb) !=
                    0)
                    return "frame " + std::to_string(at + got + f) +
                           " differs from the original's frame " +
                           std::to_string(start + at + got + f);
            got += m;
        }
        at += n;
    }
    return "";
}

// A FLAC piece decoded and compared with the original's frames as it goes.
struct FlacCompare {
    sil_wav_source *orig = nullptr;
    int64_t start = 0, end = 0;
    int64_t at = 0;            // frames of the piece compared
    std::vector<int32_t> held; // the original's samples not yet compared
    size_t used = 0;
    std::string why;
};

FLAC__StreamDecoderWriteStatus flac_frames(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                           const FLAC__int32 *const buffer[], void *user) {
    FlacCompare *c = static_cast<FlacCompare *>(user);
    const int channels = c->orig->channels;
    if ((int)frame->header.channels != channels) {
        c->why = std::to_string(frame->header.channels) + " channels, the original has " +
                 std::to_string(channels);
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    for (uint32_t i = 0; i < frame->header.blocksize; ++i, ++c->at) {
        if (c->used == c->held.size()) {
            const int64_t want = c->end - c->start - c->at;
            const int64_t n = want > 0 ? sil_wav_source_read_raw(c->orig, (size_t)want) : 0;
            if (n <= 0) {
                c->why = n < 0 ? "the original: " + std::string(sil_get_error())
                               : "more frames than the chapter's range holds (" +
                                     std::to_string(c->end - c->start) + ")";
                return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
            }
            c->held.resize((size_t)n * (size_t)channels);
            wav_frames_as_int32(*c->orig, c->orig->raw, (size_t)n, c->held.data());
            c->used = 0;
        }
        for (int ch = 0; ch < channels; ++ch)
            if (buffer[ch][i] != c->held[c->used + (size_t)ch]) {
                c->why = "frame " + std::to_string(c->at) + " differs from the original's frame " +
                         std::to_string(c->start + c->at);
                return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
            }
        c->used += (size_t)channels;
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void flac_info(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *m, void *user) {
    FlacCompare *c = static_cast<FlacCompare *>(user);
    if (m->type != FLAC__METADATA_TYPE_STREAMINFO || !c->why.empty())
        return;
    const FLAC__StreamMetadata_StreamInfo &si = m->data.stream_info;
    if ((int)si.sample_rate != c->orig->sample_rate ||
        (int)si.bits_per_sample != c->orig->bits_per_sample)
        c->why = "not in the original's sample format (" + std::to_string(si.bits_per_sample) +
                 "-bit at " + std::to_string(si.sample_rate) + " Hz)";
}

void flac_error(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus status, void *user) {
    FlacCompare *c = static_cast<FlacCompare *>(user);
    if (c->why.empty())
        c->why = std::string("damaged FLAC: ") + FLAC__StreamDecoderErrorStatusString[status];
}

// "" when the FLAC piece at path decodes to the original's [start, end).
std::string compare_flac_piece(sil_wav_source *orig, const std::string &path, int64_t start,
                               int64_t end) {
    if (!flac_refusal(*orig).empty())
        return "a FLAC piece of an original FLAC cannot hold (" + flac_refusal(*orig) + ")";
    if (sil_wav_source_seek(orig, start) != 0)
        return sil_get_error();
    FLAC__StreamDecoder *dec = FLAC__stream_decoder_new();
    if (!dec)
        return "out of memory";
    FlacCompare c;
    c.orig = orig;
    c.start = start;
    c.end = end;
    FLAC__stream_decoder_set_md5_checking(dec, true);
    std::string why;
    if (FLAC__stream_decoder_init_file(dec, path.c_str(), flac_frames, flac_info, flac_error, &c) !=
        FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        why = "cannot be read as FLAC";
    } else {
        const bool ok = FLAC__stream_decoder_process_until_end_of_stream(dec);
        why = c.why;
        if (why.empty() && !ok)
            why = "cannot be decoded as FLAC";
        if (why.empty() && !FLAC__stream_decoder_finish(dec))
            why = "its MD5 signature does not match its audio";
        if (why.empty() && c.at != end - start)
            why = std::to_string(c.at) + " frames, the chapter's range holds " +
                  std::to_string(end - start);
    }
    FLAC__stream_decoder_delete(dec);
    return why;
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
        out.bad.push_back(report_path + ": " + std::to_string(r.chapters.size()) +
                          " chapters for " + std::to_string(pieces.size()) + " files");
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
        if (pieces[k].empty())
            continue; // missing: the manifest's check names it
        const std::string path = join(dir, pieces[k]);
        if (pieces[k].size() > 5 && pieces[k].compare(pieces[k].size() - 5, 5, ".flac") == 0) {
            const std::string why = compare_flac_piece(orig.get(), path, starts[k], ends[k]);
            if (!why.empty()) {
                out.bad.push_back(path + ": " + why);
                continue;
            }
            ++out.pieces_equal;
            out.covered += ends[k] - starts[k];
            continue;
        }
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
