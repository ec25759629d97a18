#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

unsigned mode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

FileReplaceOptions with_mode(unsigned mode) {
    FileReplaceOptions o;
    o.mode = mode;
    return o;
}
FileReplaceOptions following_links() {
    FileReplaceOptions o;
    o.follow_links = true;
    return o;
}
FileReplaceOptions named_temp(const fs::path& temp) {
    FileReplaceOptions o;
    o.temp = temp;
    return o;
}
FileReplaceOptions kept_temp(const fs::path& temp) {
    FileReplaceOptions o = named_temp(temp);
    o.keep_temp_on_failure = true;
    return o;
}

// What is left in the folder besides the named files.
std::vector<std::string> others(const fs::path& dir, std::initializer_list<std::string> known) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
}

TEST(FileReplace, ModesOfNewAndReplacedFiles) {
    TempDir dir;
    const fs::path f = dir.path() / "a.json";
    ASSERT_EQ(file_replace(f, "uno").failed, FileReplaceStep::none);
    EXPECT_EQ(read_file(f), "uno");
    EXPECT_EQ(mode_of(f), 0644u);
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    ASSERT_EQ(file_replace(f, "dos").failed, FileReplaceStep::none);
    EXPECT_EQ(read_file(f), "dos");
    EXPECT_EQ(mode_of(f), 0640u);  // the user's choice stays
    ASSERT_EQ(file_replace(f, "tres", with_mode(0600)).failed, FileReplaceStep::none);
    EXPECT_EQ(mode_of(f), 0600u);
    EXPECT_TRUE(others(dir.path(), {"a.json"}).empty());
}

TEST(FileReplace, LinksAreFollowedOnlyWhenAsked) {
    TempDir dir;
    fs::create_directory(dir.path() / "real");
    const fs::path real = dir.path() / "real" / "corvane.ini";
    write_file(real, "viejo");
    const fs::path link = dir.path() / "corvane.ini";
    fs::create_symlink("real/corvane.ini", link);

    ASSERT_EQ(file_replace(link, "nuevo", following_links()).failed, FileReplaceStep::none);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(real), "nuevo");

    ASSERT_EQ(file_replace(link, "suelto").failed, FileReplaceStep::none);
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(read_file(link), "suelto");
    EXPECT_EQ(read_file(real), "nuevo");
}

TEST(FileReplace, FailuresLeaveTheTargetAndSayWhichStep) {
    TempDir dir;
    // A non-empty folder cannot be replaced by a file (root or not).
    const fs::path blocked = dir.path() / "blocked.json";
    fs::create_directories(blocked);
    write_file(blocked / "dentro", "x");

    FileReplaceResult r = file_replace(blocked, "nuevo");
    EXPECT_EQ(r.failed, FileReplaceStep::rename);
    EXPECT_FALSE(r.error.empty());
    EXPECT_TRUE(others(dir.path(), {"blocked.json"}).empty()) << "temporary file left behind";

    const fs::path named = dir.path() / "blocked.json.tmp";
    r = file_replace(blocked, "nuevo", kept_temp(named));
    EXPECT_EQ(r.failed, FileReplaceStep::rename);
    EXPECT_EQ(read_file(named), "nuevo");
    EXPECT_EQ(read_file(blocked / "dentro"), "x");

    r = file_replace(dir.path() / "no" / "existe.json", "x");
    EXPECT_EQ(r.failed, FileReplaceStep::write);
    EXPECT_FALSE(r.error.empty());
}

// A link planted at a fixed temporary name is not written through.
TEST(FileReplace, NamedTemporaryIsNeverALink) {
    TempDir dir;
    const fs::path victim = dir.path() / "victima";
    write_file(victim, "intacto");
    const fs::path target = dir.path() / "interfaz.json";
    fs::create_symlink(victim, dir.path() / "interfaz.json.tmp");
    const FileReplaceResult r = file_replace(target, "{}", named_temp(dir.path() / "interfaz.json.tmp"));
    EXPECT_EQ(r.failed, FileReplaceStep::write);
    EXPECT_EQ(read_file(victim), "intacto");
    EXPECT_FALSE(fs::exists(target));
}

TEST(FileSystem, PrivateFoldersFilesAndRemoval) {
    TempDir dir;
    const fs::path data = dir.path() / "app" / "data";
    EXPECT_TRUE(folder_create_private(data));
    EXPECT_EQ(mode_of(data), 0700u);
    ASSERT_EQ(::chmod(data.c_str(), 0755), 0);
    EXPECT_TRUE(folder_create_private(data));
    EXPECT_EQ(mode_of(data), 0755u);  // an existing folder is left as the user set it
    write_file(dir.path() / "archivo", "x");
    EXPECT_FALSE(folder_create_private(dir.path() / "archivo" / "sub"));

    const fs::path f = data / "corvane.ini";
    write_file(f, "x");
    ASSERT_EQ(::chmod(f.c_str(), 0644), 0);
    EXPECT_TRUE(file_make_private(f));
    EXPECT_EQ(mode_of(f), 0600u);
    EXPECT_FALSE(file_make_private(data / "no-existe"));

    EXPECT_EQ(file_remove(f), 0);
    EXPECT_FALSE(fs::exists(f));
    EXPECT_EQ(file_remove(f), 0);  // already gone
    EXPECT_NE(file_remove(data), 0);  // a folder stays
    EXPECT_TRUE(fs::is_directory(data));
}

}  // namespace
}  // namespace corvane
