// Which reader takes a WAV file whose size fields disagree with the file:
// sizes that wrapped past 4 GiB (sparse files of 4 GiB and more, which take
// no room on the disk) and data that breaks off go to FFmpeg, with the
// warning the commands show.
#include "media/media_commands.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void put_u32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

// A 16-bit mono WAV header with the given RIFF and data sizes, then the file
// made file_size bytes long (a hole where nothing was written).
std::string make_wav(const char *name, uint32_t riff, uint32_t data, int64_t file_size) {
    const std::string path = ::testing::TempDir() + name;
    unsigned char h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                           16,  0,   0,   0,   1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0,
                           2,   0,   16,  0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
    put_u32(h + 4, riff);
    put_u32(h + 40, data);
    FILE *f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(fwrite(h, 1, sizeof h, f), sizeof h);
    fclose(f);
    EXPECT_EQ(truncate(path.c_str(), (off_t)file_size), 0);
    return path;
}

constexpr int64_t k4GiB = (int64_t)1 << 32;

TEST(WavSizes, EachCaseGoesToItsReader) {
    struct Case {
        const char *name;
        uint32_t riff, data;
        int64_t file_size;
        const char *wrapped; // the start of wav_wrapped_size's warning, or ""
        bool short_data;
        bool library;
    } cases[] = {
        {"plain.wav", 36 + 1000, 1000, 44 + 1000, "", false, true},
        // sox's 32-bit fields, 4 GiB + 1000 bytes of data: both wrapped
        {"wrapped.wav", 36 + 1000, 1000, 44 + k4GiB + 1000,
         "the data size says 1000 bytes, the file holds 4294968296 (a size that wrapped", false, false},
        // the data size of streaming writers, the RIFF size wrapped
        {"riff-wrapped.wav", 36 + 1000, 0xFFFFFFFFu, 44 + k4GiB + 1000,
         "the RIFF size says 1036 bytes, the file holds 4294968332 (a size that wrapped", false, false},
        // under 4 GiB more than the size says: trailing bytes, not a wrap
        {"trailing.wav", 36 + 1000, 1000, 44 + 1000 + 4096, "", false, true},
        {"short.wav", 36 + 1000, 1000, 44 + 500, "", true, false},
    };
    for (const Case &c : cases) {
        const std::string path = make_wav(c.name, c.riff, c.data, c.file_size);
        const std::string wrapped = silsplit_cli::wav_wrapped_size(path);
        EXPECT_EQ(wrapped.substr(0, strlen(c.wrapped)), c.wrapped) << c.name;
        EXPECT_EQ(wrapped.empty(), *c.wrapped == '\0') << c.name;
        EXPECT_EQ(!silsplit_cli::wav_data_short(path).empty(), c.short_data) << c.name;
        // The data size of streaming writers goes to FFmpeg through the
        // reader's size check, not here.
        EXPECT_EQ(silsplit_cli::media_wants_library(path), c.library) << c.name;
        unlink(path.c_str());
    }
}

} // namespace
