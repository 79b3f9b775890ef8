#include "core/packing/read_back.h"

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/sources/cutoff_checks.h"

namespace dalvento {

std::expected<void, ReadBackFailure> read_back_zip(const std::filesystem::path& zip,
                                                   std::string_view written_sha256,
                                                   uint64_t written_bytes,
                                                   const ReadBackOptions& options) {
    Sha256 hash;
    uint64_t read = 0;
    bool stopped = false;
    const auto device =
        platform::read_from_device(zip, [&](const unsigned char* data, size_t size) {
            hash.update(data, size);
            read += size;
            if (options.progress) options.progress(read, written_bytes);
            stopped = options.stop != nullptr && options.stop->load();
            return !stopped;
        });
    if (stopped) return std::unexpected(ReadBackFailure{std::nullopt, true});
    if (!device) return std::unexpected(ReadBackFailure{device.error().text});
    if (read != written_bytes) {
        return std::unexpected(ReadBackFailure{"it reads back as " + count_text(read) + " bytes, " +
                                               count_text(written_bytes) + " were written"});
    }
    if (hash.finish_hex() != written_sha256) return std::unexpected(ReadBackFailure{});
    return {};
}

}  // namespace dalvento
