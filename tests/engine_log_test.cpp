#include "engine_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "log_limit.h"
#include "log_place.h"
#include "system_journal.h"
#include "test_support.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::temp_dir;
using test_support::wait_until;

namespace {

// Named like the engine function whose message the format check uses.
void tun_reader() {
    QN_ERROR("ReadFile failed: {0}.", 87);
}

class EngineLogTest : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("SPDLOG_LEVEL"); }
    void TearDown() override { unsetenv("SPDLOG_LEVEL"); }

    fs::path log_path() const { return dir_.path() / "quarnel.log"; }

    // Logs a marker after the lines under test and waits until the worker wrote it.
    std::string settle() {
        static int counter = 0;
        std::string marker = "settle-" + std::to_string(++counter);
        QN_ERROR("{}", marker);
        EXPECT_TRUE(
            wait_until([&] { return read_file(log_path()).find(marker) != std::string::npos; }));
        return read_file(log_path());
    }

    temp_dir dir_;
};

mode_t mode_of(const fs::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(EngineLogTest, LineCarriesLevelTimeFileLineAndFunction) {
    engine_log::setup_with_file(log_path().string());
    tun_reader();
    std::string content = settle();
    std::regex line(
        R"(\[error\]  \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d{3}\]  \[engine_log_test\.cpp : Line: \d+\]  \[Function: tun_reader\]  ReadFile failed: 87\.\n)");
    EXPECT_TRUE(std::regex_search(content, line)) << content;
    EXPECT_EQ(spdlog::default_logger()->name(), "mervik_qn_logger");
}

TEST_F(EngineLogTest, InfoLevelUnlessTheEnvironmentSaysOtherwise) {
    engine_log::setup_with_file(log_path().string());
    QN_DEBUG("hidden debug line");
    QN_INFO("visible info line");
    QN_WARN("visible warn line");
    std::string content = settle();
    EXPECT_EQ(content.find("hidden debug line"), std::string::npos);
    EXPECT_NE(content.find("[info]  "), std::string::npos);
    EXPECT_NE(content.find("[warning]  "), std::string::npos);

    setenv("SPDLOG_LEVEL", "debug", 1);
    engine_log::setup_with_file(log_path().string());
    QN_DEBUG("shown debug line");
    content = settle();
    EXPECT_NE(content.find("[debug]  "), std::string::npos);
    EXPECT_NE(content.find("shown debug line"), std::string::npos);

    // Named form of the level syntax can lower the level too.
    setenv("SPDLOG_LEVEL", "mervik_qn_logger=error", 1);
    engine_log::setup_with_file(log_path().string());
    QN_WARN("suppressed warn line");
    content = settle();
    EXPECT_EQ(content.find("suppressed warn line"), std::string::npos);
}

TEST_F(EngineLogTest, SuccessiveSetupsAppendToTheSameFile) {
    engine_log::setup_with_file(log_path().string());
    QN_INFO("first session");
    settle();
    engine_log::setup_with_file(log_path().string());
    QN_INFO("second session");
    std::string content = settle();
    EXPECT_NE(content.find("first session"), std::string::npos);
    EXPECT_NE(content.find("second session"), std::string::npos);
}

TEST_F(EngineLogTest, RotatesAtHalfAMebibyteKeepingOneBackupBothPrivate) {
    // The files' mode is their own, not what the umask leaves.
    const mode_t umask_before = umask(022);
    // A link planted at the backup's name is replaced, not written through.
    temp_dir elsewhere;
    const fs::path target = elsewhere.path() / "target";
    std::ofstream(target) << "untouched";
    fs::create_symlink(target, dir_.path() / "quarnel.1.log");
    engine_log::setup_with_file(log_path().string());
    QN_INFO("oldest-content-marker");
    const std::string filler(1000, 'x');
    // Enough for two rotations: the oldest content must be gone afterwards. The console
    // copy of the filler is kept out of the test output.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1200; ++i) {
        QN_INFO("{}", filler);
    }
    settle();
    testing::internal::GetCapturedStdout();
    fs::path backup = dir_.path() / "quarnel.1.log";
    ASSERT_TRUE(fs::exists(backup));
    EXPECT_FALSE(fs::exists(dir_.path() / "quarnel.2.log"));
    EXPECT_LE(fs::file_size(log_path()), 524288u);
    EXPECT_LE(fs::file_size(backup), 524288u);
    EXPECT_GT(fs::file_size(backup), 500000u);
    EXPECT_EQ(read_file(log_path()).find("oldest-content-marker"), std::string::npos);
    EXPECT_EQ(read_file(backup).find("oldest-content-marker"), std::string::npos);
    size_t files = std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator());
    EXPECT_EQ(files, 2u);
    umask(umask_before);
    EXPECT_EQ(read_file(target), "untouched");
    EXPECT_FALSE(fs::is_symlink(backup));
    // The first file and the one the rotation started.
    EXPECT_EQ(mode_of(backup), 0600u);
    EXPECT_EQ(mode_of(log_path()), 0600u);
}

// Root appends to the file: nobody else may have a say in what it is.
TEST_F(EngineLogTest, APlaceAnotherUserCouldRedirectLeavesTheConsoleAndSaysWhy) {
    temp_dir elsewhere;
    const fs::path target = elsewhere.path() / "target";
    std::ofstream(target) << "untouched";
    const struct {
        const char* name;
        std::function<void(const fs::path& dir)> plant;
        std::string why;
    } places[] = {
        {"a link at the name",
         [&](const fs::path& dir) { fs::create_symlink(target, dir / "quarnel.log"); },
         "it is a symbolic link"},
        {"another user's file",
         [](const fs::path& dir) {
             std::ofstream(dir / "quarnel.log") << "x";
             ASSERT_EQ(chown((dir / "quarnel.log").c_str(), 4242, 4242), 0);
         },
         "it belongs to uid 4242"},
        {"a directory its group may write",
         [](const fs::path& dir) { ASSERT_EQ(chmod(dir.c_str(), 0770), 0); },
         "its directory is writable by group or others"},
        {"a sticky directory anyone may write",
         [](const fs::path& dir) { ASSERT_EQ(chmod(dir.c_str(), 01777), 0); },
         "its directory is writable by group or others"},
        {"another user's directory",
         [](const fs::path& dir) { ASSERT_EQ(chown(dir.c_str(), 4242, 4242), 0); },
         "its directory belongs to uid 4242"},
        {"a file where the directory should be",
         [](const fs::path& dir) {
             fs::remove(dir);
             std::ofstream(dir) << "x";
         },
         "Not a directory"},
        // Opening it for writing would wait for a reader.
        {"a FIFO at the name",
         [](const fs::path& dir) { ASSERT_EQ(mkfifo((dir / "quarnel.log").c_str(), 0600), 0); },
         "it is not a regular file"},
    };
    for (const auto& place : places) {
        SCOPED_TRACE(place.name);
        temp_dir parent;
        const fs::path dir = parent.path() / "place";
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::owner_all);
        place.plant(dir);
        const std::string path = (dir / "quarnel.log").string();

        testing::internal::CaptureStdout();
        engine_log::setup_with_file(path);
        const size_t sinks = spdlog::default_logger()->sinks().size();
        QN_ERROR("still logging {}", 42);
        // Ends the worker of the refused set-up once it has written its lines.
        engine_log::setup_with_file(std::string());
        const std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(sinks, 1u);
        EXPECT_NE(out.find("Cannot open log file " + path + ": " + place.why), std::string::npos)
            << out;
        EXPECT_NE(out.find("still logging 42"), std::string::npos) << out;
        EXPECT_EQ(read_file(target), "untouched");
    }
}

// Installed, the engine writes nothing in /usr: root's log has a directory of its own.
TEST(EngineLogPlace, ProgramsUnderUsrLogInVarLogAllOthersBesideThemselves) {
    const struct {
        const char* program_directory;
        const char* directory;
        bool system_directory;
    } cases[] = {
        {"/usr/bin", "/var/log/quarnel", true},
        {"/usr/lib/lumar", "/var/log/quarnel", true},
        {"/usr/sbin", "/var/log/quarnel", true},
        {"/usr/local/bin", "/var/log/quarnel", true},
        {"/usr", "/var/log/quarnel", true},
        {"/usrlocal/bin", "/usrlocal/bin", false},
        {"/home/user/usr/bin", "/home/user/usr/bin", false},
        {"/opt/lumar", "/opt/lumar", false},
        {"/work/build/Corvel_Web", "/work/build/Corvel_Web", false},
        {"C:\\Program Files\\lumar", "C:\\Program Files\\lumar", false},
    };
    for (const auto& c : cases) {
        const log_place place = log_place_for(c.program_directory);
        EXPECT_EQ(place.directory, c.directory) << c.program_directory;
        EXPECT_EQ(place.system_directory, c.system_directory) << c.program_directory;
    }
}

// Named like the worker whose line a junk datagram causes.
void udp_receiver() {
    QN_ERROR_LIMITED("Error packet type.");
}

// A flood of lines anyone can cause leaves a few of them and what came before; each place in
// the code has a limit of its own, and a new session starts them afresh.
TEST_F(EngineLogTest, LinesOthersCanCauseAreLimitedPerPlaceAndKeepTheEarlierOnes) {
    engine_log::setup_with_file(log_path().string());
    engine_log::reset_line_limits();
    QN_ERROR("earlier error");
    const std::string before = settle();
    for (int i = 0; i < 100000; ++i) {
        udp_receiver();
        if (i < 10) {
            QN_WARN_LIMITED("other kind {}", i);
        }
    }
    std::string content = settle();
    EXPECT_EQ(content.compare(0, before.size(), before), 0) << "earlier lines lost";
    EXPECT_LT(content.size() - before.size(), 1500u) << content;
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = content.find(text); at != std::string::npos;
             at = content.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("[Function: udp_receiver]  Error packet type."), 3u) << content;
    EXPECT_EQ(count("Error packet type. (more like this: at most one line a minute)\n"), 1u);
    EXPECT_EQ(count("other kind "), 3u);
    EXPECT_EQ(count("other kind 3"), 0u);

    engine_log::reset_line_limits();
    udp_receiver();
    content = settle();
    EXPECT_EQ(count("[Function: udp_receiver]  Error packet type."), 4u);
}

// The same limit over minutes, on a clock of the test's own.
TEST(LineLimitTest, FirstFewThenOneLineAMinuteWithTheCountUntilAQuietMinute) {
    using namespace std::chrono;
    engine_log::line_limit limit;
    const auto t0 = engine_log::line_limit::clock::time_point{} + hours(1);
    struct step {
        seconds at;
        int repeat;
        bool written;
        uint64_t left_out;
        bool burst_ends;
    };
    const step steps[] = {
        {seconds(0), 1, true, 0, false},    {seconds(1), 1, true, 0, false},
        {seconds(2), 1, true, 0, true},     {seconds(3), 500, false, 0, false},
        {seconds(61), 1, true, 500, false},  // a new minute: one line, with the count
        {seconds(62), 7, false, 0, false},  {seconds(121), 1, true, 7, false},
        {seconds(300), 1, true, 0, false},  // a quiet minute since: the first few again
        {seconds(301), 1, true, 0, false},  {seconds(302), 1, true, 0, true},
        {seconds(303), 1, false, 0, false},
    };
    for (const step& s : steps) {
        engine_log::line_limit::verdict v;
        for (int i = 0; i < s.repeat; ++i) {
            v = limit.admit(t0 + s.at);
        }
        SCOPED_TRACE(s.at.count());
        EXPECT_EQ(v.write, s.written);
        if (s.written) {
            EXPECT_EQ(v.left_out, s.left_out);
            EXPECT_EQ(v.burst_ends, s.burst_ends);
        }
    }
    engine_log::reset_line_limits();
    EXPECT_EQ(limit.admit(t0 + seconds(304)).write, true);
}

}  // namespace

// Under systemd the engine's lines stay in the journal that standard output goes to, the
// service's in the one its standard error goes to.
TEST(SystemJournalTest, OnlyAStreamNamingTheProgramsOwnOutputCounts) {
    for (const auto& [fd, is_journal] :
         std::vector<std::pair<int, bool (*)()>>{{STDOUT_FILENO, stdout_is_system_journal},
                                                 {STDERR_FILENO, stderr_is_system_journal}}) {
        struct stat st {};
        ASSERT_EQ(fstat(fd, &st), 0);
        const std::string own = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
        for (const auto& [value, expected] :
             std::vector<std::pair<const char*, bool>>{{nullptr, false},
                                                       {own.c_str(), true},
                                                       {other.c_str(), false},
                                                       {"journal", false}}) {
            if (value != nullptr) {
                setenv("JOURNAL_STREAM", value, 1);
            } else {
                unsetenv("JOURNAL_STREAM");
            }
            EXPECT_EQ(is_journal(), expected) << "fd " << fd << ": " << (value ? value : "unset");
        }
    }
    unsetenv("JOURNAL_STREAM");
}
