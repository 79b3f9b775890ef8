#include "core/packing/zip_builder.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <system_error>

#include "core/packing/block_deflate.h"
#include "core/packing/delivery_plan.h"
#include "core/packing/note.h"
#include "core/packing/zip_archive.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/platform/time_text.h"
#include "core/tracking/hash_cache.h"
#include "county/profile.h"
#include "county/text.h"

namespace dalvento {

namespace {

constexpr std::string_view NOTE_NAME = "NOTE.txt";
constexpr std::string_view SUMS_NAME = "SHA256SUMS";

bool path_exists(const std::filesystem::path& path) {
    return platform::file_info(path).has_value();
}

std::string file_error(const std::filesystem::path& path, const std::string& text) {
    return platform::path_text(path) + ": " + text;
}

std::optional<std::filesystem::path> env_folder(std::string_view name) {
    const auto value = platform::get_env(name);
    if (!value || value->empty()) return std::nullopt;
    return platform::path_from_text(*value);
}

}  // namespace

std::optional<std::string> delivery_content_fingerprint(const std::vector<DeliveryUnit>& units) {
    std::vector<std::string> lines;
    for (const DeliveryUnit& unit : units) {
        if (unit.selected && unit.sha256) lines.push_back(*unit.sha256 + "  " + unit.key + "\n");
    }
    if (lines.empty()) return std::nullopt;
    std::sort(lines.begin(), lines.end());
    Sha256 hash;
    for (const std::string& line : lines)
        hash.update(line);
    return hash.finish_hex();
}

std::string zip_file_name(std::chrono::year_month_day export_date,
                          const std::vector<DeliveryUnit>& units) {
    const auto fingerprint = delivery_content_fingerprint(units);
    return std::string(county_profile().key) + "-" + format_date(export_date, "%Y-%m-%d") + "-" +
           (fingerprint ? fingerprint->substr(0, 8) : std::string()) + ".zip";
}

std::filesystem::path choose_zip_path(const std::filesystem::path& folder,
                                      std::chrono::year_month_day export_date,
                                      const std::vector<DeliveryUnit>& units) {
    const std::string name = zip_file_name(export_date, units);
    std::filesystem::path path = folder / platform::path_from_text(name);
    const std::string stem = name.substr(0, name.size() - 4);
    for (int n = 2; path_exists(path); ++n) {
        path = folder / platform::path_from_text(stem + "-" + std::to_string(n) + ".zip");
    }
    return path;
}

std::filesystem::path outbox_folder() {
    std::optional<std::filesystem::path> base = env_folder("LOCALAPPDATA");
    if (!base) base = env_folder("TEMP");
    if (!base) {
        std::error_code error;
        base = std::filesystem::current_path(error);
        if (error) base = std::filesystem::path(".");
    }
    return *base / "dalvento" / "outbox";
}

std::expected<std::filesystem::path, std::string> make_outbox_folder() {
    std::filesystem::path folder = outbox_folder();
    if (auto made = platform::create_directories(folder); !made) {
        return std::unexpected(file_error(folder, made.error().text));
    }
    return folder;
}

uint32_t zip_entry_time(std::optional<Time> modified) {
    if (!modified) return DOS_EPOCH;
    const auto local = platform::to_local(*modified);
    if (!local || local->year < 1980 || local->year > 2107) return DOS_EPOCH;
    const auto date =
        static_cast<uint32_t>((local->year - 1980) << 9 | local->month << 5 | local->day);
    const auto time =
        static_cast<uint32_t>(local->hour << 11 | local->minute << 5 | local->second / 2);
    return date << 16 | time;
}

std::expected<ZipResult, std::string> build_zip(const std::vector<DeliveryUnit>& units,
                                                bool send_everything, std::string_view note_text,
                                                const std::filesystem::path& zip_path,
                                                const PackOptions& options) {
    std::filesystem::path partial = zip_path;
    partial.replace_extension("zip.partial");

    auto created = ZipArchive::create(partial);
    if (!created) {
        (void)platform::remove_file(partial);
        return std::unexpected(created.error());
    }
    ZipArchive zip = std::move(*created);
    auto fail = [&](std::string error) -> std::expected<ZipResult, std::string> {
        zip.abandon();
        (void)platform::remove_file(partial);
        return std::unexpected(std::move(error));
    };
    auto stopped = [&] { return options.stop != nullptr && options.stop->load(); };

    uint64_t total = 0;
    for (const DeliveryUnit& unit : units) {
        if (!goes(unit, send_everything)) continue;
        for (const UnitFile& file : unit.files)
            total += file.bytes;
    }
    uint64_t read_so_far = 0;

    // Blocks travel from the read here, through the pool, to the zip in the order read. A few
    // per thread are in flight, which keeps every thread busy and the memory bounded.
    struct Slot {
        DeflateBlock block;
        const UnitFile* file = nullptr;
        bool first = false;  // the file's first block: its entry starts here
    };
    std::deque<std::unique_ptr<Slot>> in_flight;
    std::vector<std::unique_ptr<Slot>> spare;
    DeflatePool pool(options.threads);  // after the slots: gone before them
    const size_t most_in_flight = 2 * static_cast<size_t>(pool.threads()) + 2;
    uint32_t entry_crc = 0;
    uint64_t entry_size = 0;

    auto take_slot = [&](const UnitFile& file, bool first) {
        std::unique_ptr<Slot> slot;
        if (spare.empty()) {
            slot = std::make_unique<Slot>();
        } else {
            slot = std::move(spare.back());
            spare.pop_back();
        }
        slot->file = &file;
        slot->first = first;
        slot->block.dictionary.clear();
        slot->block.last = false;
        return slot;
    };
    // Writes the oldest block in flight once deflated.
    auto write_oldest = [&]() -> std::expected<void, std::string> {
        std::unique_ptr<Slot> slot = std::move(in_flight.front());
        in_flight.pop_front();
        pool.wait(slot->block);
        const DeflateBlock& block = slot->block;
        if (!block.error.empty()) return std::unexpected(file_error(slot->file->path, block.error));
        if (slot->first) {
            auto begun =
                zip.begin_entry(slot->file->name, zip_entry_time(slot->file->modified), true);
            if (!begun) return begun;
            entry_crc = 0;
            entry_size = 0;
        }
        if (auto wrote = zip.write(block.output.data(), block.output.size()); !wrote) return wrote;
        entry_crc = static_cast<uint32_t>(
            crc32_combine(entry_crc, block.crc, static_cast<z_off_t>(block.input.size())));
        entry_size += block.input.size();
        if (block.last) {
            if (auto ended = zip.end_raw_entry(entry_size, entry_crc); !ended) return ended;
        }
        spare.push_back(std::move(slot));
        return {};
    };
    auto hand_over = [&](std::unique_ptr<Slot> slot) -> std::expected<void, std::string> {
        pool.deflate(slot->block);
        in_flight.push_back(std::move(slot));
        while (in_flight.size() >= most_in_flight) {
            if (auto wrote = write_oldest(); !wrote) return wrote;
        }
        return {};
    };

    // The two text entries come last but their names are taken from the start.
    std::set<std::string> used = {ascii_lower(NOTE_NAME), ascii_lower(SUMS_NAME)};
    std::string sums;
    size_t file_count = 0;
    for (const DeliveryUnit& unit : units) {
        if (!goes(unit, send_everything)) continue;
        for (const UnitFile& file : unit.files) {
            if (!used.insert(ascii_lower(file.name)).second) {
                return fail("two files would be named " + file.name +
                            " in the zip; clear one of the units that has it");
            }
            auto source = platform::InputFile::open(file.path);
            if (!source) return fail(file_error(file.path, source.error().text));
            Sha256 hash;
            // Fills a block with the file's next bytes; short only at the end of the file.
            auto read_block = [&](Slot& slot) -> std::expected<void, std::string> {
                std::vector<unsigned char>& input = slot.block.input;
                input.resize(DEFLATE_BLOCK_BYTES);
                size_t have = 0;
                while (have < input.size()) {
                    const auto got = source->read(input.data() + have, input.size() - have);
                    if (!got) return std::unexpected(file_error(file.path, got.error().text));
                    if (*got == 0) break;
                    have += *got;
                }
                input.resize(have);
                hash.update(input.data(), input.size());
                read_so_far += have;
                if (options.progress) options.progress(read_so_far, total);
                if (stopped()) return std::unexpected(std::string(PACKING_STOPPED));
                return {};
            };

            // A block goes once the next one shows whether it is the file's last.
            std::unique_ptr<Slot> current = take_slot(file, true);
            if (auto got = read_block(*current); !got) return fail(got.error());
            for (;;) {
                if (current->block.input.size() < DEFLATE_BLOCK_BYTES) {
                    current->block.last = true;
                    if (auto handed = hand_over(std::move(current)); !handed) {
                        return fail(handed.error());
                    }
                    break;
                }
                std::unique_ptr<Slot> next = take_slot(file, false);
                if (auto got = read_block(*next); !got) return fail(got.error());
                if (next->block.input.empty()) {
                    spare.push_back(std::move(next));
                    current->block.last = true;
                    if (auto handed = hand_over(std::move(current)); !handed) {
                        return fail(handed.error());
                    }
                    break;
                }
                const std::vector<unsigned char>& before = current->block.input;
                next->block.dictionary.assign(before.end() - DEFLATE_WINDOW_BYTES, before.end());
                if (auto handed = hand_over(std::move(current)); !handed) {
                    return fail(handed.error());
                }
                current = std::move(next);
            }
            sums += sha256sums_line(hash.finish_hex(), file.name);
            ++file_count;
        }
    }
    while (!in_flight.empty()) {
        if (auto wrote = write_oldest(); !wrote) return fail(wrote.error());
    }

    for (const auto& [name, text] :
         {std::pair{NOTE_NAME, note_text}, std::pair{SUMS_NAME, std::string_view(sums)}}) {
        if (auto begun = zip.begin_entry(name, DOS_EPOCH); !begun) return fail(begun.error());
        if (auto wrote = zip.write(text.data(), text.size()); !wrote) return fail(wrote.error());
    }
    if (stopped()) return fail(std::string(PACKING_STOPPED));
    if (auto finished = zip.finish(); !finished) return fail(finished.error());

    if (auto renamed = platform::replace_rename(partial, zip_path); !renamed) {
        return std::unexpected(file_error(zip_path, renamed.error().text));
    }
    auto hashed = hash_file(zip_path);
    if (!hashed) return std::unexpected(file_error(zip_path, hashed.error()));
    return ZipResult{zip_path, std::move(hashed->sha256), hashed->bytes, file_count};
}

}  // namespace dalvento
