// Helpers shared by the tests: a fresh folder per test, pinned environment and time zone, and
// small file utilities.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"

namespace dalvento::testing {

// A fresh, empty folder removed again at the end of the test.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const;

  private:
    std::filesystem::path path_;
};

// Sets (or unsets) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points APPDATA, HOME, LOCALAPPDATA and TEMP into a temporary folder and pins the time zone to
// five hours west of UTC without daylight saving ("EST5"), for the life of the object.
class IsolatedEnvironment {
  public:
    IsolatedEnvironment();
    ~IsolatedEnvironment();
    const TempDir& dir() const { return dir_; }
    std::filesystem::path appdata() const { return dir_ / "appdata"; }

  private:
    TempDir dir_;
    ScopedEnv appdata_, home_, localappdata_, temp_;
};

// Writes bytes to a file, creating its folders.
void write_file(const std::filesystem::path& path, std::string_view content);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The instant a local date and time names (in the pinned time zone).
Time local_time(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);

// Sets a file's last-write time.
void set_modified(const std::filesystem::path& path, Time time);

// A found, selected unit made of these files; its total is theirs.
DeliveryUnit unit_of_files(std::string key, UnitKind kind, bool core, std::vector<UnitFile> files);

// A sound member of a shapefile set of polygons that holds no shapes: the .shp or .shx header, or
// a .dbf with no fields and no records (extension "shp", "shx" or "dbf").
std::string empty_layer_member(std::string_view extension);

// The state file as a new start would load it; a file that cannot be read fails the test.
State saved_state();

// The path as UTF-8 text.
std::string text(const std::filesystem::path& path);

}  // namespace dalvento::testing
