// The index of an analysis of many files (analyze --index FILE): a JSON
// Lines file, one line per finished file, appended as each file is done and
// read back on a rerun, which skips the files it holds. Its lines are those
// of the Python package's silsplit.batch:
//   {"path":NAME,"report":{...}}   {"path":NAME,"error":"..."}
// NAME is the file's absolute path, written as the program writes names
// (bytes that are not UTF-8 as \u00XX escapes); such a name also has
// "path_b64", its exact bytes in base64, by which a rerun knows it.
#ifndef SILSPLIT_CLI_ANALYZE_INDEX_H
#define SILSPLIT_CLI_ANALYZE_INDEX_H

#include <mutex>
#include <set>
#include <string>

namespace silsplit_cli {

class AnalyzeIndex {
  public:
    AnalyzeIndex() = default;
    AnalyzeIndex(const AnalyzeIndex &) = delete;
    AnalyzeIndex &operator=(const AnalyzeIndex &) = delete;
    ~AnalyzeIndex();

    // Opens file for appending (creating it) and reads the files it holds
    // already; "" or the reason it cannot ("FILE: REASON").
    std::string open(const std::string &file);

    // Whether the index holds the file of this key (index_key) already;
    // otherwise it is taken as held from now on, so that a file named twice
    // is analysed once.
    bool take(const std::string &key);

    // Appends the line of a finished file, with one write, from any thread;
    // "" or the reason it failed. report: the library's report, or NULL
    // with error the file's error.
    std::string add(const std::string &key, const char *report, const std::string &error);

  private:
    int fd_ = -1;
    std::string file_;
    std::set<std::string> held_;
    std::mutex mu_;
};

// The index's key of a path: the absolute, lexically normal path, as
// Python's os.path.abspath makes it.
std::string index_key(const std::string &path);

// Base64 (RFC 4648, with padding).
std::string base64_encode(const std::string &bytes);
// The bytes of base64 text; false when it is not base64.
bool base64_decode(const std::string &text, std::string *bytes);

} // namespace silsplit_cli

#endif
