#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.hpp"

namespace drivoro::standin {

// Served files live below files_dir/upload and are answered under "/upload/".
inline constexpr std::string_view kServedPrefix = "/upload/";

// Writes through a temporary file in the same folder, flushed and renamed over the target, so
// that a download running at the same time sees either the old or the new file, never a part.
void write_file_atomically(const std::filesystem::path& target, std::string_view bytes);

// What the download answer tells about a file, so that the program can check what it received.
struct FileDigest {
    std::int64_t size = 0;
    // SHA-256 in 64 lower-case hex digits.
    std::string sha256;
};

FileDigest digest_of(std::string_view bytes);
// Reads the file in pieces; throws when it cannot be read.
FileDigest digest_of_file(const std::filesystem::path& file);

// Records the digest of every database file a database made by an older version lists without
// one, reading the files from files_dir once. Files that are not there stay without.
void complete_digests(Store& store, const std::filesystem::path& files_dir);

// The local file behind a served path such as "/upload/sfd/101/2.5/X.idb".
std::filesystem::path served_file(const std::filesystem::path& files_dir,
                                  std::string_view served_path);

// The served paths of current database files and banner pictures that are not in files_dir,
// typically because the service was started with another --files folder than before.
std::vector<std::string> missing_files(Store& store, const std::filesystem::path& files_dir);

// Keeps letters, digits, ".", "-" and "_" and turns everything else into "_": the program puts
// path and file name into its download address without escaping them.
std::string safe_name(std::string_view text);

// Makes `source` the current database of `model`: copies it below files_dir into a folder of
// its own and records it with its size and SHA-256, taken from the bytes copied, so the next
// download request answers with it. Throws with a message
// for the user on an unknown model, an unusable version text or an unreadable file.
DbFile publish(Store& store, const std::filesystem::path& files_dir, const std::string& model,
               const std::string& version, const std::filesystem::path& source,
               std::optional<std::string> served_name = {});

}  // namespace drivoro::standin
