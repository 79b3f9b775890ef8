#include "core/tracking/state.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/platform/platform.h"
#include "core/tracking/state_file.h"
#include "county/text.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using testing::IsolatedEnvironment;
using testing::read_file;
using testing::saved_state;
using testing::ScopedEnv;
using testing::write_file;

#ifdef _WIN32
constexpr const char* SEP = "\\";
#else
constexpr const char* SEP = "/";
#endif

const std::string HASH_A = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string HASH_B = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string HASH_C = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

// Every field set, Windows paths, text outside ASCII and keys whose byte order differs from a
// case-blind order.
State full_state() {
    State s;
    s.layers_dirs = {"C:\\exports\\map",
                     "D:\\Daten\\Karte S\xC3\xBC"
                     "d"};
    s.tables_dirs = {"C:\\exports\\tables"};
    s.other_dirs = {"\\\\server\\share\\extra"};
    s.layers_dir = "C:\\old\\map";
    s.tables_dir = "C:\\old\\tables";
    s.other_dir = "C:\\old\\other";
    s.forgotten = {{"other:notes.pdf", true}, {"other:draft.xlsx", false}};
    s.include = {{"alpha", true}, {"Zeta", false}, {"\xC3\x84rger", true}};
    s.sent_hash = {{"OWNER", HASH_A}};
    s.sent_at = {{"OWNER", 1772737620}, {"tblRESales", -1}};
    s.last_sent_at = "2026-03-05 14:07";
    s.sender = "Zo\xC3\xAB \"Z\" M\xC3\xBCller";
    s.tax_year = "2026 roll\tfinal\n";
    s.out_dir = "E:\\";
    s.token_protected = "01000000d08c9ddf0115d1118c7a00c04fc297eb";
    s.host = "https://127.0.0.1:8443";
    s.hash_cache = {
        {"C:\\exports\\map\\OWNER.shp", {18446744073709551615ULL, 1772737620123, HASH_B}},
        {"D:\\Daten\\Karte S\xC3\xBC"
         "d\\OWNER.dbf",
         {0, 0, HASH_C}},
    };
    s.paths = {{"OWNER.shp", "C:\\gis\\OWNER.shp"}};
    s.include_once = {{"OWNER", false}};
    return s;
}

const char* const FULL_STATE_TEXT = R"json({
  "layers_dirs": [
    "C:\\exports\\map",
    "D:\\Daten\\Karte Süd"
  ],
  "tables_dirs": [
    "C:\\exports\\tables"
  ],
  "other_dirs": [
    "\\\\server\\share\\extra"
  ],
  "layers_dir": "C:\\old\\map",
  "tables_dir": "C:\\old\\tables",
  "other_dir": "C:\\old\\other",
  "forgotten": {
    "other:draft.xlsx": false,
    "other:notes.pdf": true
  },
  "include": {
    "Zeta": false,
    "alpha": true,
    "Ärger": true
  },
  "sent_hash": {
    "OWNER": "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"
  },
  "sent_at": {
    "OWNER": 1772737620,
    "tblRESales": -1
  },
  "last_sent_at": "2026-03-05 14:07",
  "sender": "Zoë \"Z\" Müller",
  "tax_year": "2026 roll\tfinal\n",
  "out_dir": "E:\\",
  "token_protected": "01000000d08c9ddf0115d1118c7a00c04fc297eb",
  "host": "https://127.0.0.1:8443",
  "hash_cache": {
    "C:\\exports\\map\\OWNER.shp": {
      "size": 18446744073709551615,
      "modified_ms": 1772737620123,
      "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    },
    "D:\\Daten\\Karte Süd\\OWNER.dbf": {
      "size": 0,
      "modified_ms": 0,
      "sha256": "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"
    }
  },
  "paths": {
    "OWNER.shp": "C:\\gis\\OWNER.shp"
  }
})json";

const char* const DEFAULT_STATE_TEXT = R"json({
  "layers_dirs": [],
  "tables_dirs": [],
  "other_dirs": [],
  "forgotten": {},
  "include": {},
  "sent_hash": {},
  "sent_at": {},
  "last_sent_at": null,
  "sender": "",
  "tax_year": "",
  "out_dir": null,
  "hash_cache": {}
})json";

TEST(StateFile, SavesTheExactText) {
    IsolatedEnvironment env;
    EXPECT_EQ(serialize_state(full_state()), FULL_STATE_TEXT);
    EXPECT_EQ(serialize_state(State{}), DEFAULT_STATE_TEXT);

    // The first save creates the folders; the file holds exactly the text, no newline at the end.
    ASSERT_FALSE(std::filesystem::exists(env.appdata()));
    const auto saved = StateFile().save(full_state());
    ASSERT_TRUE(saved.has_value()) << saved.error();
    EXPECT_EQ(read_file(state_file_path()), FULL_STATE_TEXT);
    EXPECT_FALSE(std::filesystem::exists(state_file_path().parent_path() / "state.json.tmp"));
    ASSERT_TRUE(StateFile().save(State{}).has_value());
    EXPECT_EQ(read_file(state_file_path()), DEFAULT_STATE_TEXT);
}

TEST(StateFile, InvalidTextIsWrittenReplacedAndKeysStayUnique) {
    State s;
    s.sender = "Ann \xFF";
    s.include = {{"a\xFE", true}, {"a\xFF", false}};
    const std::string text = serialize_state(s);
    EXPECT_NE(text.find("\"sender\": \"Ann \xEF\xBF\xBD\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"include\": {\n    \"a\xEF\xBF\xBD\": true\n  }"), std::string::npos)
        << text;
    const auto back = parse_state(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->include.size(), 1u);
}

TEST(StateFile, RoundTripsThroughTheFile) {
    IsolatedEnvironment env;
    State s = full_state();
    // Older-layout fields are folded away at load, and include_once is never saved.
    s.layers_dir.reset();
    s.tables_dir.reset();
    s.other_dir.reset();
    s.paths.clear();
    ASSERT_TRUE(StateFile().save(s).has_value());
    State expected = s;
    expected.include_once.clear();
    EXPECT_EQ(saved_state(), expected);

    // Absent optional values come back absent.
    State sparse;
    sparse.sender = "Ann";
    sparse.sent_at = {{"OWNER", std::numeric_limits<int64_t>::min()}};
    ASSERT_TRUE(StateFile().save(sparse).has_value());
    EXPECT_EQ(saved_state(), sparse);
    EXPECT_FALSE(std::filesystem::exists(state_file_path().parent_path() / "state.json.unreadable"));
}

TEST(StateFile, StrictParseRejectsTheWholeFile) {
    const char* const rejected[] = {
        // a key given twice, at any level
        R"({"sender": "a", "sender": "b"})",
        R"({"hash_cache": {"p": {"size": 1, "modified_ms": 2, "sha256": "x", "size": 1}}})",
        R"({"include": {"A": true, "A": true}})", R"({"theme": [1, {"deep": {"k": 1, "k": 2}}]})",
        // a value of the wrong type
        R"({"sent_at": {"OWNER": "2026-03-05"}})", R"({"sent_at": {"OWNER": 9223372036854775808}})",
        R"({"sent_at": {"OWNER": 1.5}})",
        R"({"hash_cache": {"p": {"size": -1, "modified_ms": 2, "sha256": "x"}}})",
        R"({"hash_cache": {"p": {"size": 1.0, "modified_ms": 2, "sha256": "x"}}})",
        R"({"hash_cache": {"p": {"size": 18446744073709551616, "modified_ms": 2, "sha256": "x"}}})",
        R"({"hash_cache": {"p": {"size": 1, "modified_ms": 2, "sha256": null}}})",
        R"({"hash_cache": {"p": "abc"}})", R"({"hash_cache": []})", R"({"include": {"OWNER": 1}})",
        R"({"forgotten": {"x": "true"}})", R"({"sent_hash": {"OWNER": null}})",
        R"({"layers_dirs": null})", R"({"layers_dirs": "C:\\exports"})",
        R"({"tables_dirs": ["C:\\a", 1]})", R"({"sender": null})", R"({"tax_year": 2026})",
        R"({"out_dir": 5})", R"({"host": false})", R"({"layers_dir": ["C:\\a"]})",
        R"({"paths": {"OWNER.shp": 1}})",
        // a cache entry missing one of its keys
        R"({"hash_cache": {"p": {"modified_ms": 2, "sha256": "x"}}})",
        R"({"hash_cache": {"p": {"size": 1, "sha256": "x"}}})",
        R"({"hash_cache": {"p": {"size": 1, "modified_ms": 2}}})",
        // trailing text, broken or no JSON, comments
        R"({} x)", R"({}{})", R"({},)", R"({"sender": "a")", R"({"sender": "a",})",
        R"({/* note */})", "", "   ",
        // not an object
        "[]", R"("text")", "null", "42",
        // not UTF-8
        "{\"sender\": \"Ann \xFF\"}", "{\"sender\": \"Ann\"}\xFF",
        "{\"sender\": \"\xED\xA0\x80\"}",  // an encoded surrogate
    };
    for (const char* text : rejected) {
        EXPECT_FALSE(parse_state(text).has_value()) << text;
    }
}

TEST(StateFile, StrictParseAcceptsWhatTheFormatAllows) {
    // null in any optional text is absent; unknown keys at any level are skipped; the same key
    // in different objects is no repeat; signed times may be negative; trailing white space.
    const auto parsed = parse_state(
        "{\"layers_dir\": null, \"tables_dir\": null, \"other_dir\": null,"
        " \"last_sent_at\": null, \"out_dir\": null, \"token_protected\": null, \"host\": null,"
        " \"theme\": {\"sender\": 1, \"x\": [{\"a\": 1}, {\"a\": 2}]},"
        " \"include\": {\"A\": true}, \"forgotten\": {\"A\": false},"
        " \"sent_at\": {\"A\": -5},"
        " \"hash_cache\": {\"p\": {\"size\": 7, \"modified_ms\": -1000, \"sha256\": \"x\","
        " \"note\": \"?\"}, \"q\": {\"sha256\": \"y\", \"modified_ms\": 1, \"size\": 2}}"
        "} \r\n\t");
    ASSERT_TRUE(parsed.has_value());
    State expected;
    expected.include = {{"A", true}};
    expected.forgotten = {{"A", false}};
    expected.sent_at = {{"A", -5}};
    expected.hash_cache = {{"p", {7, -1000, "x"}}, {"q", {2, 1, "y"}}};
    EXPECT_EQ(*parsed, expected);

    // Deep nesting under an unknown key neither crashes nor blocks the rest.
    const std::string deep = "{\"theme\": " + std::string(100000, '[') + std::string(100000, ']') +
                             ", \"sender\": \"Ann\"}";
    const auto nested = parse_state(deep);
    ASSERT_TRUE(nested.has_value());
    EXPECT_EQ(nested->sender, "Ann");

    // A byte-order mark, as Notepad may leave after a hand edit, is not a reason to lose the file.
    const auto marked = parse_state("\xEF\xBB\xBF{\"sender\": \"Ann\"}");
    ASSERT_TRUE(marked.has_value());
    EXPECT_EQ(marked->sender, "Ann");
}

TEST(StateFile, OlderLayoutPathsGiveTheFolders) {
    IsolatedEnvironment env;
    // The sales table stands in when the property table has no entry.
    write_file(state_file_path(), R"({"sender": "Ann", "paths": {
        "OWNER.shp": "C:\\gis\\OWNER.shp", "tblRESales.txt": "D:\\data\\tblRESales.txt"}})");
    const State loaded = saved_state();
    EXPECT_EQ(loaded.layers_dirs, std::vector<std::string>{"C:\\gis"});
    EXPECT_EQ(loaded.tables_dirs, std::vector<std::string>{"D:\\data"});
    EXPECT_TRUE(loaded.paths.empty());
    EXPECT_FALSE(loaded.layers_dir || loaded.tables_dir || loaded.other_dir);
    ASSERT_TRUE(StateFile().save(loaded).has_value());
    const std::string text = read_file(state_file_path());
    EXPECT_EQ(text.find("\"paths\""), std::string::npos);
    EXPECT_EQ(text.find("\"layers_dir\""), std::string::npos);
    EXPECT_EQ(text.find("\"tables_dir\""), std::string::npos);

    const auto migrated = [](std::map<std::string, std::string> paths) {
        State s;
        s.sender = "Ann";
        s.paths = std::move(paths);
        apply_load_fixups(s);
        EXPECT_TRUE(s.paths.empty());
        return std::pair(s.layers_dirs, s.tables_dirs);
    };
    using Folders = std::vector<std::string>;
    // The property table wins over the sales table; one without a folder falls through.
    EXPECT_EQ(migrated({{"tblREProperty.txt", "E:\\p\\tblREProperty.txt"},
                        {"tblRESales.txt", "D:\\s\\tblRESales.txt"}}),
              std::pair(Folders{}, Folders{"E:\\p"}));
    EXPECT_EQ(migrated({{"tblREProperty.txt", "tblREProperty.txt"},
                        {"tblRESales.txt", "D:\\s\\tblRESales.txt"}}),
              std::pair(Folders{}, Folders{"D:\\s"}));
    // Roots, forward slashes, network shares, doubled separators, names matched exactly.
    EXPECT_EQ(migrated({{"OWNER.shp", "C:\\OWNER.shp"}}), std::pair(Folders{"C:\\"}, Folders{}));
    EXPECT_EQ(migrated({{"OWNER.shp", "/srv/gis/OWNER.shp"}}),
              std::pair(Folders{"/srv/gis"}, Folders{}));
    EXPECT_EQ(migrated({{"OWNER.shp", "\\\\server\\share\\OWNER.shp"}}),
              std::pair(Folders{"\\\\server\\share"}, Folders{}));
    EXPECT_EQ(migrated({{"OWNER.shp", "C:\\gis\\\\OWNER.shp"}}),
              std::pair(Folders{"C:\\gis"}, Folders{}));
    EXPECT_EQ(migrated({{"OWNER.shp", "OWNER.shp"}, {"owner.shp", "C:\\x\\owner.shp"}}),
              std::pair(Folders{}, Folders{}));

    // Folders already known are not overridden, but paths is still consumed.
    State s;
    s.layers_dirs = {"C:\\current"};
    s.tables_dir = "D:\\single";
    s.paths = {{"OWNER.shp", "C:\\gis\\OWNER.shp"}, {"tblRESales.txt", "D:\\s\\tblRESales.txt"}};
    apply_load_fixups(s);
    EXPECT_EQ(s.layers_dirs, Folders{"C:\\current"});
    EXPECT_EQ(s.tables_dirs, Folders{"D:\\single"});
    EXPECT_TRUE(s.paths.empty());
}

TEST(StateFile, OlderLayoutSingleFoldersJoinTheLists) {
    State s;
    s.sender = "Ann";
    s.layers_dir = "C:\\exports\\map";
    s.tables_dirs = {"C:\\t1", "C:\\t2"};
    s.tables_dir = "C:\\t2";  // held exactly: dropped
    s.other_dirs = {"C:\\Other"};
    s.other_dir = "C:\\other";  // differs in case only: the comparison here is exact
    apply_load_fixups(s);
    EXPECT_EQ(s.layers_dirs, std::vector<std::string>{"C:\\exports\\map"});
    EXPECT_EQ(s.tables_dirs, (std::vector<std::string>{"C:\\t1", "C:\\t2"}));
    EXPECT_EQ(s.other_dirs, (std::vector<std::string>{"C:\\Other", "C:\\other"}));
    EXPECT_FALSE(s.layers_dir || s.tables_dir || s.other_dir);
    const std::string text = serialize_state(s);
    for (const char* key : {"\"layers_dir\"", "\"tables_dir\"", "\"other_dir\""}) {
        EXPECT_EQ(text.find(key), std::string::npos) << text;
    }
}

TEST(StateFile, SenderIsFilledWhenBlank) {
    ScopedEnv user("USERNAME", "  Ann Tester \t");
    // The account's display name comes first where the system has one; USERNAME otherwise.
    const auto display = platform::user_display_name();
    const bool has_display = display && !trim(*display).empty();
    const std::string expected = has_display ? trim(*display) : "Ann Tester";
    EXPECT_EQ(default_sender_name(), expected);

    State s;
    s.sender = "   ";
    apply_load_fixups(s);
    EXPECT_EQ(s.sender, expected);
    s.sender = " Bob ";
    apply_load_fixups(s);
    EXPECT_EQ(s.sender, " Bob ");

    {
        ScopedEnv blank("USERNAME", "   ");
        EXPECT_EQ(default_sender_name(), has_display ? std::optional(expected) : std::nullopt);
        s.sender = "";
        apply_load_fixups(s);
        EXPECT_EQ(s.sender, has_display ? expected : "");
    }
}

TEST(StateFile, PathFollowsTheEnvironment) {
    {
        ScopedEnv appdata("APPDATA", "C:\\Users\\ann\\AppData\\Roaming");
        ScopedEnv home("HOME", "C:\\Users\\ann");
        EXPECT_EQ(platform::path_text(state_file_path()),
                  std::string("C:\\Users\\ann\\AppData\\Roaming") + SEP + "dalvento" + SEP +
                      "state.json");
    }
    {
        ScopedEnv appdata("APPDATA", std::nullopt);
        ScopedEnv home("HOME", "C:\\Users\\ann");
        EXPECT_EQ(platform::path_text(state_file_path()), std::string("C:\\Users\\ann") + SEP +
                                                              ".config" + SEP + "dalvento" + SEP +
                                                              "state.json");
    }
    {
        ScopedEnv appdata("APPDATA", std::nullopt);
        ScopedEnv home("HOME", std::nullopt);
        EXPECT_EQ(platform::path_text(state_file_path()),
                  std::string(".") + SEP + "dalvento" + SEP + "state.json");
    }
}

TEST(StateFile, AddSourceFolderIgnoresAsciiCase) {
    State s;
    EXPECT_TRUE(add_source_folder(s, SourceList::layers, "C:\\Exports\\Map"));
    EXPECT_FALSE(add_source_folder(s, SourceList::layers, "c:\\exports\\MAP"));
    EXPECT_TRUE(add_source_folder(s, SourceList::layers, "C:\\Exports\\Map2"));
    // Other letters than ASCII keep their case.
    EXPECT_TRUE(add_source_folder(s, SourceList::layers, "C:\\\xC3\x89t\xC3\xA9"));
    EXPECT_TRUE(add_source_folder(s, SourceList::layers, "C:\\\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(s.layers_dirs,
              (std::vector<std::string>{"C:\\Exports\\Map", "C:\\Exports\\Map2",
                                        "C:\\\xC3\x89t\xC3\xA9", "C:\\\xC3\xA9t\xC3\xA9"}));
    // Each list is its own.
    EXPECT_TRUE(add_source_folder(s, SourceList::tables, "c:\\exports\\map"));
    EXPECT_TRUE(add_source_folder(s, SourceList::other, "C:\\EXPORTS\\MAP"));
    EXPECT_FALSE(add_source_folder(s, SourceList::other, "c:\\exports\\map"));
    EXPECT_EQ(s.tables_dirs, std::vector<std::string>{"c:\\exports\\map"});
    EXPECT_EQ(s.other_dirs, std::vector<std::string>{"C:\\EXPORTS\\MAP"});
}

TEST(StateFile, ResetSettingsKeepsTokenHostForgottenAndCache) {
    ScopedEnv user("USERNAME", "tester");
    State s = full_state();
    reset_settings(s);

    State expected = full_state();
    expected.layers_dirs.clear();
    expected.tables_dirs.clear();
    expected.other_dirs.clear();
    expected.include.clear();
    expected.include_once.clear();
    expected.sender = default_sender_name().value_or("");
    expected.tax_year.clear();
    expected.out_dir.reset();
    expected.sent_hash.clear();
    expected.sent_at.clear();
    expected.last_sent_at.reset();
    EXPECT_EQ(s, expected);
    EXPECT_FALSE(s.sender.empty());
    EXPECT_EQ(s.token_protected, full_state().token_protected);
    EXPECT_EQ(s.hash_cache.size(), 2u);
}

}  // namespace
}  // namespace dalvento
