// Concurrency: 8 threads at once make hundreds of calls each, mixing
// successes and failures of every analysis entry. Every result must equal the
// single-threaded one and every thread must read only its own error text.
//
// Runs in the normal suite and alone under ThreadSanitizer:
//   cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan
// (the tsan test preset selects the tests named Concurrency.*).
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "signal_helpers.h"
#include "engine.h"
#include "wav_builder.h"

using namespace wavtest;

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 240;

enum class Kind { Pcm, Analyze, Progress, Write };

// One call.
struct Job {
    Kind kind;
    const std::vector<float> *pcm; // Pcm: the buffer (NULL: pass NULL)
    int n;                         // Pcm: the count given
    std::string path;              // file entries: the input
    const char *opts;
    int cancel_at_pct; // Progress: answer non-zero from this percent on; 101: never
};

// What a call gave.
struct Outcome {
    std::string report; // "<null>" on failure; Write: chapters.json
    int count = 0;      // Write: the result
    std::string error;
    std::vector<std::pair<int, std::string>> progress;
    std::vector<std::pair<std::string, Bytes>> files; // Write: the folder's files
};

// Progress state of one call; the callback checks it belongs to its thread.
struct ProgressState {
    std::thread::id owner;
    int cancel_at_pct = 101;
    std::vector<std::pair<int, std::string>> calls;
    bool foreign = false;
};

int on_progress(int pct, const char *stage, void *user) {
    auto *st = static_cast<ProgressState *>(user);
    if (st->owner != std::this_thread::get_id())
        st->foreign = true;
    st->calls.emplace_back(pct, stage);
    return pct >= st->cancel_at_pct ? 1 : 0;
}


std::vector<std::pair<std::string, Bytes>> folder(const std::string &dir) {
    std::vector<std::pair<std::string, Bytes>> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                out.emplace_back(name, read_file(dir + "/" + name));
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Runs one job; `out_dir` is the caller's own folder for Write jobs.
Outcome run(const Job &job, const std::string &out_dir) {
    Outcome result;
    switch (job.kind) {
    case Kind::Pcm:
        result.report =
            take(silsplit_analyze_pcm(job.pcm ? job.pcm->data() : nullptr, job.n, job.opts));
        break;
    case Kind::Analyze:
        result.report = take(silsplit_analyze(job.path.c_str(), job.opts));
        break;
    case Kind::Progress: {
        ProgressState st;
        st.owner = std::this_thread::get_id();
        st.cancel_at_pct = job.cancel_at_pct;
        result.report =
            take(silsplit_analyze_progress(job.path.c_str(), job.opts, on_progress, &st));
        result.progress = st.calls;
        if (st.foreign)
            result.error = "callback ran on another thread";
        break;
    }
    case Kind::Write:
        TempDir::remove_tree_content(out_dir);
        result.count = silsplit_write_chapters(job.path.c_str(), job.opts, out_dir.c_str());
        result.files = folder(out_dir);
        result.report = "<null>";
        for (const auto &f : result.files)
            if (f.first == "chapters.json")
                result.report.assign(f.second.begin(), f.second.end());
        break;
    }
    if (result.error.empty())
        result.error = silsplit_last_error();
    return result;
}

std::string differences(const Outcome &got, const Outcome &want, int index) {
    std::ostringstream os;
    if (got.report != want.report)
        os << "job " << index << ": report " << got.report << " != " << want.report << "\n";
    if (got.error != want.error)
        os << "job " << index << ": error '" << got.error << "' != '" << want.error << "'\n";
    if (got.count != want.count)
        os << "job " << index << ": count " << got.count << " != " << want.count << "\n";
    if (got.progress != want.progress)
        os << "job " << index << ": progress calls differ\n";
    if (got.files != want.files)
        os << "job " << index << ": written files differ\n";
    return os.str();
}

TEST(Concurrency, EightThreadsGetTheSingleThreadedResults) {
    TempDir dir;
    using sigtest::bursts;
    const std::vector<float> speech = bursts(14.0, {{0.5, 6.5}, {8.0, 13.0}});
    const std::vector<float> many = bursts(6.0, {{0.2, 0.6}, {1.0, 1.5}, {2.0, 3.9}, {4.5, 5.8}});
    std::vector<float> odd = bursts(9.0, {{1.0, 7.5}});
    odd[20000] = 1e30f; // a huge sample in the middle of a chapter

    const std::string good16 = dir.file("good16.wav", wav16(16000, 1, bursts16k(30)));
    const std::string stereo = dir.file(
        "stereo.wav", wavf32(44100, 2, std::vector<float>(44100 * 2 * 3, 0.25f)));
    const std::string bad = dir.file("bad.wav", WavBuilder().fmt(1, 1, 16000, 12).data(Bytes(64)).build());
    const std::string missing = dir / "missing.wav";
    const char *short_opts = "{\"min_chapter_s\":0.1,\"min_silence_s\":0.3,\"padding_s\":0.05}";

    std::vector<Job> jobs = {
        {Kind::Pcm, &speech, (int)speech.size(), "", nullptr, 101},
        {Kind::Pcm, &speech, (int)speech.size(), "", "{\"sample_rate\":44100}", 101},
        {Kind::Pcm, &many, (int)many.size(), "", short_opts, 101},
        {Kind::Pcm, &speech, (int)speech.size(), "", "{\"max_chapter_s\":1.5}", 101},
        {Kind::Pcm, &odd, (int)odd.size(), "", "{\"threshold_db\":-20}", 101},
        {Kind::Pcm, &speech, (int)speech.size(), "", "{\"threshold_db\":", 101},
        {Kind::Pcm, &speech, (int)speech.size(), "", "[1,2]", 101},
        {Kind::Pcm, nullptr, 10, "", nullptr, 101},
        {Kind::Pcm, &speech, -1, "", nullptr, 101},
        {Kind::Analyze, nullptr, 0, good16, kBurstOpts, 101},
        {Kind::Analyze, nullptr, 0, stereo, "{\"min_chapter_s\":1}", 101},
        {Kind::Analyze, nullptr, 0, bad, nullptr, 101},
        {Kind::Analyze, nullptr, 0, missing, nullptr, 101},
        {Kind::Progress, nullptr, 0, good16, kBurstOpts, 101},
        {Kind::Progress, nullptr, 0, stereo, nullptr, 30},
        {Kind::Progress, nullptr, 0, good16, nullptr, 100},
        {Kind::Progress, nullptr, 0, bad, nullptr, 101},
        {Kind::Write, nullptr, 0, good16, kBurstOpts, 101},
        {Kind::Write, nullptr, 0, stereo, "{\"min_chapter_s\":1}", 101},
        {Kind::Write, nullptr, 0, bad, nullptr, 101},
        {Kind::Write, nullptr, 0, missing, kBurstOpts, 101},
    };
    const int n_jobs = static_cast<int>(jobs.size());

    // The single-threaded results; the table must hold both outcomes.
    const std::string ref_dir = dir / "ref";
    ASSERT_EQ(::mkdir(ref_dir.c_str(), 0777), 0);
    std::vector<Outcome> want;
    int failures = 0;
    for (const Job &j : jobs) {
        want.push_back(run(j, ref_dir));
        failures += want.back().error.empty() ? 0 : 1;
    }
    ASSERT_GT(failures, 0);
    ASSERT_LT(failures, n_jobs);
    ASSERT_EQ(want[14].error, "cancelled");
    ASSERT_EQ(want[17].count, 30);

    std::vector<std::string> problems(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = dir / ("t" + std::to_string(t));
            const std::string own_file = dir / ("t" + std::to_string(t) + ".file");
            if (::mkdir(own.c_str(), 0777) != 0) {
                problems[t] = "cannot create " + own;
                return;
            }
            write_file(own_file, Bytes{1});
            for (int i = 0; i < kCallsPerThread; ++i) {
                // Threads walk the table at different strides and offsets,
                // so every job meets every other one.
                const int k = (i * (2 * t + 1) + 3 * t) % n_jobs;
                if (i % 17 == 5) {
                    // Every thread's own failing export: out_dir is a file.
                    const Outcome got = run(jobs[17], own_file);
                    if (got.count != -1 || got.error != "out_dir exists but is not a directory")
                        problems[t] += "own file as out_dir: " + got.error + "\n";
                    continue;
                }
                problems[t] += differences(run(jobs[k], own), want[k], k);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(problems[t], "") << "thread " << t;
}

// The error text is per thread: one thread's failure never shows in another
// thread's silsplit_last_error(), and its text stays until its own next call.
TEST(Concurrency, ErrorTextBelongsToItsThread) {
    std::vector<std::string> seen(kThreads);
    std::vector<std::thread> threads;
    const std::vector<std::string> opts = {"{", "[]", "{\"a\":}", "nul", "{}"};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const float one = 0.5f;
            for (int i = 0; i < 400; ++i) {
                const std::string &o = opts[(t + i) % opts.size()];
                char *r = silsplit_analyze_pcm(&one, 1, o.c_str());
                const bool ok = r != nullptr;
                silsplit_free_string(r);
                std::this_thread::yield();
                const std::string want = o == "{}"   ? ""
                                         : o == "[]" ? "options must be a JSON object"
                                                     : "invalid options JSON";
                if (ok != want.empty() || silsplit_last_error() != want)
                    seen[t] += o + " -> '" + silsplit_last_error() + "'\n";
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(seen[t], "") << "thread " << t;
}

} // namespace
