#include "flac_output.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace silsplit_cli {

namespace {

struct EncoderFree {
    void operator()(FLAC__StreamEncoder *e) const { FLAC__stream_encoder_delete(e); }
};
struct MetadataFree {
    void operator()(FLAC__StreamMetadata *m) const { FLAC__metadata_object_delete(m); }
};

struct Sink {
    FILE *f;
    int err = 0;
};

FLAC__StreamEncoderWriteStatus on_write(const FLAC__StreamEncoder *, const FLAC__byte buffer[],
                                        size_t bytes, uint32_t, uint32_t, void *user) {
    Sink *s = static_cast<Sink *>(user);
    if (fwrite(buffer, 1, bytes, s->f) == bytes)
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    s->err = errno;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus on_seek(const FLAC__StreamEncoder *, FLAC__uint64 offset,
                                      void *user) {
    Sink *s = static_cast<Sink *>(user);
    if (fseeko(s->f, (off_t)offset, SEEK_SET) == 0)
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    s->err = errno;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus on_tell(const FLAC__StreamEncoder *, FLAC__uint64 *offset,
                                      void *user) {
    Sink *s = static_cast<Sink *>(user);
    const off_t at = ftello(s->f);
    if (at < 0) {
        s->err = errno;
        return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    }
    *offset = (FLAC__uint64)at;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

} // namespace

void wav_frames_as_int32(const sil_wav_source &src, const unsigned char *raw, size_t frames,
                         int32_t *out) {
    const size_t n = frames * (size_t)src.channels;
    const int bytes = src.bits_per_sample / 8;
    for (size_t k = 0; k < n; ++k) {
        const unsigned char *p = raw + k * (size_t)bytes;
        switch (bytes) {
        case 1:
            out[k] = (FLAC__int32)p[0] - 128;
            break;
        case 2:
            out[k] = (int16_t)(uint16_t)(p[0] | p[1] << 8);
            break;
        case 3:
            out[k] =
                (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) >> 8;
            break;
        default:
            out[k] = (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                               (uint32_t)p[3] << 24);
        }
    }
}

std::string flac_refusal(const sil_wav_source &src) {
    if (src.is_float)
        return "holds floating-point samples, which FLAC cannot hold exactly";
    if (src.bits_per_sample % 8 != 0 || src.bits_per_sample < 8 || src.bits_per_sample > 32)
        return "has " + std::to_string(src.bits_per_sample) +
               "-bit samples, which FLAC cannot hold";
    if (src.channels > 8)
        return "has " + std::to_string(src.channels) + " channels; FLAC holds 8 at most";
    if (src.sample_rate > 1048575)
        return "has a rate FLAC cannot hold";
    return "";
}

int write_flac_chapter(sil_wav_source *src, int64_t start, int64_t end, const std::string &title,
                       FILE *out, sil_write_tick tick, void *user, std::string *error) {
    const std::string why = flac_refusal(*src);
    if (!why.empty()) {
        *error = why;
        return -1;
    }
    std::unique_ptr<FLAC__StreamEncoder, EncoderFree> enc(FLAC__stream_encoder_new());
    if (!enc) {
        *error = "out of memory";
        return -1;
    }
    FLAC__StreamEncoder *e = enc.get();
    FLAC__stream_encoder_set_channels(e, (uint32_t)src->channels);
    FLAC__stream_encoder_set_bits_per_sample(e, (uint32_t)src->bits_per_sample);
    FLAC__stream_encoder_set_sample_rate(e, (uint32_t)src->sample_rate);
    FLAC__stream_encoder_set_compression_level(e, 5);
    FLAC__stream_encoder_set_total_samples_estimate(e, (FLAC__uint64)(end - start));
    FLAC__stream_encoder_set_verify(e,
                                    true); // each frame decoded again and compared as it is written
    std::unique_ptr<FLAC__StreamMetadata, MetadataFree> tags;
    FLAC__StreamMetadata *metadata[1];
    if (!title.empty()) {
        tags.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        if (!tags ||
            !FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, "TITLE",
                                                                            title.c_str()) ||
            !FLAC__metadata_object_vorbiscomment_append_comment(tags.get(), entry, false)) {
            *error = "out of memory";
            return -1;
        }
        metadata[0] = tags.get();
        FLAC__stream_encoder_set_metadata(e, metadata, 1);
    }
    Sink sink{out};
    if (FLAC__stream_encoder_init_stream(e, on_write, on_seek, on_tell, nullptr, &sink) !=
        FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        *error = std::string("FLAC encoder: ") +
                 FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(e)];
        return -1;
    }
    if (sil_wav_source_seek(src, start) != 0) {
        *error = sil_get_error();
        return -1;
    }
    std::vector<FLAC__int32> samples(src->block_frames * (size_t)src->channels);
    for (int64_t at = start; at < end;) {
        const int64_t n = sil_wav_source_read_raw(src, (size_t)(end - at));
        if (n <= 0) {
            *error = n < 0 ? sil_get_error() : "the recording ends early";
            return -1;
        }
        wav_frames_as_int32(*src, src->raw, (size_t)n, samples.data());
        if (!FLAC__stream_encoder_process_interleaved(e, samples.data(), (uint32_t)n)) {
            *error = sink.err
                         ? strerror(sink.err)
                         : std::string("FLAC encoder: ") +
                               FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(e)];
            return -1;
        }
        at += n;
        if (tick && tick((uint64_t)n * src->frame_bytes, user) != 0)
            return 1;
    }
    if (!FLAC__stream_encoder_finish(e)) {
        *error = sink.err ? strerror(sink.err) : "FLAC encoder: the file could not be finished";
        return -1;
    }
    return 0;
}

} // namespace silsplit_cli
