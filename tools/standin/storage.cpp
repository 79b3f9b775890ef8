#include "standin/storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace dalvento::standin {

PartialFile::PartialFile(std::filesystem::path path)
    : path_(std::move(path)), partial_(path_.native() + ".partial") {
    fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

PartialFile::~PartialFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(partial_.c_str());
}

void PartialFile::write(const char* data, size_t size) {
    digest_.update(data, size);
    bytes_ += size;
    while (size > 0 && ok()) {
        const ssize_t n = ::write(fd_, data, size);
        if (n <= 0) {
            failed_ = true;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

bool PartialFile::keep() {
    if (fd_ < 0) return false;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (failed_ || !closed) return false;
    if (::rename(partial_.c_str(), path_.c_str()) != 0) return false;
    kept_ = true;
    return true;
}

std::expected<void, std::string> append_parts(const std::filesystem::path& folder, uint64_t count,
                                              PartialFile& out) {
    constexpr size_t piece = 1 << 20;
    const auto buffer = std::make_unique<char[]>(piece);
    for (uint64_t part = 1; part <= count; ++part) {
        const std::filesystem::path file = folder / std::to_string(part);
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::unexpected("part " + std::to_string(part) + " is missing");
        for (;;) {
            const ssize_t n = ::read(fd, buffer.get(), piece);
            if (n <= 0) break;
            out.write(buffer.get(), static_cast<size_t>(n));
        }
        ::close(fd);
    }
    return {};
}

}  // namespace dalvento::standin
