#include "files.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "form.hpp"

namespace drivoro::standin {

namespace fs = std::filesystem;

namespace {

// Large enough to read and hash at disk speed, small enough to keep memory flat.
constexpr std::size_t kCopyPiece = 1024 * 1024;

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

class Sha256 {
  public:
    Sha256() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 is not available");
    }
    void add(const char* data, std::size_t size) {
        if (EVP_DigestUpdate(ctx_.get(), data, size) != 1)
            throw std::runtime_error("SHA-256 failed");
        size_ += size;
    }
    FileDigest finish() {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), hash, &length) != 1)
            throw std::runtime_error("SHA-256 failed");
        static constexpr char hex[] = "0123456789abcdef";
        FileDigest digest{static_cast<std::int64_t>(size_), {}};
        for (unsigned int i = 0; i < length; ++i) {
            digest.sha256.push_back(hex[hash[i] >> 4]);
            digest.sha256.push_back(hex[hash[i] & 0x0F]);
        }
        return digest;
    }

  private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
    std::size_t size_ = 0;
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads up to `size` bytes; 0 only at the end of the file.
std::size_t read_some(int fd, char* data, std::size_t size, const fs::path& file) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            throw_errno("cannot read " + file.string());
    }
}

// A temporary file beside the target; commit() flushes it and renames it over the target, and
// one that is not committed is removed.
class ReplacingFile {
  public:
    explicit ReplacingFile(const fs::path& target)
        : target_(target),
          temp_(target.parent_path() /
                ("." + target.filename().string() + ".tmp-" + random_hex(8))) {
        fs::create_directories(target.parent_path());
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0)
            throw_errno("cannot create " + temp_.string());
    }
    ~ReplacingFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!committed_)
            ::unlink(temp_.c_str());
    }
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(const char* data, std::size_t left) {
        while (left > 0) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                throw_errno("cannot write " + temp_.string());
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    }

    void commit() {
        const int fd = fd_;
        fd_ = -1;
        if (::fsync(fd) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            throw_errno("cannot write " + temp_.string());
        }
        if (::close(fd) != 0)
            throw_errno("cannot write " + temp_.string());
        if (::rename(temp_.c_str(), target_.c_str()) != 0)
            throw_errno("cannot rename " + temp_.string() + " to " + target_.string());
        committed_ = true;
    }

  private:
    fs::path target_;
    fs::path temp_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

void write_file_atomically(const fs::path& target, std::string_view bytes) {
    ReplacingFile file(target);
    file.write(bytes.data(), bytes.size());
    file.commit();
}

FileDigest digest_of(std::string_view bytes) {
    Sha256 hash;
    hash.add(bytes.data(), bytes.size());
    return hash.finish();
}

FileDigest digest_of_file(const fs::path& file) {
    const Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw_errno("cannot open " + file.string());
    Sha256 hash;
    std::vector<char> piece(kCopyPiece);
    while (const std::size_t n = read_some(fd.get(), piece.data(), piece.size(), file))
        hash.add(piece.data(), n);
    return hash.finish();
}

void complete_digests(Store& store, const fs::path& files_dir) {
    for (const auto& file : store.files_without_digest()) {
        std::error_code ec;
        const fs::path local = served_file(files_dir, file.filepath + file.filename);
        if (!fs::is_regular_file(local, ec))
            continue;
        const FileDigest digest = digest_of_file(local);
        store.set_digest(file.id, digest.size, digest.sha256);
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
    // Checked before opening: opening a FIFO would wait for a writer.
    if (!fs::is_regular_file(source, ec))
        throw std::runtime_error("not a readable file: " + source.string());
    const Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (in.get() < 0 || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode))
        throw std::runtime_error("not a readable file: " + source.string());
    if (status.st_size == 0)
        throw std::runtime_error("the file is empty: " + source.string());

    std::string name = safe_name(served_name ? *served_name : source.filename().string());
    if (name.empty() || name.front() == '.')
        name = "rp_cam.idb";

    // A folder per publication: an earlier version's file stays in place for a download that
    // already has its address, and two publications of one version do not collide.
    const std::string path = "/upload/sfd/" + std::to_string(found->idx) + "/" +
                             safe_name(version) + "-" + random_hex(8) + "/";
    const fs::path target = served_file(files_dir, path + name);
    try {
        // Hashed from the very bytes written, in one pass, so the digest is that of the
        // served copy even if the source changes meanwhile.
        FileDigest digest;
        {
            ReplacingFile out(target);
            Sha256 hash;
            std::vector<char> piece(kCopyPiece);
            while (const std::size_t n = read_some(in.get(), piece.data(), piece.size(), source)) {
                hash.add(piece.data(), n);
                out.write(piece.data(), n);
            }
            digest = hash.finish();
            if (digest.size == 0)
                throw std::runtime_error("the file is empty: " + source.string());
            out.commit();
        }
        return store.add_db_file(found->idx, version, name, path, digest.size, digest.sha256);
    } catch (...) {
        fs::remove_all(target.parent_path(), ec);
        throw;
    }
}

}  // namespace drivoro::standin
