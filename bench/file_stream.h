#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <string>
#include <vector>

// A handler that streams the first length bytes of the file at path from disk in 1 MiB pieces,
// as a web server would.
inline httplib::Server::Handler streamFile(std::string path, std::size_t length) {
    return [path = std::move(path), length](const httplib::Request&, httplib::Response& res) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        res.set_content_provider(
            length, "application/octet-stream",
            [fd](size_t offset, size_t wanted, httplib::DataSink& sink) {
                std::vector<char> piece(std::min<size_t>(wanted, 1 << 20));
                const ssize_t n =
                    ::pread(fd, piece.data(), piece.size(), static_cast<off_t>(offset));
                if (n <= 0)
                    return false;
                return sink.write(piece.data(), static_cast<size_t>(n));
            },
            [fd](bool) { ::close(fd); });
    };
}
