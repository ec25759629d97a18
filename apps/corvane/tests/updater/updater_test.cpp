#include "updater/updater.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using corvane::test::TempDir;
using corvane::test::write_file;

}  // namespace

TEST(UpdaterDataDir, IsProgramDataActualizacionAndCreated) {
    TempDir dir;
    auto folder = corvane::updater_data_dir(dir.path());
    EXPECT_EQ(folder, dir.path() / "data" / "actualizacion");
    EXPECT_TRUE(fs::is_directory(folder));
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Where it cannot be made, the path still comes back.
    write_file(dir.path() / "archivo", "x");
    EXPECT_EQ(corvane::updater_data_dir(dir.path() / "archivo"),
              dir.path() / "archivo" / "data" / "actualizacion");
}

TEST(UpdaterLastCheck, FileContentsTable) {
    TempDir dir;
    struct Case {
        std::string text;
        std::uint64_t want;
    } cases[] = {
        {" 1700000000\r\n", 1700000000},
        {"+5", 5},
        {"\xe2\x80\x83"
         "42\xc2\xa0",
         42},  // Unicode white space around it
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", 0},
        {"123456789012345678901", 0},
        {"-5", 0},
        {"12a", 0},
        {"1 2", 0},
        {"++5", 0},
        {"+", 0},
        {"", 0},
        {" \r\n", 0},
        {"\xff"
         "12",
         0},
        // Only a short file is read: white space around the time up to 4 KiB.
        {std::string(4000, ' ') + "77" + std::string(94, '\n'), 77},
        {std::string(4000, ' ') + "77" + std::string(95, '\n'), 0},
    };
    for (const auto& c : cases) {
        write_file(dir.path() / "ultima_busqueda.txt", c.text);
        EXPECT_EQ(corvane::updater_read_last_check(dir.path()), c.want) << '"' << c.text << '"';
    }
    fs::remove(dir.path() / "ultima_busqueda.txt");
    EXPECT_EQ(corvane::updater_read_last_check(dir.path()), 0u);
    fs::create_directory(dir.path() / "ultima_busqueda.txt");
    EXPECT_EQ(corvane::updater_read_last_check(dir.path()), 0u);
}

TEST(UpdaterRemoveOldExe, DeletesAfterThePauseAndGivesUpOnAFolder) {
    TempDir dir;
    const auto exe = dir.path() / "corvane";
    write_file(exe, "binario");
    corvane::updater_remove_old_exe(exe, 1ms);
    EXPECT_FALSE(fs::exists(exe));

    // A folder of that name cannot go as a file: ten tries, then it stays.
    fs::create_directory(exe);
    auto t0 = std::chrono::steady_clock::now();
    corvane::updater_remove_old_exe(exe, 20ms);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms);
    EXPECT_TRUE(fs::is_directory(exe));
}

TEST(WaitForPid, ReturnsWhenTheProcessEnds) {
    // 0 and a process that is gone return without waiting out the limit.
    auto t0 = std::chrono::steady_clock::now();
    corvane::wait_for_pid(0);
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    corvane::wait_for_pid(static_cast<std::uint32_t>(gone));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 20s);

    pid_t child = ::fork();
    if (child == 0) {
        ::usleep(300'000);
        ::_exit(0);
    }
    corvane::wait_for_pid(static_cast<std::uint32_t>(child));
    // It returned because the child ended: reaping does not block.
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), child);

    pid_t live = ::fork();
    if (live == 0) {
        ::pause();
        ::_exit(0);
    }
    corvane::wait_for_pid(static_cast<std::uint32_t>(live), 100ms);
    EXPECT_EQ(::waitpid(live, &status, WNOHANG), 0);  // still running after the limit
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
}
