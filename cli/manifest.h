// The checksum manifest of a split: SHA256SUMS (or a name of the user's) in
// the output folder, one line per chapter file and one for chapters.json in
// the format `sha256sum -c` reads ("<64 hex digits>  <name>"), and the check
// of a folder against it. The digests come from OpenSSL's libcrypto.
#ifndef SILSPLIT_CLI_MANIFEST_H
#define SILSPLIT_CLI_MANIFEST_H

#include <string>
#include <vector>

namespace silsplit_cli {

// The manifest a split writes unless told otherwise.
extern const char kManifestName[]; // "SHA256SUMS"

// "" when name may name a manifest in the output folder: a plain name (no
// '/', not "." or "..", no leading dot, no control characters) that is not
// one of the split's own files (chapters.json, review.html, ch_NNN.EXT).
// Otherwise the reason.
std::string check_manifest_name(const std::string &name);

// The SHA-256 of the file at path as 64 lowercase hex digits, or "" with
// *error set ("PATH: reason").
std::string file_sha256(const std::string &path, std::string *error);

// A manifest line for name: "<hex>  <name>\n", or, for a name holding '\\'
// or a newline, the escaped form sha256sum writes ("\<hex>  <escaped>\n").
std::string manifest_line(const std::string &hex, const std::string &name);

// The files of the split in dir, in the order of its chapters and then
// chapters.json: each chapter's "file" in chapters.json, or ch_NNN.EXT (the
// default names) found in dir. false with *error set ("PATH: reason") when
// chapters.json cannot be read or a chapter's file is not there (with
// missing_ok, a missing chapter file is "" instead).
bool split_files(const std::string &dir, std::vector<std::string> *names, std::string *error,
                 bool missing_ok = false);

// Writes dir/manifest (under a temporary name, renamed once complete) with
// the digests of names (files of dir). "" or "PATH: reason".
std::string write_manifest(const std::string &dir, const std::string &manifest,
                           const std::vector<std::string> &names);

// One line of a manifest, read back.
struct ManifestEntry {
    std::string hex;  // lowercase
    std::string name; // unescaped
};

// Reads dir/manifest. false with *error set ("PATH: reason", or "PATH: line
// N: reason" for a line that is not "<hex>  <name>" nor "<hex> *<name>").
bool read_manifest(const std::string &dir, const std::string &manifest,
                   std::vector<ManifestEntry> *entries, std::string *error);

// The outcome of checking a folder against its manifest.
struct ManifestCheck {
    int checked = 0;               // files listed and read
    std::vector<std::string> good; // names whose digest matches
    std::vector<std::string> bad;  // "PATH: reason" for each failed file
};

// Checks each file the manifest lists in dir; then, when chapters.json is
// among the good ones, that every chapter file it names is listed too
// (a piece left out of the manifest is a failure).
ManifestCheck check_manifest(const std::string &dir, const std::vector<ManifestEntry> &entries);

} // namespace silsplit_cli

#endif
