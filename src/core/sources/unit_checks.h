// The checks every unit gets while the scan builds it: sibling files and locks for layers, the
// field count of tables, readability and emptiness for everything, and signs of a cut-off export.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"

namespace dalvento {

// A member file as the scan found it: name on disk and full path.
struct MemberFile {
    std::string name;
    std::filesystem::path path;
};

// Reads one file's size and time, opens it once sharing it, and fingerprints it through the
// cache. Gives the file or the reading message.
std::expected<UnitFile, std::string> read_unit_file(const std::string& name,
                                                    const std::filesystem::path& path,
                                                    State& state);

// The sibling check of a layer from its members' names: a blocking message naming the core
// siblings that are missing, and a thing to check when there is no .cpg.
void check_layer_siblings(DeliveryUnit& unit, const std::vector<std::string>& member_names);

// Builds and checks a layer unit from its member files. profile is null for an other layer.
DeliveryUnit check_layer_unit(const std::string& key, const ProfileUnit* profile,
                              const std::filesystem::path& folder, std::vector<MemberFile> members,
                              bool locked, State& state);

// Counts the `^`-separated fields of a table's first 500 lines as its bytes stream by, so that
// not even one line is held in memory (a damaged export can be a single line of gigabytes).
class TableFieldCounter {
  public:
    void feed(const char* data, size_t size);
    // The end of the table: a last line without a line feed counts too.
    void finish();
    // True once the lines the check looks at have all been counted.
    bool full() const;
    // The fields of the first line that is not empty (the header line); none before it ends.
    std::optional<uint64_t> first_line_fields() const { return first_line_fields_; }

  private:
    friend std::optional<uint64_t> judge_table_fields(DeliveryUnit&, const TableFieldCounter&,
                                                      std::optional<unsigned>);
    std::map<uint64_t, uint64_t> lines_per_count_;
    uint64_t counted_ = 0;  // lines with content
    uint64_t lines_ = 0;
    uint64_t line_bytes_ = 0;
    uint64_t carets_ = 0;
    bool starts_with_cr_ = false;
    std::optional<uint64_t> first_line_fields_;
    void end_line();
};

// Judges the counted lines of a table: adds at most one blocking message, or names the field
// count in the description when none is expected. Gives the field count it settled on, none when
// the check failed.
std::optional<uint64_t> judge_table_fields(DeliveryUnit& unit, const TableFieldCounter& counter,
                                           std::optional<unsigned> expected_fields);

// Counts and judges a table's first 500 lines on disk as above; a failed read is a blocking
// message.
std::optional<uint64_t> check_table_fields(DeliveryUnit& unit, const UnitFile& file,
                                           std::optional<unsigned> expected_fields);

// Reads and checks a table unit the scan has filled in (key, description, folder, selection).
void check_table_unit(DeliveryUnit& unit, const std::string& name,
                      const std::filesystem::path& path, std::optional<unsigned> expected_fields,
                      State& state);

// Reads an other file into its unit: a failure or an empty file is a thing to check.
void check_other_file_unit(DeliveryUnit& unit, const std::string& name,
                           const std::filesystem::path& path, State& state);

// Selection and last-sent time of a unit from the State (include_once, include, core flag).
void apply_selection_and_last_sent(DeliveryUnit& unit, const State& state);

}  // namespace dalvento
