#include "base/paths.h"

#include <gtest/gtest.h>

#include "base_test_util.h"

namespace corvane {
namespace {

TEST(Paths, ProgramAndDataFolders) {
    EXPECT_EQ(app_dir(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
    test::TempAppDir app;
    EXPECT_EQ(app_dir(), app.dir());
    // The data folder, with missing parents, private to the user.
    test::TempAppDir deeper;
    paths_set_app_dir_for_tests(deeper.dir() / "a" / "b");
    EXPECT_EQ(data_dir(), deeper.dir() / "a" / "b" / "data");
    EXPECT_TRUE(std::filesystem::is_directory(deeper.dir() / "a" / "b" / "data"));
    EXPECT_EQ(test::file_mode(deeper.dir() / "a" / "b" / "data"), 0700u);
    // A file in the way: the failure is ignored and the path still returned.
    paths_set_app_dir_for_tests(deeper.dir() / "a" / "b" / "data" / "x");
    test::write_file(deeper.dir() / "a" / "b" / "data" / "x", "");
    EXPECT_EQ(data_dir(), deeper.dir() / "a" / "b" / "data" / "x" / "data");
}

}  // namespace
}  // namespace corvane
