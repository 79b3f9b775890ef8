#include "core/tracking/hash_cache.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/platform/time_text.h"

namespace dalvento {

namespace {

constexpr size_t HASH_PIECE_BYTES = 8 * 1024;

}  // namespace

int64_t modified_ms(Time time) {
    const int64_t ms =
        std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return ms < 0 ? 0 : ms;
}

std::expected<FileHash, std::string> hash_file(const std::filesystem::path& path) {
    auto file = platform::InputFile::open(path);
    if (!file) return std::unexpected(file.error().text);
    Sha256 hash;
    std::array<char, HASH_PIECE_BYTES> piece;
    FileHash result;
    for (;;) {
        const auto got = file->read(piece.data(), piece.size());
        if (!got) return std::unexpected(got.error().text);
        if (*got == 0) break;
        hash.update(piece.data(), *got);
        result.bytes += *got;
    }
    result.sha256 = hash.finish_hex();
    return result;
}

std::expected<std::string, std::string> file_fingerprint(State& state,
                                                         const std::filesystem::path& path,
                                                         uint64_t size,
                                                         std::optional<Time> modified) {
    const std::string key = platform::path_text(path);
    const int64_t ms = modified ? modified_ms(*modified) : 0;
    // Without a last-write time nothing tells an unchanged file from a rewritten one of the same
    // length, so such a file is always hashed.
    if (modified) {
        const auto cached = state.hash_cache.find(key);
        if (cached != state.hash_cache.end() && cached->second.size == size &&
            cached->second.modified_ms == ms) {
            std::string sha256 = cached->second.sha256;
            state.hash_cache[key] = CachedHash{size, ms, sha256};
            return sha256;
        }
    }
    auto hashed = hash_file(path);
    if (!hashed) return std::unexpected(hashed.error());
    state.hash_cache[key] = CachedHash{size, ms, hashed->sha256};
    return std::move(hashed->sha256);
}

std::optional<std::string> unit_fingerprint(const DeliveryUnit& unit) {
    std::vector<std::string> lines;
    const UnitFile* only = nullptr;
    for (const UnitFile& file : unit.files) {
        if (!file.sha256) continue;
        only = &file;
        lines.push_back(*file.sha256 + "  " + file.name + "\n");
    }
    if (lines.empty()) return std::nullopt;
    if (lines.size() == 1 && unit.kind == UnitKind::table) return *only->sha256;
    std::sort(lines.begin(), lines.end());
    Sha256 hash;
    for (const std::string& line : lines)
        hash.update(line);
    return hash.finish_hex();
}

void unit_fingerprint_and_unchanged(DeliveryUnit& unit,
                                    const std::map<std::string, std::string>& sent_hash) {
    unit.sha256 = unit_fingerprint(unit);
    unit.unchanged = false;
    if (!unit.sha256) return;
    const auto sent = sent_hash.find(unit.key);
    unit.unchanged = sent != sent_hash.end() && sent->second == *unit.sha256;
}

void record_delivery(State& state, const std::vector<DeliveryUnit>& units, bool send_everything) {
    const Time now = std::chrono::system_clock::now();
    const int64_t seconds = std::max<int64_t>(0, unix_seconds(now));
    for (const DeliveryUnit& unit : units) {
        if (!unit.sha256 || !goes(unit, send_everything)) continue;
        state.sent_hash[unit.key] = *unit.sha256;
        state.sent_at[unit.key] = seconds;
    }
    state.last_sent_at = format_local(now, "%Y-%m-%d %H:%M");
    state.include_once.clear();
}

}  // namespace dalvento
