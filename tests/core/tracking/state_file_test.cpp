// The state file on disk: loading with its fall-backs, and saving.
#include "core/tracking/state_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "core/platform/platform.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using testing::IsolatedEnvironment;
using testing::read_file;
using testing::saved_state;
using testing::ScopedEnv;
using testing::write_file;

std::filesystem::path state_json(const IsolatedEnvironment& env) {
    return env.appdata() / "dalvento" / "state.json";
}

std::filesystem::path beside_state_json(const IsolatedEnvironment& env, std::string_view name) {
    return env.appdata() / "dalvento" / platform::path_from_text(name);
}

// The defaults as a load gives them: the sender filled in.
State loaded_defaults() {
    State s;
    s.sender = default_sender_name().value_or("");
    return s;
}

TEST(StateFile, LoadFallsBackToDefaultsWithTheSender) {
    IsolatedEnvironment env;
    ScopedEnv user("USERNAME", "tester");
    ASSERT_TRUE(default_sender_name().has_value());

    // No file at all: defaults, and nothing is copied aside.
    EXPECT_EQ(saved_state(), loaded_defaults());
    EXPECT_FALSE(std::filesystem::exists(env.appdata()));

    write_file(state_json(env), "{}");
    EXPECT_EQ(saved_state(), loaded_defaults());
    write_file(state_json(env), "{\"sender\": \"Ann \xFF\"}");
    EXPECT_EQ(saved_state(), loaded_defaults());
    write_file(state_json(env), R"({"layers_dirs": ["C:\\a"], "sender": "Ann", "sent_at": 1})");
    EXPECT_EQ(saved_state(), loaded_defaults());
}

TEST(StateFile, UnknownKeyIsGoneAfterTheNextSave) {
    IsolatedEnvironment env;
    write_file(state_json(env), R"({"theme": "dark", "sender": "Ann", "layers_dirs": ["C:\\m"]})");
    const State loaded = saved_state();
    EXPECT_EQ(loaded.sender, "Ann");
    EXPECT_EQ(loaded.layers_dirs, std::vector<std::string>{"C:\\m"});
    ASSERT_TRUE(StateFile().save(loaded).has_value());
    const std::string text = read_file(state_json(env));
    EXPECT_EQ(text, serialize_state(loaded));
    EXPECT_EQ(text.find("theme"), std::string::npos);
}

TEST(StateFile, UnreadableFileIsCopiedAsideBeforeTheNextSave) {
    IsolatedEnvironment env;
    ScopedEnv user("USERNAME", "tester");
    const auto path = state_json(env);
    const auto copy = beside_state_json(env, "state.json.unreadable");
    const std::string original =
        R"({"layers_dirs": ["C:\\exports\\map"], "sender": "Ann", "sent_at": {"OWNER": "yesterday"}})";
    write_file(path, original);
    write_file(copy, "an older copy");

    EXPECT_EQ(saved_state(), loaded_defaults());
    EXPECT_EQ(read_file(copy), original);
    EXPECT_EQ(read_file(path), original);  // loading never writes the state file

    State next;
    next.sender = "Bob";
    ASSERT_TRUE(StateFile().save(next).has_value());
    EXPECT_EQ(read_file(path), serialize_state(next));
    EXPECT_EQ(read_file(copy), original);

    // A good file is not copied again.
    EXPECT_EQ(saved_state(), next);
    EXPECT_EQ(read_file(copy), original);
}

TEST(StateFile, AFileThatCannotBeSetAsideIsNotSavedOver) {
    IsolatedEnvironment env;
    ScopedEnv user("USERNAME", "tester");
    const auto path = state_json(env);
    const auto copy = beside_state_json(env, "state.json.unreadable");
    const std::string original = R"({"sender": "Ann", "sent_at": {"OWNER": "yesterday"}})";
    write_file(path, original);
    write_file(copy / "in the way", "x");  // a folder where the copy would go

    StateFile file;
    EXPECT_EQ(file.load(), loaded_defaults());
    const auto saved = file.save(loaded_defaults());
    ASSERT_FALSE(saved.has_value());
    EXPECT_TRUE(saved.error().starts_with("Dalvento's settings file " + platform::path_text(path) +
                                          " isn't one it can read, and it couldn't be copied "
                                          "aside to " +
                                          platform::path_text(copy) + ": "))
        << saved.error();
    EXPECT_NE(saved.error().find(" (os error "), std::string::npos) << saved.error();
    EXPECT_EQ(read_file(path), original);

    // Once the copy can be made, the next start sets the file aside and saves as usual.
    std::filesystem::remove_all(copy);
    StateFile next;
    EXPECT_EQ(next.load(), loaded_defaults());
    EXPECT_EQ(read_file(copy), original);
    EXPECT_TRUE(next.save(loaded_defaults()).has_value());
}

TEST(StateFile, AFileThatCannotBeReadStopsTheStartAndIsLeftAlone) {
    IsolatedEnvironment env;
    const auto path = state_json(env);
    const std::string stop_end =
        ".\n\nClose any program that may be holding it (a backup or antivirus scan) and start "
        "Dalvento again. Nothing was changed.";
    // A folder in the file's place: it is there, and no system reads it as a file.
    std::filesystem::create_directories(path);
    StateFile file;
    const auto started = std::chrono::steady_clock::now();
    const auto loaded = file.load(std::chrono::milliseconds(300));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    ASSERT_FALSE(loaded.has_value());
    EXPECT_TRUE(loaded.error().starts_with("Dalvento couldn't read its settings file " +
                                           platform::path_text(path) + ": "))
        << loaded.error();
    EXPECT_TRUE(loaded.error().ends_with(stop_end)) << loaded.error();
    EXPECT_FALSE(file.save(State{}).has_value());
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_FALSE(std::filesystem::exists(beside_state_json(env, "state.json.unreadable")));
    EXPECT_FALSE(std::filesystem::exists(beside_state_json(env, "state.json.tmp")));

#ifdef _WIN32
    // Held open without sharing, as a backup or a virus scan may: read once it is let go within
    // the patience, and refused, untouched, when it is held for longer.
    std::filesystem::remove(path);
    const std::string kept = R"({"sender": "Ann"})";
    write_file(path, kept);
    const auto hold = [&] {
        return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread let_go([held] {
        Sleep(300);
        CloseHandle(held);
    });
    const auto waited = StateFile().load();
    let_go.join();
    ASSERT_TRUE(waited.has_value()) << waited.error();
    EXPECT_EQ(waited->sender, "Ann");

    held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    StateFile refused;
    const auto stopped = refused.load(std::chrono::milliseconds(200));
    CloseHandle(held);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_NE(stopped.error().find(" (os error 32)" + stop_end), std::string::npos)
        << stopped.error();
    EXPECT_FALSE(refused.save(State{}).has_value());
    EXPECT_EQ(read_file(path), kept);
#endif
}

TEST(StateFile, NulByteMakesTheFileUnreadable) {
    IsolatedEnvironment env;
    const std::string good = R"({"sender": "Ann"})";
    for (const std::string& text : {good + std::string(1, '\0'), good + std::string("\0{}", 3),
                                    std::string(R"({"sender": "A)") + '\0' + R"(nn"})"}) {
        EXPECT_FALSE(parse_state(text).has_value());
        write_file(state_json(env), text);
        EXPECT_EQ(saved_state(), loaded_defaults());
        EXPECT_EQ(read_file(beside_state_json(env, "state.json.unreadable")), text);
    }
}

TEST(StateFile, SavingTheTextTheFileHoldsWritesNothing) {
    IsolatedEnvironment env;
    const auto path = state_json(env);
    const auto temporary = beside_state_json(env, "state.json.tmp");
    // With a folder in the temporary file's place, any save that writes fails.
    const auto block_writes = [&] { std::filesystem::create_directories(temporary / "x"); };
    const auto allow_writes = [&] { std::filesystem::remove_all(temporary); };

    StateFile file;
    State s;
    s.sender = "Ann";
    ASSERT_TRUE(file.save(s).has_value());
    block_writes();
    EXPECT_TRUE(file.save(s).has_value()) << "the same text again writes nothing";
    EXPECT_FALSE(StateFile().save(s).has_value()) << "only to the file it last saw";
    s.sender = "Bob";
    EXPECT_FALSE(file.save(s).has_value()) << "a change goes through state.json.tmp";
    State ann;
    ann.sender = "Ann";
    EXPECT_EQ(read_file(path), serialize_state(ann));

    // The text read at load counts as well.
    allow_writes();
    write_file(path, serialize_state(s));
    const State loaded = file.load().value();
    block_writes();
    EXPECT_TRUE(file.save(loaded).has_value());

    // A file changed behind the program's back is written again, whatever it last saw.
    write_file(path, "{}");
    EXPECT_FALSE(file.save(loaded).has_value());
    allow_writes();
    ASSERT_TRUE(file.save(loaded).has_value());
    EXPECT_EQ(read_file(path), serialize_state(loaded));
}

TEST(StateFile, FailedSavesReportAndKeepWhatWasThere) {
    IsolatedEnvironment env;
    const auto path = state_json(env);
    const auto temporary = beside_state_json(env, "state.json.tmp");

    // The rename is refused: state.json is a folder with something in it.
    write_file(path / "keep.txt", "kept");
    State s;
    s.sender = "Ann";
    const auto refused = StateFile().save(s);
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().starts_with(platform::path_text(path) + ": ")) << refused.error();
    EXPECT_NE(refused.error().find(" (os error "), std::string::npos) << refused.error();
    EXPECT_EQ(read_file(temporary), serialize_state(s));
    EXPECT_EQ(read_file(path / "keep.txt"), "kept");

    // The folder cannot be made: APPDATA names a file.
    write_file(env.dir() / "not-a-folder", "x");
    ScopedEnv appdata("APPDATA", platform::path_text(env.dir() / "not-a-folder"));
    const auto no_folder = StateFile().save(s);
    ASSERT_FALSE(no_folder.has_value());
    EXPECT_TRUE(no_folder.error().starts_with(platform::path_text(state_file_path().parent_path())))
        << no_folder.error();
    EXPECT_EQ(read_file(env.dir() / "not-a-folder"), "x");
}

}  // namespace
}  // namespace dalvento
