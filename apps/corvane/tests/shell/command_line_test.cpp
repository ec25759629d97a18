#include "shell/command_line.h"

#include <gtest/gtest.h>

using corvane::CommandLine;
using corvane::parse_command_line;
using corvane::parse_process_id;

TEST(ProcessId, Grammar) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> want;
    } cases[] = {
        {"123", 123u},
        {"+123", 123u},
        {"0", 0u},
        {"4294967295", 4294967295u},
        {"007", 7u},
        {"-1", std::nullopt},
        {"12a", std::nullopt},
        {"4294967296", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"++1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_process_id(c.text), c.want) << '"' << c.text << '"';
}

TEST(CommandLineFlags, Table) {
    struct Case {
        std::vector<std::string> args;
        std::string tab;
        bool console, no_window;
        std::optional<std::uint32_t> wait;
    } cases[] = {
        {{"corvane"}, "clips", false, false, std::nullopt},
        {{"corvane", "--config", "--consola", "--no-window"}, "ajustes", true, true, std::nullopt},
        // Exact and case-sensitive.
        {{"corvane", "--CONFIG", "--Consola", "-no-window", "--config=1"},
         "clips",
         false,
         false,
         std::nullopt},
        // The program path itself is searched too.
        {{"--config"}, "ajustes", false, false, std::nullopt},
        {{"corvane", "--esperar-pid", "+42"}, "clips", false, false, 42u},
        {{"corvane", "--esperar-pid", "-42"}, "clips", false, false, std::nullopt},
        {{"corvane", "--esperar-pid", "4294967296"}, "clips", false, false, std::nullopt},
        {{"corvane", "--esperar-pid"}, "clips", false, false, std::nullopt},
        // The first occurrence counts, even when its value is bad.
        {{"corvane", "--esperar-pid", "x", "--esperar-pid", "7"},
         "clips",
         false,
         false,
         std::nullopt},
        {{"corvane", "--esperar-pid", "7", "--esperar-pid", "x"}, "clips", false, false, 7u},
        // A value that is itself a flag is still the value, and the flag still counts.
        {{"corvane", "--esperar-pid", "--config"}, "ajustes", false, false, std::nullopt},
    };
    for (const auto& c : cases) {
        CommandLine cl = parse_command_line(c.args);
        std::string shown;
        for (auto& a : c.args) shown += a + ' ';
        EXPECT_FALSE(cl.install.has_value()) << shown;
        EXPECT_EQ(cl.start_tab, c.tab) << shown;
        EXPECT_EQ(cl.console, c.console) << shown;
        EXPECT_EQ(cl.no_window, c.no_window) << shown;
        EXPECT_EQ(cl.wait_pid, c.wait) << shown;
    }
}

TEST(CommandLineInstall, NeedsTwoArgumentsAndTakesAnOptionalPid) {
    EXPECT_FALSE(parse_command_line({"corvane", "--apply-update"}).install);
    EXPECT_FALSE(parse_command_line({"corvane", "--apply-update", "a"}).install);

    auto two = parse_command_line({"corvane", "--apply-update", "a", "b"}).install;
    ASSERT_TRUE(two);
    EXPECT_EQ(two->source, "a");
    EXPECT_EQ(two->target, "b");
    EXPECT_EQ(two->wait_pid, 0u);
    EXPECT_EQ(two->version, "");
    EXPECT_EQ(two->from_version, "");
    EXPECT_FALSE(two->quiet);
    EXPECT_FALSE(two->no_relaunch);

    auto full =
        parse_command_line({"corvane", "--version", "0.11.0", "--apply-update", "src dir", "dst",
                            "+77", "--quiet", "--from-version", "0.10.45", "--no-relaunch"})
            .install;
    ASSERT_TRUE(full);
    EXPECT_EQ(full->source, "src dir");
    EXPECT_EQ(full->target, "dst");
    EXPECT_EQ(full->wait_pid, 77u);
    EXPECT_EQ(full->version, "0.11.0");
    EXPECT_EQ(full->from_version, "0.10.45");
    EXPECT_TRUE(full->quiet);
    EXPECT_TRUE(full->no_relaunch);

    // An invalid third argument is pid 0; a trailing "--version" has an empty text.
    auto bad_pid =
        parse_command_line({"corvane", "--apply-update", "a", "b", "77x", "--version"}).install;
    ASSERT_TRUE(bad_pid);
    EXPECT_EQ(bad_pid->wait_pid, 0u);
    EXPECT_EQ(bad_pid->version, "");
}
