#include "standin/storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace dalvento::standin {

std::filesystem::path receiving_path(const std::filesystem::path& zip) {
    return zip.native() + ".partial";
}

PartWriter::PartWriter(const std::filesystem::path& file, uint64_t offset, uint64_t expected)
    : offset_(offset), expected_(expected) {
    fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
}

PartWriter::~PartWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void PartWriter::write(const char* data, size_t size) {
    digest_.update(data, size);
    // Only what falls within the part goes to the file.
    const uint64_t room = bytes_ < expected_ ? expected_ - bytes_ : 0;
    size_t left = static_cast<size_t>(std::min<uint64_t>(size, room));
    uint64_t at = offset_ + bytes_;
    bytes_ += size;
    while (left > 0 && ok()) {
        const ssize_t n = ::pwrite(fd_, data, left, static_cast<off_t>(at));
        if (n <= 0) {
            failed_ = true;
            return;
        }
        data += n;
        at += static_cast<uint64_t>(n);
        left -= static_cast<size_t>(n);
    }
}

std::expected<FileDigest, std::string> digest_file(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(file.string() + ": " + std::strerror(errno));
    constexpr size_t piece = 1 << 20;
    const auto buffer = std::make_unique<char[]>(piece);
    FileDigest digest;
    Sha256 hash;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), piece);
        if (n == 0) break;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return std::unexpected(file.string() + ": " + std::strerror(error));
        }
        hash.update(buffer.get(), static_cast<size_t>(n));
        digest.bytes += static_cast<uint64_t>(n);
    }
    ::close(fd);
    digest.sha256 = hash.finish_hex();
    return digest;
}

}  // namespace dalvento::standin
