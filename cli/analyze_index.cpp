#include "analyze_index.h"

#include "formats/json_doc.h"
#include "formats/json_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace silsplit_cli {

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The error texts of a cluster's fault as an earlier version of the Python
// package wrote them: such a file is analysed again.
bool cluster_fault(const std::string &error) {
    static const char *const kFaults[] = {"KilledWorker:", "CancelledError:", "CommClosedError:",
                                          "ModuleNotFoundError:", "ImportError:"};
    if (error == "task cancelled" || error == "task lost")
        return true;
    for (const char *fault : kFaults)
        if (error.compare(0, strlen(fault), fault) == 0)
            return true;
    return false;
}

// The key of an index line of a finished analysis, or "" for any other line
// (a split's, a fault of the cluster, a line cut off).
std::string finished_key(const std::string &line) {
    JsonDoc doc = read_json(line);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root) || yyjson_obj_get(root, "out_dir") || yyjson_obj_get(root, "kind") ||
        yyjson_is_true(yyjson_obj_get(root, "cluster")))
        return "";
    yyjson_val *error = yyjson_obj_get(root, "error");
    if (yyjson_is_str(error) &&
        cluster_fault(std::string(yyjson_get_str(error), yyjson_get_len(error))))
        return "";
    if (!error && !yyjson_obj_get(root, "report"))
        return "";
    yyjson_val *b64 = yyjson_obj_get(root, "path_b64");
    yyjson_val *path = yyjson_obj_get(root, "path");
    std::string key;
    if (yyjson_is_str(b64)) {
        if (!base64_decode(std::string(yyjson_get_str(b64), yyjson_get_len(b64)), &key))
            return "";
    } else if (yyjson_is_str(path)) {
        key.assign(yyjson_get_str(path), yyjson_get_len(path));
    }
    return key;
}

bool write_all(int fd, const std::string &text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += (size_t)n;
    }
    return true;
}

} // namespace

AnalyzeIndex::~AnalyzeIndex() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string AnalyzeIndex::open(const std::string &file) {
    file_ = file;
    fd_ = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0)
        return file + ": " + strerror(errno);
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return file + ": " + strerror(errno);
        if (n == 0)
            break;
        text.append(buf, (size_t)n);
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string key = finished_key(text.substr(at, end - at));
        if (!key.empty())
            held_.insert(key);
        at = end + 1;
    }
    // A line cut off (by a crash) stays a line of its own.
    if (!text.empty() && text.back() != '\n' && !write_all(fd_, "\n"))
        return file + ": " + strerror(errno);
    return "";
}

bool AnalyzeIndex::take(const std::string &key) {
    std::lock_guard<std::mutex> lock(mu_);
    return !held_.insert(key).second;
}

std::string AnalyzeIndex::add(const std::string &key, const char *report,
                              const std::string &error) {
    std::string line = "{\"path\":" + json_name(key);
    if (escape_invalid_utf8(key) != key)
        line += ",\"path_b64\":\"" + base64_encode(key) + "\"";
    if (report)
        line += ",\"report\":" + std::string(report) + "}\n";
    else
        line += ",\"error\":" + json_name(error) + "}\n";
    std::lock_guard<std::mutex> lock(mu_);
    // One write to a file opened with O_APPEND: a whole line, at the end.
    if (!write_all(fd_, line))
        return file_ + ": " + strerror(errno);
    return "";
}

std::string index_key(const std::string &path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    std::string key = p.lexically_normal().string();
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

std::string base64_encode(const std::string &bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                           (unsigned char)bytes[i + 2];
        out += {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63], kBase64[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = (unsigned char)bytes[i] << 16;
        out += {kBase64[v >> 18], kBase64[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63], '='};
    }
    return out;
}

bool base64_decode(const std::string &text, std::string *bytes) {
    if (text.size() % 4)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            const char *at = c ? strchr(kBase64, c) : nullptr;
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                v <<= 6;
            } else if (at && !pad) {
                v = v << 6 | (unsigned)(at - kBase64);
            } else {
                return false;
            }
        }
        *bytes += (char)(v >> 16);
        if (pad < 2)
            *bytes += (char)((v >> 8) & 255);
        if (pad < 1)
            *bytes += (char)(v & 255);
    }
    return true;
}

} // namespace silsplit_cli
