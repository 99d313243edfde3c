// Fault injection: real faults, each made in a child process or a fixture.
//
// - Memory: in a forked child whose address space is limited (RLIMIT_AS),
//   large files and buffers fail with "out of memory" and never crash. Under
//   AddressSanitizer, which needs a huge address space of its own, the limit
//   is ASan's max_allocation_size_mb instead (set by the asan test preset),
//   and LeakSanitizer checks that the failing call freed everything.
// - Damaged files: every truncation of a valid multi-chunk WAV file and every
//   single-byte corruption of its header gives a report or the reader's
//   message, the same from a disk file and from a memory stream.
// Full disks are covered by tests/wav_writer_test.cpp and tests/export_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine.h"
#include "whole_buffer.h"
#include "wav_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#define SILSPLIT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SILSPLIT_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define SILSPLIT_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SILSPLIT_TEST_TSAN 1
#endif
#endif
#ifdef SILSPLIT_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

using namespace wavtest;

namespace {

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kHeadroom = 256 * kMiB;

// Why this build cannot run the memory faults, or "" when it can.
std::string memory_limit_unavailable() {
#if defined(SILSPLIT_TEST_TSAN)
    return "ThreadSanitizer reserves the address space a limit would need";
#elif defined(SILSPLIT_TEST_ASAN)
    const char *o = std::getenv("ASAN_OPTIONS");
    if (!o || !std::strstr(o, "allocator_may_return_null=1") ||
        !std::strstr(o, "max_allocation_size_mb"))
        return "ASAN_OPTIONS lacks allocator_may_return_null=1 and max_allocation_size_mb "
               "(use the asan test preset)";
    return "";
#else
    return "";
#endif
}

// Address space of this process in bytes.
[[maybe_unused]] size_t address_space() {
    unsigned long pages = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Runs call in a forked child limited to its present address space plus
// kHeadroom and returns the message it gave, or what went wrong with it.
std::string in_limited_child(const std::function<std::string()> &call) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        close(fds[0]);
#ifndef SILSPLIT_TEST_ASAN
        const rlim_t limit = address_space() + kHeadroom;
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0)
            _exit(3);
#endif
        std::string msg = call();
#ifdef SILSPLIT_TEST_ASAN
        if (__lsan_do_recoverable_leak_check() != 0)
            msg += " (leaked)";
#endif
        if (write(fds[1], msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()))
            _exit(4);
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return got + " [killed by signal " + std::to_string(WTERMSIG(status)) + "]";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return got + " [exit status " + std::to_string(WEXITSTATUS(status)) + "]";
    return got;
}

// A WAV file of `bytes` 8-bit mono samples at 16 kHz: the header is written,
// the body is a hole (zeros that take no disk space).
std::string sparse_wav8(const TempDir &dir, const std::string &name, uint32_t bytes) {
    Bytes head = WavBuilder().fmt(1, 1, 16000, 8).chunk_declared("data", bytes, {}).build();
    const std::string path = dir.file(name, head);
    if (truncate(path.c_str(), static_cast<off_t>(head.size() + bytes)) != 0)
        throw std::runtime_error("truncate failed");
    return path;
}

// An anonymous mapping of n zero floats, made before the limit applies and
// never touched unless a copy of it succeeds.
struct ZeroFloats {
    explicit ZeroFloats(size_t n) : bytes(n * sizeof(float)) {
        void *p = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                       0);
        data = p == MAP_FAILED ? nullptr : static_cast<const float *>(p);
    }
    ~ZeroFloats() {
        if (data)
            munmap(const_cast<float *>(data), bytes);
    }
    size_t bytes;
    const float *data;
};

// Inputs whose whole signal is far larger than the child's 256 MiB of
// headroom are analysed a block at a time: memory stays bounded, and the
// results are whole.
TEST(FaultInjection, LargeInputsRunInBoundedMemory) {
    const std::string why = memory_limit_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    const std::string gib = sparse_wav8(dir, "gib.wav", 1u << 30);      // 1 GiB of samples
    const std::string wide = sparse_wav8(dir, "wide.wav", 160u * kMiB); // 640 MiB as floats
    ZeroFloats at8k(96 * kMiB); // 768 MiB as a 16 kHz signal
    ASSERT_TRUE(at8k.data);
    const std::string out = dir / "out";

    struct Case {
        const char *what;
        std::function<std::string()> call; // the result, then the message
        const char *want;
    };
    // The samples of 8-bit zeros are all -1: one loud chapter over everything.
    const Case cases[] = {
        {"file of 1 GiB",
         [&] { return take(silsplit_analyze(gib.c_str(), nullptr)) + silsplit_last_error(); },
         "{\"sample_rate\":16000,\"duration_s\":67108.8671875,\"silences_removed_s\":0.0,"
         "\"chapters\":[{\"i\":1,\"t0\":0.0,\"t1\":67108.8671875,\"dur\":67108.8671875,"
         "\"peak_db\":0.0}]}"},
        {"file of 160 MiB",
         [&] { return take(silsplit_analyze(wide.c_str(), nullptr)) + silsplit_last_error(); },
         "{\"sample_rate\":16000,\"duration_s\":10485.759765625,\"silences_removed_s\":0.0,"
         "\"chapters\":[{\"i\":1,\"t0\":0.0,\"t1\":10485.759765625,\"dur\":10485.759765625,"
         "\"peak_db\":0.0}]}"},
        {"export of a file of 160 MiB (nothing loud enough to write)",
         [&] {
             const int n =
                 silsplit_write_chapters(wide.c_str(), "{\"threshold_db\":10}", out.c_str());
             return std::to_string(n) + silsplit_last_error() +
                    (exists(out + "/chapters.json") ? "" : " (no chapters.json)");
         },
         "0"},
        {"8 kHz buffer of 384 MiB",
         [&] {
             return take(silsplit_analyze_pcm(at8k.data, static_cast<int>(96 * kMiB),
                                              "{\"sample_rate\":8000}")) +
                    silsplit_last_error();
         },
         "{\"sample_rate\":8000,\"duration_s\":12582.912109375,\"silences_removed_s\":"
         "12582.912109375,\"chapters\":[]}"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(in_limited_child(c.call), c.want) << c.what;
}

// Sizes that can be checked are checked before anything is allocated or
// read: a file declaring more data than it holds, and a data chunk of
// exactly 2^31 one-byte frames (one more than the frame count allows).
TEST(FaultInjection, HugeDeclarationsFailBeforeAnyAllocation) {
    const std::string why = memory_limit_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    const std::string tiny = dir.file(
        "tiny.wav", WavBuilder().fmt(1, 1, 16000, 8).chunk_declared("data", 0x80000000u, {1, 2}).build());
    const std::string two_gib = sparse_wav8(dir, "two_gib.wav", 0x80000000u);
    const std::string out = dir / "out";
    struct Case {
        const char *what;
        std::function<std::string()> call;
        const char *want;
    } cases[] = {
        {"tiny file declaring 2 GiB",
         [&] { return take(silsplit_analyze(tiny.c_str(), nullptr)) + silsplit_last_error(); },
         "<null>data read fail"},
        {"2 GiB of 8-bit frames",
         [&] { return take(silsplit_analyze(two_gib.c_str(), nullptr)) + silsplit_last_error(); },
         "<null>invalid frame size"},
        {"export of 2 GiB of 8-bit frames",
         [&] {
             return std::to_string(silsplit_write_chapters(two_gib.c_str(), nullptr, out.c_str())) +
                    silsplit_last_error();
         },
         "-1invalid frame size"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(in_limited_child(c.call), c.want) << c.what;
}

// Counters stepped by a block stay within range up to the largest lengths
// accepted: 2^31 - 1 one-byte frames, and a host buffer at 1 Hz whose
// 16 kHz signal is just under 2^31 samples (run under UBSan too).
TEST(FaultInjection, LongestInputsCountWithoutOverflow) {
    const std::string why = memory_limit_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    const std::string longest = sparse_wav8(dir, "longest.wav", 0x7FFFFFFFu);
    ZeroFloats at1hz(134217); // 134217 × 16000 = 2147472000 samples at 16 kHz
    ASSERT_TRUE(at1hz.data);
    struct Case {
        const char *what;
        std::function<std::string()> call;
        const char *want;
    } cases[] = {
        {"2^31 - 1 frames with progress",
         [&] {
             int calls = 0;
             auto count = [](int, const char *, void *user) {
                 ++*static_cast<int *>(user);
                 return 0;
             };
             const std::string r =
                 take(silsplit_analyze_progress(longest.c_str(), nullptr, count, &calls));
             return r.substr(0, 60) + " " + std::to_string(calls) + silsplit_last_error();
         },
         "{\"sample_rate\":16000,\"duration_s\":134217.734375,\"silences_re 78"},
        {"1 Hz buffer",
         [&] {
             return take(silsplit_analyze_pcm(at1hz.data, 134217, "{\"sample_rate\":1}")) +
                    silsplit_last_error();
         },
         "{\"sample_rate\":1,\"duration_s\":134217.0,\"silences_removed_s\":134217.0,"
         "\"chapters\":[]}"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(in_limited_child(c.call), c.want) << c.what;
}

// ---------------------------------------------------------------------------
// Damaged files
// ---------------------------------------------------------------------------

// Every message the reader can give, and the resampler's refusal of a data
// chunk without one whole frame.
const std::set<std::string> kReaderMessages = {
    "invalid resample args",
    "file too small for WAV",     "not a RIFF/WAVE file",   "bad fmt chunk",
    "fmt read fail",              "fmt skip fail",          "data chunk too large",
    "data read fail",             "out of memory",          "missing fmt or data chunk",
    "invalid channel/sample rate", "unsupported WAV format", "unsupported bit depth",
    "invalid frame size",
};

// 16-bit stereo at 8 kHz in a WAVE_FORMAT_EXTENSIBLE fmt chunk, then an odd
// LIST chunk with its pad byte, the data, and an odd chunk at the very end.
struct MultiChunk {
    Bytes file;
    size_t data_body = 0; // offset of the first sample
    size_t data_end = 0;  // offset just past the last sample
};

MultiChunk multi_chunk_wav() {
    std::vector<int16_t> l, r;
    for (int i = 0; i < 2000; ++i) {
        const bool loud = (i / 400) % 2 == 0; // 50 ms of sound, 50 ms of silence
        l.push_back(static_cast<int16_t>(loud ? 12000 + i : 0));
        r.push_back(static_cast<int16_t>(loud ? -9000 - i : 0));
    }
    Bytes ext;
    put16(ext, 22);     // cbSize
    put16(ext, 16);     // valid bits
    put32(ext, 3);      // channel mask
    put16(ext, 1);      // sub-format: PCM GUID
    for (int i = 0; i < 14; ++i)
        ext.push_back(static_cast<uint8_t>(i == 0 ? 0 : i == 2 ? 0x10 : i == 4 ? 0x80 : 0));
    const Bytes info = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 'x'};
    MultiChunk m;
    WavBuilder b;
    b.chunk("fmt ", fmt_body(0xFFFE, 2, 8000, 16, ext)).chunk("LIST", info, true);
    const Bytes before = b.build();
    m.data_body = before.size() + 8;
    m.file = b.data(pcm16(stereo(l, r))).chunk("junk", Bytes{1, 2, 3, 4, 5}).build();
    m.data_end = m.data_body + 2000 * 4;
    return m;
}

constexpr const char *kShortOpts =
    "{\"min_silence_s\":0.02,\"min_chapter_s\":0.01,\"padding_s\":0.005}";

// What the reader makes of some bytes: rc, message and samples.
struct ReadResult {
    int rc;
    std::string error;
    std::vector<float> samples;
    int rate;
    bool operator==(const ReadResult &o) const {
        return rc == o.rc && error == o.error && rate == o.rate &&
               samples.size() == o.samples.size() &&
               (samples.empty() ||
                std::memcmp(samples.data(), o.samples.data(), samples.size() * 4) == 0);
    }
};

ReadResult keep(int rc, sil_wav &w) {
    ReadResult r{rc, sil_get_error(), {}, w.sample_rate};
    if (rc == 0)
        r.samples.assign(w.samples, w.samples + w.frames);
    sil_wav_free(&w);
    return r;
}

// Analyses bytes from a file and checks the outcome; also reads them from a
// memory stream, which must give what the disk file gives.
std::string check_damaged(const TempDir &dir, const Bytes &bytes, const std::string &full_report,
                          bool must_match_full) {
    const std::string path = dir.file("damaged.wav", bytes);
    const std::string report = take(silsplit_analyze(path.c_str(), kShortOpts));
    const std::string err = silsplit_last_error();
    std::string problem;
    if (report == "<null>" && kReaderMessages.count(err) == 0)
        problem += "unexpected message '" + err + "'; ";
    if (report != "<null>" && !err.empty())
        problem += "report with message '" + err + "'; ";
    if (must_match_full && report != full_report)
        problem += "report " + report + " differs from the whole file's; ";

    sil_wav w;
    sil_clear_error();
    const ReadResult from_file = keep(sil_wav_read(path.c_str(), &w, nullptr), w);
    if (!bytes.empty()) {
        Bytes copy = bytes;
        FILE *f = fmemopen(copy.data(), copy.size(), "rb");
        if (!f)
            return problem + "fmemopen failed";
        sil_clear_error();
        const ReadResult from_stream = keep(sil_wav_read_stream(f, &w, nullptr), w);
        std::fclose(f);
        if (!(from_stream == from_file))
            problem += "memory stream gives '" + from_stream.error + "', file gives '" +
                       from_file.error + "'; ";
    }
    return problem;
}

TEST(FaultInjection, EveryTruncationGivesAReportOrAReaderMessage) {
    alarm(600); // hang guard only
    TempDir dir;
    const MultiChunk m = multi_chunk_wav();
    const std::string full = take(silsplit_analyze(dir.file("full.wav", m.file).c_str(), kShortOpts));
    ASSERT_NE(full, "<null>") << silsplit_last_error();
    ASSERT_NE(full.find("\"i\":2"), std::string::npos) << full; // several chapters

    for (size_t len = 0; len <= m.file.size(); ++len) {
        const Bytes cut(m.file.begin(), m.file.begin() + static_cast<long>(len));
        // Once the data chunk is whole, what follows it cannot matter.
        const std::string p = check_damaged(dir, cut, full, len >= m.data_end);
        EXPECT_EQ(p, "") << "length " << len;
        if (len < m.data_end) {
            const std::string report = take(silsplit_analyze((dir / "damaged.wav").c_str(), nullptr));
            EXPECT_EQ(report, "<null>") << "length " << len << " has no whole data chunk";
        }
    }
    alarm(0);
}

TEST(FaultInjection, EveryHeaderByteCorruptionGivesAReportOrAReaderMessage) {
    alarm(600); // hang guard only
    TempDir dir;
    const MultiChunk m = multi_chunk_wav();
    const std::string full = take(silsplit_analyze(dir.file("full.wav", m.file).c_str(), kShortOpts));
    ASSERT_NE(full, "<null>") << silsplit_last_error();

    for (size_t at = 0; at < m.data_body; ++at) {
        const uint8_t was = m.file[at];
        const std::set<uint8_t> values = {0x00, 0xFF, 0x7F, 0x80, static_cast<uint8_t>(was ^ 0x01),
                                          static_cast<uint8_t>(was ^ 0x10), static_cast<uint8_t>(was + 1)};
        for (uint8_t v : values) {
            if (v == was)
                continue;
            Bytes bad = m.file;
            bad[at] = v;
            EXPECT_EQ(check_damaged(dir, bad, full, false), "")
                << "byte " << at << " set to " << static_cast<int>(v);
        }
    }
    alarm(0);
}

} // namespace
