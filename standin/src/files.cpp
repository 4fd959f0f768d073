#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include "form.hpp"

namespace drivoro::standin {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string random_hex(std::size_t digits) {
    static constexpr char hex[] = "0123456789abcdef";
    std::random_device device;
    std::string out;
    for (std::size_t i = 0; i < digits; ++i)
        out.push_back(hex[device() % 16]);
    return out;
}

}  // namespace

void write_file_atomically(const fs::path& target, std::string_view bytes) {
    fs::create_directories(target.parent_path());
    const fs::path temp =
        target.parent_path() / ("." + target.filename().string() + ".tmp-" + random_hex(8));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw_errno("cannot create " + temp.string());
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            errno = error;
            throw_errno("cannot write " + temp.string());
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        throw_errno("cannot write " + temp.string());
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        throw_errno("cannot rename " + temp.string() + " to " + target.string());
    }
}

fs::path served_file(const fs::path& files_dir, std::string_view served_path) {
    while (!served_path.empty() && served_path.front() == '/')
        served_path.remove_prefix(1);
    return files_dir / fs::path(std::string(served_path));
}

std::vector<std::string> missing_files(Store& store, const fs::path& files_dir) {
    std::vector<std::string> missing;
    std::error_code ec;
    auto check = [&](const std::string& served) {
        if (served.rfind(kServedPrefix, 0) == 0 &&
            !fs::is_regular_file(served_file(files_dir, served), ec)) {
            missing.push_back(served);
        }
    };
    for (const auto& file : store.current_files())
        check(file.filepath + file.filename);
    for (const auto& banner : store.all_banners())
        check(banner.img_path);
    return missing;
}

std::string safe_name(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out.push_back(keep ? c : '_');
    }
    return out;
}

DbFile publish(Store& store, const fs::path& files_dir, const std::string& model,
               const std::string& version, const fs::path& source,
               std::optional<std::string> served_name) {
    const auto found = store.find_model(model);
    if (!found)
        throw std::runtime_error("unknown model: " + model);
    if (version.empty() || version.size() > 32 || !is_valid_utf8(version)) {
        throw std::runtime_error("the version must be 1 to 32 bytes of UTF-8 text");
    }
    for (const char c : version) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            throw std::runtime_error("the version must not hold control characters");
        }
    }

    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
        throw std::runtime_error("not a readable file: " + source.string());
    }
    std::ifstream in(source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        throw std::runtime_error("cannot read " + source.string());
    if (bytes.empty())
        throw std::runtime_error("the file is empty: " + source.string());

    std::string name = safe_name(served_name ? *served_name : source.filename().string());
    if (name.empty() || name.front() == '.')
        name = "rp_cam.idb";

    // A folder per publication: an earlier version's file stays in place for a download that
    // already has its address, and two publications of one version do not collide.
    const std::string path = "/upload/sfd/" + std::to_string(found->idx) + "/" +
                             safe_name(version) + "-" + random_hex(8) + "/";
    const fs::path target = served_file(files_dir, path + name);
    write_file_atomically(target, bytes);
    try {
        return store.add_db_file(found->idx, version, name, path,
                                 static_cast<std::int64_t>(bytes.size()));
    } catch (...) {
        fs::remove_all(target.parent_path(), ec);
        throw;
    }
}

}  // namespace drivoro::standin
