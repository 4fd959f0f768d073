// The served files below files_dir/upload, database files and banner pictures, sent from disk
// piece by piece: memory stays flat however many and however large the downloads.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include "answers.hpp"
#include "files.hpp"
#include "service.hpp"

namespace drivoro::standin {

namespace {

using httplib::Request;
using httplib::Response;

constexpr std::size_t kSendPiece = 64 * 1024;

std::string content_type_of(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    std::string extension(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "jpg" || extension == "jpeg")
        return "image/jpeg";
    if (extension == "png")
        return "image/png";
    if (extension == "gif")
        return "image/gif";
    return "application/octet-stream";
}

// The file at `relative` below `root`, opened folder by folder without following links, or -1
// for anything else: a name that would leave the folder, a hidden or temporary file, a link, a
// folder, a device.
int open_served(const std::filesystem::path& root, std::string_view relative) {
    std::vector<std::string_view> names;
    while (true) {
        const std::size_t slash = relative.find('/');
        const std::string_view name = relative.substr(0, slash);
        if (name.empty() || name.front() == '.' ||
            name.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
            return -1;
        }
        names.push_back(name);
        if (slash == std::string_view::npos)
            break;
        relative.remove_prefix(slash + 1);
    }
    int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; folder >= 0 && i + 1 < names.size(); ++i) {
        const int next = ::openat(folder, std::string(names[i]).c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(folder);
        folder = next;
    }
    if (folder < 0)
        return -1;
    // Non-blocking, so that a FIFO put there is not waited on.
    const int fd = ::openat(folder, std::string(names.back()).c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(folder);
    struct stat status {};
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void Service::file_routes() {
    server_.Get(std::string(kServedPrefix) + ".*", [this](const Request& req, Response& res) {
        const std::string_view relative = std::string_view(req.path).substr(kServedPrefix.size());
        const int fd = open_served(options_.files_dir / "upload", relative);
        if (fd < 0)
            return error(res, 404, "no such address " + req.path);
        const std::shared_ptr<int> file(new int(fd), [](int* f) {
            ::close(*f);
            delete f;
        });
        struct stat status {};
        ::fstat(fd, &status);
        const auto size = static_cast<std::size_t>(status.st_size);
        const std::string type = content_type_of(relative);
        if (size == 0)
            return res.set_content("", type.c_str());
        auto piece = std::make_shared<std::vector<char>>(std::min(size, kSendPiece));
        res.set_content_provider(
            size, type,
            [file, piece](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                const ssize_t n = ::pread(*file, piece->data(), std::min(length, piece->size()),
                                          static_cast<off_t>(offset));
                // A file cut short meanwhile ends the connection instead of padding the answer.
                return n > 0 && sink.write(piece->data(), static_cast<std::size_t>(n));
            });
    });
}

}  // namespace drivoro::standin
