#include "manifest.h"

#include "formats/json_doc.h"
#include "split_output.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace silsplit_cli {

namespace fs = std::filesystem;

const char kManifestName[] = "SHA256SUMS";

namespace {

std::string join(const std::string &dir, const std::string &name) {
    return (fs::path(dir) / name).string();
}

std::string reason(int err) { return strerror(err ? err : EIO); }

struct MdFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

bool is_hex_digest(const std::string &s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

} // namespace

std::string check_manifest_name(const std::string &name) {
    if (name == kManifestName)
        return "";
    if (name.empty())
        return "is empty";
    if (name.find('/') != std::string::npos)
        return "names a file in the output folder and must not hold '/'";
    if (name[0] == '.')
        return "must not start with '.'";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return "must not hold control characters";
    if (name == "review.html" || is_split_output_name(name))
        return "is the name of one of the split's own files";
    return "";
}

std::string file_sha256(const std::string &path, std::string *error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + reason(errno);
        return "";
    }
    FdCloser closer{fd};
    std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        *error = path + ": cannot start a SHA-256 digest";
        return "";
    }
    std::vector<unsigned char> block(1 << 20);
    for (;;) {
        const ssize_t n = read(fd, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = path + ": " + reason(errno);
            return "";
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), block.data(), (size_t)n) != 1) {
            *error = path + ": SHA-256 digest failed";
            return "";
        }
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1 || len != 32) {
        *error = path + ": SHA-256 digest failed";
        return "";
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int k = 0; k < len; ++k) {
        hex += digits[md[k] >> 4];
        hex += digits[md[k] & 15];
    }
    return hex;
}

std::string manifest_line(const std::string &hex, const std::string &name) {
    if (name.find_first_of("\\\n") == std::string::npos)
        return hex + "  " + name + "\n";
    std::string escaped;
    for (char c : name)
        escaped += c == '\\'   ? std::string("\\\\")
                   : c == '\n' ? std::string("\\n")
                               : std::string(1, c);
    return "\\" + hex + "  " + escaped + "\n";
}

namespace {

// Each chapter's file as chapters.json in dir gives it: its "file", or the
// stem ch_NNN of the default names (stem[k] set). false with *error set.
bool report_files(const std::string &dir, std::vector<std::string> *files, std::vector<bool> *stem,
                  std::string *error) {
    const std::string report_path = join(dir, "chapters.json");
    std::ifstream in(report_path, std::ios::binary);
    if (!in) {
        *error = report_path + ": " + reason(errno);
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    JsonDoc doc = read_json(text);
    yyjson_val *chapters =
        doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "chapters") : nullptr;
    if (!yyjson_is_arr(chapters)) {
        *error = report_path + ": not a split's chapter list";
        return false;
    }
    size_t idx, max;
    yyjson_val *ch;
    yyjson_arr_foreach(chapters, idx, max, ch) {
        yyjson_val *file = yyjson_obj_get(ch, "file");
        if (yyjson_is_str(file)) {
            files->emplace_back(yyjson_get_str(file), yyjson_get_len(file));
            stem->push_back(false);
        } else {
            char name[32];
            snprintf(name, sizeof name, "ch_%03zu", idx + 1);
            files->push_back(name);
            stem->push_back(true);
        }
    }
    return true;
}

bool has_stem(const std::string &name, const std::string &stem) {
    return name.size() > stem.size() + 1 && name.compare(0, stem.size(), stem) == 0 &&
           name[stem.size()] == '.' && name.find('.', stem.size() + 1) == std::string::npos;
}

} // namespace

bool split_files(const std::string &dir, std::vector<std::string> *names, std::string *error,
                 bool missing_ok) {
    names->clear();
    std::vector<std::string> files;
    std::vector<bool> stem;
    if (!report_files(dir, &files, &stem, error))
        return false;
    // The default names, ch_NNN.EXT (the extension is the one the split chose).
    std::vector<std::string> present;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::string base;
        if (name != "chapters.json" && !is_temp_name(name, &base) && is_split_output_name(name))
            present.push_back(name);
    }
    if (ec) {
        *error = dir + ": " + ec.message();
        return false;
    }
    for (size_t k = 0; k < files.size(); ++k) {
        std::string name = files[k];
        if (stem[k]) {
            std::vector<std::string> found;
            for (const std::string &p : present)
                if (has_stem(p, files[k]))
                    found.push_back(p);
            if (found.empty() && missing_ok) {
                names->push_back("");
                continue;
            }
            if (found.size() != 1) {
                *error = join(dir, files[k] + ".*") +
                         (found.empty() ? ": missing" : ": more than one file");
                return false;
            }
            name = found[0];
        }
        std::error_code type_ec;
        const bool is_file = fs::is_regular_file(join(dir, name), type_ec);
        if (name.find('/') == std::string::npos && !is_file && missing_ok) {
            names->push_back("");
            continue;
        }
        if (name.find('/') != std::string::npos || !is_file) {
            *error = join(dir, name) + ": missing";
            return false;
        }
        names->push_back(name);
    }
    names->push_back("chapters.json");
    return true;
}

std::string write_manifest(const std::string &dir, const std::string &manifest,
                           const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) {
        std::string error;
        const std::string hex = file_sha256(join(dir, name), &error);
        if (hex.empty())
            return error;
        text += manifest_line(hex, name);
    }
    std::string error;
    const Outcome out = write_whole_file(
        dir, manifest,
        [&](FILE *f, std::string *err) {
            if (fwrite(text.data(), 1, text.size(), f) == text.size())
                return Outcome::done;
            *err = join(dir, manifest) + ": " + reason(errno);
            return Outcome::failed;
        },
        &error);
    return out == Outcome::done ? "" : error;
}

bool read_manifest(const std::string &dir, const std::string &manifest,
                   std::vector<ManifestEntry> *entries, std::string *error) {
    const std::string path = join(dir, manifest);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + reason(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const bool escaped = line[0] == '\\';
        const std::string body = escaped ? line.substr(1) : line;
        const std::string hex = body.substr(0, 64);
        // "<hex>  <name>" (text mode) or "<hex> *<name>" (binary mode).
        if (!is_hex_digest(hex) || body.size() < 67 || body[64] != ' ' ||
            (body[65] != ' ' && body[65] != '*')) {
            *error = path + ": line " + std::to_string(number) +
                     ": not \"<64 hex digits>  <file name>\"";
            return false;
        }
        std::string name;
        const std::string raw = body.substr(66);
        for (size_t k = 0; k < raw.size(); ++k) {
            if (escaped && raw[k] == '\\' && k + 1 < raw.size()) {
                name += raw[k + 1] == 'n' ? '\n' : raw[k + 1];
                ++k;
            } else {
                name += raw[k];
            }
        }
        ManifestEntry e;
        e.hex = hex;
        std::transform(e.hex.begin(), e.hex.end(), e.hex.begin(),
                       [](char c) { return (char)(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c); });
        e.name = name;
        entries->push_back(e);
    }
    if (in.bad()) {
        *error = path + ": " + reason(errno);
        return false;
    }
    return true;
}

ManifestCheck check_manifest(const std::string &dir, const std::vector<ManifestEntry> &entries) {
    ManifestCheck out;
    std::set<std::string> listed;
    bool report_good = false;
    for (const ManifestEntry &e : entries) {
        listed.insert(e.name);
        const std::string path = join(dir, e.name);
        // Only files of this folder: a manifest line naming a path elsewhere
        // is a failure, never read.
        if (e.name.find('/') != std::string::npos || e.name == "." || e.name == "..") {
            out.bad.push_back(path + ": not a file of the folder");
            continue;
        }
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec))) {
            out.bad.push_back(path + ": missing");
            continue;
        }
        std::string error;
        const std::string hex = file_sha256(path, &error);
        ++out.checked;
        if (hex.empty()) {
            out.bad.push_back(error);
        } else if (hex != e.hex) {
            out.bad.push_back(path + ": checksum differs (the file changed since the split)");
        } else {
            out.good.push_back(e.name);
            report_good = report_good || e.name == "chapters.json";
        }
    }
    if (!report_good)
        return out;
    // The chapter files chapters.json names must be in the manifest too.
    std::vector<std::string> files;
    std::vector<bool> stem;
    std::string error;
    if (!report_files(dir, &files, &stem, &error)) {
        out.bad.push_back(error);
        return out;
    }
    for (size_t k = 0; k < files.size(); ++k) {
        const bool in =
            stem[k] ? std::any_of(listed.begin(), listed.end(),
                                  [&](const std::string &n) { return has_stem(n, files[k]); })
                    : listed.count(files[k]) > 0;
        if (in)
            continue;
        std::string name = stem[k] ? files[k] + ".*" : files[k];
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; stem[k] && !ec && it != end; it.increment(ec))
            if (has_stem(it->path().filename().string(), files[k]))
                name = it->path().filename().string();
        out.bad.push_back(join(dir, name) + ": not in the manifest");
    }
    return out;
}

} // namespace silsplit_cli
