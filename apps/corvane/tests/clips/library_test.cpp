#include "clips/library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>

#include <gtest/gtest.h>

#include <ctime>

#include "../support/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

using test::read_file;

// Writes a file, making its folders first.
void write_file_making_folders(const fs::path& p, const std::string& data) {
    fs::create_directories(p.parent_path());
    test::write_file(p, data);
}

void write_size(const fs::path& p, std::uint64_t size) {
    fs::create_directories(p.parent_path());
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

class ClipsLibrary : public ::testing::Test {
  protected:
    void TearDown() override {
        clips_set_file_ops_for_tests({});
        // Rights a test took away come back, so that the folder can go.
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
    }
    test::TempDir scratch;
    const fs::path dir = scratch.path();
};

TEST_F(ClipsLibrary, ListingFindsClipsByExtensionOnlyAndAddsTheVoiceTrack) {
    write_size(dir / "2026-01-05/Bajas/a.mp4", 1000);
    write_size(dir / "2026-01-05/Bajas/a_mic.m4a", 200);
    write_size(dir / "2026-01-05/Manual/CLIP.MP4", 10);
    write_size(dir / "2026-01-05/Manual/b.mp4.part", 10);
    write_size(dir / "2026-01-05/Manual/.mp4", 10);
    write_size(dir / "2026-01-05/Manual/notes.json", 10);
    fs::create_directories(dir / "2026-01-05/x.mp4");
    write_size(dir / "2026-01-05/x.mp4/inner.mp4", 7);

    std::vector<ClipRecord> out;
    clips_scan_folder(dir, out);
    std::map<std::string, std::uint64_t> found;
    for (const auto& r : out) found[fs::relative(r.path, dir).string()] = r.size;
    EXPECT_EQ(found, (std::map<std::string, std::uint64_t>{{"2026-01-05/Bajas/a.mp4", 1200},
                                                           {"2026-01-05/Manual/CLIP.MP4", 10},
                                                           {"2026-01-05/x.mp4/inner.mp4", 7}}));
}

TEST_F(ClipsLibrary, ListingReportsModifiedTimeAsFiletime) {
    write_size(dir / "a.mp4", 1);
    struct timespec times[2] = {{1'700'000'000, 0}, {1'700'000'000, 123'456'789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "a.mp4").c_str(), times, 0), 0);
    std::vector<ClipRecord> out;
    clips_scan_folder(dir, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].modified,
              (1'700'000'000ULL + 11'644'473'600ULL) * 10'000'000ULL + 1'234'567ULL);
}

TEST_F(ClipsLibrary, ListingNeverEntersDirectoryLinks) {
    // A link back to an ancestor would loop; one to an outside folder would
    // hand its files to the disk limit.
    write_size(dir / "clips/2026-01-05/Bajas/a.mp4", 5);
    write_size(dir / "outside/victim.mp4", 5);
    fs::create_directory_symlink(dir / "clips", dir / "clips/2026-01-05/loop");
    fs::create_directory_symlink(dir / "outside", dir / "clips/2026-01-05/Bajas/out");
    std::vector<ClipRecord> out;
    clips_scan_folder(dir / "clips", out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].path, dir / "clips/2026-01-05/Bajas/a.mp4");

    std::vector<ClipRecord> none;
    clips_scan_folder(dir / "missing", none);
    EXPECT_TRUE(none.empty());
}

TEST_F(ClipsLibrary, LinkedClipCountsWithWhatItPointsTo) {
    write_size(dir / "store/real.mp4", 4000);
    struct timespec times[2] = {{1'700'000'000, 0}, {1'700'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "store/real.mp4").c_str(), times, 0), 0);
    write_size(dir / "store/inside/hidden.mp4", 9);
    fs::create_directories(dir / "clips/d/Manual");
    fs::create_symlink(dir / "store/real.mp4", dir / "clips/d/Manual/linked.mp4");
    fs::create_symlink(dir / "store/gone.mp4", dir / "clips/d/Manual/dangling.mp4");
    fs::create_directory_symlink(dir / "store/inside", dir / "clips/d/Manual/folder.mp4");
    std::vector<ClipRecord> out;
    clips_scan_folder(dir / "clips", out);
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> found;
    for (const auto& r : out) found[r.path.filename().string()] = {r.size, r.modified};
    ASSERT_EQ(found.size(), 3u);  // the folder behind folder.mp4 is never entered
    EXPECT_EQ(found["linked.mp4"].first, 4000u);
    EXPECT_EQ(found["linked.mp4"].second, (1'700'000'000ULL + 11'644'473'600ULL) * 10'000'000ULL);
    EXPECT_EQ(found["dangling.mp4"].first, 0u);
    EXPECT_EQ(found["folder.mp4"].first, 0u);
}

TEST_F(ClipsLibrary, ListingRemovesHalfWrittenClipsOfAnEarlierRun) {
    const fs::path m = dir / "2026-01-05/Manual";
    write_size(m / "crashed.mp4.part", 300);
    write_size(m / "CRASHED2.MP4.PART", 300);
    write_size(m / "crashed_mic.m4a.part", 300);
    write_size(m / "saving.mp4.part", 300);  // a save of this run, in progress
    write_size(m / "other.part", 300);
    write_size(m / "kept.mp4", 5);
    const std::time_t hour_ago = std::time(nullptr) - 3600;
    struct timespec old[2] = {{hour_ago, 0}, {hour_ago, 0}};
    for (const char* n :
         {"crashed.mp4.part", "CRASHED2.MP4.PART", "crashed_mic.m4a.part", "other.part", "kept.mp4"})
        ASSERT_EQ(::utimensat(AT_FDCWD, (m / n).c_str(), old, 0), 0);
    std::vector<ClipRecord> out;
    clips_scan_folder(dir, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].path, m / "kept.mp4");
    EXPECT_FALSE(fs::exists(m / "crashed.mp4.part"));
    EXPECT_FALSE(fs::exists(m / "CRASHED2.MP4.PART"));
    EXPECT_FALSE(fs::exists(m / "crashed_mic.m4a.part"));
    EXPECT_TRUE(fs::exists(m / "saving.mp4.part"));
    EXPECT_TRUE(fs::exists(m / "other.part"));
    EXPECT_TRUE(fs::exists(m / "kept.mp4"));
}

TEST_F(ClipsLibrary, DiskUseSplitsAutomaticArchivedAndManual) {
    write_size(dir / "d/Muertes/a.mp4", 1000);
    write_size(dir / "d/Muertes/a_mic.m4a", 200);
    write_size(dir / "d/Bajas/b.mp4", 300);
    write_file_making_folders(dir / "d/Bajas/b.json", R"({"archivado": true})");
    write_size(dir / "d/muertes/c.mp4", 50);  // lower case: manual
    write_size(dir / "d/Manual/m.mp4", 7);
    write_file_making_folders(dir / "d/Manual/m.json", R"({"archivado": true})");

    Json u = clips_disk_usage_json(dir, 50);
    EXPECT_EQ(
        u.dump(),
        R"({"auto":1200,"auto_n":1,"archivados":300,"archivados_n":1,"manuales":57,"manuales_n":2,"limite":53687091200})");
    EXPECT_EQ(clips_disk_usage_json(dir, 0)["limite"], 0);
    EXPECT_EQ(clips_disk_usage_json(dir, UINT64_MAX)["limite"], UINT64_MAX);
}

TEST_F(ClipsLibrary, CompanionPaths) {
    EXPECT_EQ(clips_mic_path("/c/d/x.mp4"), fs::path("/c/d/x_mic.m4a"));
    EXPECT_EQ(clips_mic_path("/c/d/noext"), fs::path("/c/d/noext_mic.m4a"));
    EXPECT_EQ(clips_mic_path("/c/d/a.b.mp4"), fs::path("/c/d/a.b_mic.m4a"));
    EXPECT_EQ(clips_sidecar_path("/c/d/x.mp4"), fs::path("/c/d/x.json"));
    EXPECT_EQ(clips_analysis_path("/c/d/x.mp4"), fs::path("/c/d/x.analisis.json"));
}

TEST_F(ClipsLibrary, ArchiveFlagReadsOnlyBooleanTrue) {
    const fs::path clip = dir / "Bajas/x.mp4";
    write_size(clip, 1);
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"({"archivado":true})", true},
        {R"({"archivado":false})", false},
        {R"({"archivado":"true"})", false},
        {R"({"archivado":1})", false},
        {R"([true])", false},
        {"{broken", false},
        {"\xff{\"archivado\":true}", false},
        {"  {\"archivado\" : true}\n", true},
    };
    for (const auto& [text, want] : cases) {
        write_file_making_folders(clips_sidecar_path(clip), text);
        EXPECT_EQ(clips_is_archived(clip), want) << text;
    }
    fs::remove(clips_sidecar_path(clip));
    EXPECT_FALSE(clips_is_archived(clip));
}

TEST_F(ClipsLibrary, SettingTheFlagKeepsEveryOtherMemberInPlace) {
    const fs::path clip = dir / "Bajas/x.mp4";
    write_size(clip, 1);
    write_file_making_folders(clips_sidecar_path(clip),
              "{\"clip\":\"x.mp4\",\"archivado\":\"true\",\"duracion\":14.0,\"eventos\":[\n  "
              "{\"segundo\":3.5,\"tipo\":\"baja\"}\n]}\n");
    ASSERT_EQ(clips_set_archived(clip, true), std::nullopt);
    EXPECT_EQ(read_file(clips_sidecar_path(clip)),
              "{\n  \"clip\": \"x.mp4\",\n  \"archivado\": true,\n  \"duracion\": 14.0,\n  "
              "\"eventos\": [\n"
              "    {\n      \"segundo\": 3.5,\n      \"tipo\": \"baja\"\n    }\n  ]\n}");
    EXPECT_TRUE(clips_is_archived(clip));
    ASSERT_EQ(clips_set_archived(clip, false), std::nullopt);
    EXPECT_FALSE(clips_is_archived(clip));
}

TEST_F(ClipsLibrary, SettingTheFlagWithoutSidecarCreatesOne) {
    const fs::path clip = dir / "Manual/CRVN_ñ.mp4";
    write_size(clip, 1);
    ASSERT_EQ(clips_set_archived(clip, true), std::nullopt);
    EXPECT_EQ(read_file(clips_sidecar_path(clip)),
              "{\n  \"clip\": \"CRVN_ñ.mp4\",\n  \"eventos\": [],\n  \"archivado\": true\n}");
    write_file_making_folders(clips_sidecar_path(clip), "null");
    ASSERT_EQ(clips_set_archived(clip, false), std::nullopt);
    EXPECT_EQ(read_file(clips_sidecar_path(clip)), "{\n  \"archivado\": false\n}");
}

TEST_F(ClipsLibrary, SettingTheFlagRefusesWhatItCannotKeep) {
    const fs::path clip = dir / "Bajas/x.mp4";
    EXPECT_EQ(clips_set_archived(clip, true), "el clip ya no existe");

    write_size(clip, 1);
    // A half-written sidecar still holds the events: it is not replaced.
    const std::string broken = "{\"clip\":\"x.mp4\",\"duracion\":60.0,\"eventos\":[\n  {\"tipo\"";
    write_file_making_folders(clips_sidecar_path(clip), broken);
    auto err = clips_set_archived(clip, true);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->rfind("no se pudo guardar (", 0), 0u) << *err;
    EXPECT_EQ(read_file(clips_sidecar_path(clip)), broken);

    write_file_making_folders(clips_sidecar_path(clip), "[1,2]");
    EXPECT_TRUE(clips_set_archived(clip, true).has_value());
    EXPECT_EQ(read_file(clips_sidecar_path(clip)), "[1,2]");

    // Nesting deeper than the limit is refused rather than parsed.
    write_file_making_folders(clips_sidecar_path(clip), std::string(300, '[') + std::string(300, ']'));
    EXPECT_FALSE(json_read_object(clips_sidecar_path(clip)).value.has_value());
}

TEST_F(ClipsLibrary, DeletionRemovesCompanionsAndCountsAMissingClipAsDeleted) {
    const fs::path clip = dir / "Bajas/x.mp4";
    for (const fs::path& p :
         {clip, clips_sidecar_path(clip), clips_analysis_path(clip), clips_mic_path(clip)})
        write_size(p, 3);
    write_size(dir / "Bajas/y.mp4", 3);
    ASSERT_EQ(clips_delete_files(clip), std::nullopt);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Bajas"), fs::directory_iterator{}), 1);

    // Already gone: still success, and the leftovers go too.
    write_size(clips_sidecar_path(clip), 3);
    write_size(clips_mic_path(clip), 3);
    ASSERT_EQ(clips_delete_files(clip), std::nullopt);
    EXPECT_FALSE(fs::exists(clips_sidecar_path(clip)));
    EXPECT_FALSE(fs::exists(clips_mic_path(clip)));
}

TEST_F(ClipsLibrary, DeletionRetriesTwelveTimesThenKeepsTheCompanions) {
    const fs::path clip = dir / "Bajas/x.mp4";
    write_size(clip, 3);
    write_size(clips_sidecar_path(clip), 3);
    std::atomic<int> attempts{0};
    std::atomic<int> sleeps_ms{0};
    clips_set_file_ops_for_tests(
        {[&](const fs::path& p) {
             if (p == clip) {
                 ++attempts;
                 return EBUSY;
             }
             return ::unlink(p.c_str()) == 0 ? 0 : errno;
         },
         [&](std::chrono::milliseconds ms) { sleeps_ms += static_cast<int>(ms.count()); }});
    auto err = clips_delete_files(clip);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(*err, "no se pudo borrar el video (" + std::string(std::strerror(EBUSY)) +
                        "); ciérralo si está abierto");
    EXPECT_EQ(attempts, 12);
    EXPECT_EQ(sleeps_ms, 2400);
    EXPECT_TRUE(fs::exists(clips_sidecar_path(clip)));

    // A file held for a while is deleted once it is let go.
    attempts = 0;
    clips_set_file_ops_for_tests({[&](const fs::path& p) {
                                      if (++attempts < 4) return EBUSY;
                                      return ::unlink(p.c_str()) == 0 ? 0 : errno;
                                  },
                                  [](std::chrono::milliseconds) {}});
    EXPECT_EQ(clips_remove_retry(clip), std::nullopt);
    EXPECT_EQ(attempts, 4);
    EXPECT_FALSE(fs::exists(clip));
}

TEST_F(ClipsLibrary, JsonLinesReadSplitsAndRefusesWhatItCannotRead) {
    const fs::path f = dir / "estadisticas.jsonl";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"a\r\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"", {}},
        {"\n", {""}},
        {"a\r\r\n", {"a\r"}},
        {" x \n", {" x "}},
    };
    for (const auto& [text, want] : cases) {
        write_file_making_folders(f, text);
        HistoryRead r = history_read_jsonl(f);
        EXPECT_FALSE(r.error.has_value());
        EXPECT_EQ(r.lines, want) << text;
    }
    HistoryRead missing = history_read_jsonl(dir / "none.jsonl");
    EXPECT_FALSE(missing.error.has_value());
    EXPECT_TRUE(missing.lines.empty());

    // One bad byte must not read as "no history": a rewrite would erase it.
    write_file_making_folders(f, "{\"a\":1}\n\xff\n");
    HistoryRead bad = history_read_jsonl(f);
    EXPECT_TRUE(bad.error.has_value());
    EXPECT_TRUE(bad.lines.empty());
    HistoryRead dir_read = history_read_jsonl(dir);
    EXPECT_TRUE(dir_read.error.has_value());
}

TEST_F(ClipsLibrary, JsonLinesRewriteIsAtomic) {
    const fs::path f = dir / "estadisticas.jsonl";
    write_file_making_folders(f, "old\n");
    ASSERT_EQ(jsonl_write_atomic(f, {"{\"a\":1}", "{\"b\":2}"}), std::nullopt);
    EXPECT_EQ(read_file(f), "{\"a\":1}\n{\"b\":2}\n");
    ASSERT_EQ(jsonl_write_atomic(f, {}), std::nullopt);
    EXPECT_EQ(fs::file_size(f), 0u);
    ASSERT_EQ(jsonl_write_atomic(f, {""}), std::nullopt);
    EXPECT_EQ(fs::file_size(f), 0u);
    EXPECT_FALSE(fs::exists(dir / "estadisticas.jsonl.tmp"));

    // A target that cannot be replaced (a non-empty folder): the temporary
    // file nothing would ever read is not left behind.
    const fs::path blocked = dir / "blocked.jsonl";
    write_file_making_folders(blocked / "inside", "x");
    auto err = jsonl_write_atomic(blocked, {"x"});
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->rfind("no se pudo reemplazar (", 0), 0u) << *err;
    EXPECT_FALSE(fs::exists(dir / "blocked.jsonl.tmp"));
    EXPECT_EQ(read_file(blocked / "inside"), "x");

    auto werr = jsonl_write_atomic(dir / "missing/folder/h.jsonl", {"x"});
    ASSERT_TRUE(werr.has_value());
    EXPECT_EQ(werr->rfind("no se pudo escribir (", 0), 0u) << *werr;
}

TEST_F(ClipsLibrary, ClearingTheClipField) {
    Json a = Json::parse(R"({"tipo":"baja","clip":"x.mp4","arma":"M4"})");
    events_clear_clip_field(a);
    EXPECT_EQ(a.dump(), R"({"tipo":"baja","clip":null,"arma":"M4"})");
    Json b = Json::parse(R"({"tipo":"baja"})");
    events_clear_clip_field(b);
    EXPECT_EQ(b.dump(), R"({"tipo":"baja","clip":null})");
    Json c = Json::parse("[1]");
    events_clear_clip_field(c);
    EXPECT_EQ(c.dump(), "[1]");
}

}  // namespace
}  // namespace corvane
