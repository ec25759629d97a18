#include "web/event_delete.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "clips/history.h"
#include "clips/library.h"
#include "clips_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

Json expect_of(const char* fecha, const char* hora, const char* tipo) {
    return Json{{"fecha", fecha}, {"hora", hora}, {"tipo", tipo}};
}

std::string ev(const char* tipo, const char* hora, const char* enemigo, const char* clip) {
    std::string clip_json = clip ? std::string("\"") + clip + "\"" : "null";
    return std::string("{\"fecha\":\"2026-01-05\",\"hora\":\"") + hora + "\",\"tipo\":\"" + tipo +
           "\",\"enemigo\":\"" + enemigo + "\",\"juego\":\"Ñ\",\"clip\":" + clip_json + "}";
}

constexpr const char* kClip = "2026-01-05/Muertes/CRVN_2026-01-05_21-03-11_muerte.mp4";

struct Fixture {
    ClipsHome home;
    fs::path clip = home.clips() / kClip;
    Fixture(const std::string& history, const std::string& sidecar = "{\"eventos\":[]}") {
        home.put(kClip, "video");
        home.put(fs::path(kClip).replace_extension("json").string(), sidecar);
        home.put(fs::path(kClip).replace_extension("analisis.json").string(), "{}");
        home.put(clips_mic_path(kClip).string(), "voz");
        home.put("estadisticas.jsonl", history);
        HistoryChangedFlag.store(false);
    }
    EventDeletionOutcome del(std::uint64_t i, const Json& expected) {
        return clips_delete_event(home.clips(), home.history(), i, expected);
    }
    std::string history() const { return test::read_file(home.history()); }
    Json sidecar() const { return Json::parse(test::read_file(clips_sidecar_path(clip))); }
};

// Refusals leave every file exactly as it was.
TEST(WebEventDelete, RefusalsChangeNothing) {
    const std::string hist =
        fmt::format("\n{}\r\n{}\n", ev("muerte", "21:03:11", "Zed", kClip), ev("killcam", "21:03:12", "Zed", kClip));
    struct Case {
        std::uint64_t index;
        Json expected;
        std::string error;
    };
    const std::vector<Case> cases = {
        {2, expect_of("2026-01-05", "21:03:12", "killcam"), "ese evento ya no existe (vuelve a abrir los Clips)"},
        {0, expect_of("2026-01-05", "21:03:10", "muerte"), "las estadísticas cambiaron: vuelve a abrir los Clips"},
        {0, expect_of("2026-01-05", "21:03:11", "baja"), "las estadísticas cambiaron: vuelve a abrir los Clips"},
        {0, Json{{"fecha", "2026-01-05"}, {"tipo", "muerte"}}, "las estadísticas cambiaron: vuelve a abrir los Clips"},
        {0, Json("no es un objeto"), "las estadísticas cambiaron: vuelve a abrir los Clips"},
        {1, expect_of("2026-01-05", "21:03:12", "killcam"), "solo se pueden borrar bajas, derribos y muertes"},
    };
    for (const auto& c : cases) {
        Fixture f(hist);
        auto out = f.del(c.index, c.expected);
        EXPECT_FALSE(out.result);
        EXPECT_EQ(out.error, c.error);
        EXPECT_EQ(f.history(), hist);
        EXPECT_TRUE(fs::exists(f.clip));
        EXPECT_FALSE(HistoryChangedFlag.load());
    }
}

TEST(WebEventDelete, UnsharedDeathTakesItsClipAndClearsReferences) {
    const std::string other = "{\"tipo\":\"baja\",\"hora\":\"20:00:00\",\"clip\":\"otro.mp4\"}";
    Fixture f(other + "\n" + ev("muerte", "21:03:11", "Zed", kClip) + "\n" + ev("killcam", "21:03:12", "Zed", kClip) +
              "\nno es json " + kClip + "\n");
    auto out = f.del(1, expect_of("2026-01-05", "21:03:11", "muerte"));
    ASSERT_TRUE(out.result) << out.error;
    EXPECT_EQ(out.result->events_removed, 1u);
    EXPECT_TRUE(out.result->clip_deleted);
    for (const fs::path& p : {f.clip, clips_sidecar_path(f.clip), clips_analysis_path(f.clip), clips_mic_path(f.clip)})
        EXPECT_FALSE(fs::exists(p)) << p;
    // Other lines keep their text; the killcam stays in place without its clip.
    EXPECT_EQ(f.history(), other + "\n" +
                               "{\"fecha\":\"2026-01-05\",\"hora\":\"21:03:12\",\"tipo\":\"killcam\",\"enemigo\":"
                               "\"Zed\",\"juego\":\"Ñ\",\"clip\":null}\nno es json " +
                               kClip + "\n");
    EXPECT_TRUE(HistoryChangedFlag.load());
}

TEST(WebEventDelete, SharedKillEditsTheSidecarOnly) {
    const std::string side = R"({"clip":"x","eventos":[{"segundo":1.0,"tipo":"baja","enemigo":"Ana"},{"segundo":2.0,"tipo":"baja","enemigo":"Bob"},{"segundo":3.0,"tipo":"baja","enemigo":"Bob"}],"archivado":false})";
    Fixture f(ev("baja", "21:03:11", "Ana", kClip) + "\n" + ev("baja", "21:03:12", "Bob", kClip) + "\n" +
                  ev("baja", "21:03:13", "Bob", kClip) + "\n",
              side);
    auto out = f.del(1, expect_of("2026-01-05", "21:03:12", "baja"));
    ASSERT_TRUE(out.result) << out.error;
    EXPECT_FALSE(out.result->clip_deleted);
    EXPECT_TRUE(fs::exists(f.clip));
    EXPECT_EQ(f.history(), ev("baja", "21:03:11", "Ana", kClip) + "\n" + ev("baja", "21:03:13", "Bob", kClip) + "\n");
    EXPECT_EQ(test::read_file(clips_sidecar_path(f.clip)),
              "{\n  \"clip\": \"x\",\n  \"eventos\": [\n    {\n      \"segundo\": 1.0,\n      \"tipo\": \"baja\",\n"
              "      \"enemigo\": \"Ana\"\n    },\n    {\n      \"segundo\": 3.0,\n      \"tipo\": \"baja\",\n"
              "      \"enemigo\": \"Bob\"\n    }\n  ],\n  \"archivado\": false\n}");
}

// Two deaths in one clip: deleting the second takes the second killcam and
// its own end mark, not the first death's.
TEST(WebEventDelete, SharedDeathTakesItsOwnKillcamEnd) {
    const std::string side = R"({"eventos":[{"segundo":1.0,"tipo":"killcam","enemigo":"Ana"},{"segundo":4.0,"tipo":"fin_killcam"},{"segundo":6.0,"tipo":"killcam","enemigo":"Bob"},{"segundo":9.0,"tipo":"fin_killcam"}]})";
    Fixture f(ev("muerte", "21:03:11", "Ana", kClip) + "\n" + ev("muerte", "21:03:16", "Bob", kClip) + "\n", side);
    auto out = f.del(1, expect_of("2026-01-05", "21:03:16", "muerte"));
    ASSERT_TRUE(out.result) << out.error;
    EXPECT_FALSE(out.result->clip_deleted);
    EXPECT_EQ(f.sidecar()["eventos"],
              Json::parse(R"([{"segundo":1.0,"tipo":"killcam","enemigo":"Ana"},{"segundo":4.0,"tipo":"fin_killcam"}])"));

    Fixture g(ev("muerte", "21:03:11", "Ana", kClip) + "\n" + ev("muerte", "21:03:16", "Bob", kClip) + "\n", side);
    ASSERT_TRUE(g.del(0, expect_of("2026-01-05", "21:03:11", "muerte")).result);
    EXPECT_EQ(g.sidecar()["eventos"],
              Json::parse(R"([{"segundo":6.0,"tipo":"killcam","enemigo":"Bob"},{"segundo":9.0,"tipo":"fin_killcam"}])"));
}

TEST(WebEventDelete, ClipGoneNullClipAndLastLine) {
    {
        Fixture f(ev("derribo", "21:03:11", "Zed", kClip) + "\n" + ev("killcam", "21:03:12", "Zed", kClip) + "\n");
        fs::remove(f.clip);
        auto out = f.del(0, expect_of("2026-01-05", "21:03:11", "derribo"));
        ASSERT_TRUE(out.result) << out.error;
        EXPECT_TRUE(out.result->clip_deleted);
        EXPECT_EQ(f.history().find(kClip), std::string::npos);
    }
    {
        Fixture f(ev("baja", "21:03:11", "Zed", nullptr) + "\n" + ev("killcam", "21:03:12", "Zed", kClip) + "\n");
        auto out = f.del(0, expect_of("2026-01-05", "21:03:11", "baja"));
        ASSERT_TRUE(out.result);
        EXPECT_FALSE(out.result->clip_deleted);
        EXPECT_TRUE(fs::exists(f.clip));
        EXPECT_EQ(f.history(), ev("killcam", "21:03:12", "Zed", kClip) + "\n");
    }
    {
        Fixture f(ev("baja", "21:03:11", "Zed", kClip) + "\n");
        ASSERT_TRUE(f.del(0, expect_of("2026-01-05", "21:03:11", "baja")).result);
        EXPECT_EQ(f.history(), "");
    }
}

// A history that cannot be read or decoded is never written back.
TEST(WebEventDelete, UnreadableHistoryIsLeftAlone) {
    const std::string bad = ev("baja", "21:03:11", "Zed", kClip) + "\n\xff\xfe\n";
    Fixture f(bad);
    auto out = f.del(0, expect_of("2026-01-05", "21:03:11", "baja"));
    EXPECT_FALSE(out.result);
    EXPECT_EQ(out.error, "el historial no es UTF-8 válido");
    EXPECT_EQ(f.history(), bad);
    EXPECT_TRUE(fs::exists(f.clip));

    Fixture g("");
    fs::remove(g.home.history());
    fs::create_directories(g.home.history() / "x");
    out = g.del(0, expect_of("2026-01-05", "21:03:11", "baja"));
    EXPECT_FALSE(out.result);
    EXPECT_TRUE(out.error.starts_with("no se pudo leer el historial (")) << out.error;
}

TEST(WebEventDelete, FailuresInjectedThroughFolders) {
    clips_set_file_ops_for_tests({nullptr, [](std::chrono::milliseconds) {}});
    {
        // The clip cannot be deleted: the history stays as it was.
        const std::string hist = ev("baja", "21:03:11", "Zed", kClip) + "\n";
        Fixture f(hist);
        fs::remove(f.clip);
        fs::create_directories(f.clip / "x");
        auto out = f.del(0, expect_of("2026-01-05", "21:03:11", "baja"));
        EXPECT_FALSE(out.result);
        EXPECT_TRUE(out.error.starts_with("no se pudo borrar el video (")) << out.error;
        EXPECT_TRUE(out.error.ends_with("); ciérralo si está abierto")) << out.error;
        EXPECT_EQ(f.history(), hist);
        EXPECT_TRUE(fs::exists(clips_sidecar_path(f.clip)));
        EXPECT_FALSE(HistoryChangedFlag.load());
    }
    {
        const std::string hist = ev("baja", "21:03:11", "Zed", nullptr) + "\n";
        Fixture f(hist);
        fs::create_directories(f.home.clips() / "estadisticas.jsonl.tmp" / "x");
        auto out = f.del(0, expect_of("2026-01-05", "21:03:11", "baja"));
        EXPECT_FALSE(out.result);
        EXPECT_TRUE(out.error.starts_with("no se pudo escribir (")) << out.error;
        EXPECT_EQ(f.history(), hist);
        EXPECT_FALSE(HistoryChangedFlag.load());
    }
    clips_set_file_ops_for_tests({});
}

// A clip name that leaves the clips folder is never turned into a path.
TEST(WebEventDelete, ForeignClipNamesAreNotFollowed) {
    for (const std::string name : {"../fuera.mp4", "/tmp/../" , "a/../../fuera.mp4"}) {
        Fixture f("");
        const fs::path outside = f.home.root() / "fuera.mp4";
        test::write_file(outside, "no");
        std::string line = "{\"fecha\":\"f\",\"hora\":\"h\",\"tipo\":\"baja\",\"clip\":" +
                           Json(name == "/tmp/../" ? outside.string() : name).dump() + "}";
        f.home.put("estadisticas.jsonl", line + "\n");
        auto out = f.del(0, expect_of("f", "h", "baja"));
        ASSERT_TRUE(out.result) << out.error;
        EXPECT_FALSE(out.result->clip_deleted);
        EXPECT_TRUE(fs::exists(outside)) << name;
        EXPECT_EQ(f.history(), "");
    }
}

// An event whose clip lies in a folder linking out of the clips folder loses
// its line only: the files behind the link are neither removed nor rewritten.
TEST(WebEventDelete, LinkedFolderIsNotFollowed) {
    for (const bool shared : {false, true}) {
        Fixture f("");
        const fs::path victim = f.home.root() / "ajeno";
        fs::create_directories(victim);
        test::write_file(victim / "x.mp4", "ajeno");
        test::write_file(victim / "x.json", "{\"eventos\":[]}");
        fs::create_symlink(victim, f.home.clips() / "L");
        std::string hist = ev("baja", "21:00:00", "A", "L/x.mp4") + "\n";
        if (shared) hist += ev("baja", "21:00:05", "B", "L/x.mp4") + "\n";
        f.home.put("estadisticas.jsonl", hist);
        auto out = f.del(0, expect_of("2026-01-05", "21:00:00", "baja"));
        ASSERT_TRUE(out.result) << out.error;
        EXPECT_FALSE(out.result->clip_deleted);
        EXPECT_EQ(test::read_file(victim / "x.mp4"), "ajeno");
        EXPECT_EQ(test::read_file(victim / "x.json"), "{\"eventos\":[]}");
        EXPECT_EQ(f.history(), shared ? ev("baja", "21:00:05", "B", "L/x.mp4") + "\n" : "");
    }
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Deletions from several connections while the event engine appends: every
// append survives and every successful deletion removed exactly one line.
// A selection deleted in one pass leaves exactly what deleting its events
// one call at a time leaves: history bytes, sidecars, clips and each answer.
TEST(WebEventDelete, SelectionInOnePassEqualsOneByOne) {
    constexpr const char* kShared = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_baja.mp4";
    constexpr const char* kAlone = "2026-01-05/Muertes/CRVN_2026-01-05_22-00-00_muerte.mp4";
    constexpr const char* kGone = "2026-01-05/Bajas/CRVN_2026-01-05_23-00-00_baja.mp4";
    const std::string shared_side =
        R"({"eventos":[{"tipo":"baja","enemigo":"Ana"},{"tipo":"baja","enemigo":"Bob"},{"tipo":"derribo","enemigo":"Cy"}]})";
    const std::string alone_side = R"({"eventos":[{"tipo":"killcam","enemigo":"Dan"},{"tipo":"fin_killcam"}]})";
    const std::vector<std::string> lines = {
        ev("baja", "21:00:01", "Ana", kShared),                       // 0
        "no es un evento",                                            //
        ev("muerte", "22:00:01", "Dan", kAlone),                      // 1
        "  " + ev("baja", "21:00:02", "Bob", kShared) + " ",          // 2
        ev("killcam", "22:00:02", "Dan", kAlone),                     // 3
        "{roto}",                                                     // 4
        ev("derribo", "21:00:03", "Cy", kShared),                     // 5
        ev("baja", "23:00:01", "Eve", kGone),                         // 6
        R"({"tipo":"baja","hora":"23:00:02","fecha":"2026-01-05","clip":"2026-01-05\/Bajas\/CRVN_2026-01-05_23-00-00_baja.mp4"})",  // 7
        ev("baja", "20:00:00", "Fin", nullptr),                       // 8
        ev("baja", "20:00:01", "Gus", "../fuera.mp4"),                // 9
    };
    std::string hist;
    for (const auto& l : lines) hist += l + "\n";

    auto fill = [&](const ClipsHome& home) {
        home.put(kShared, "v1");
        home.put(fs::path(kShared).replace_extension("json").string(), shared_side);
        home.put(kAlone, "v2");
        home.put(fs::path(kAlone).replace_extension("json").string(), alone_side);
        home.put(clips_mic_path(kAlone).string(), "voz");
        home.put("estadisticas.jsonl", hist);
    };
    auto snapshot = [](const ClipsHome& home) {
        std::string s;
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(home.clips()))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) s += fs::relative(f, home.clips()).string() + "=" + test::read_file(f) + "\n";
        return s;
    };
    auto text = [](const EventDeletionOutcome& o) {
        return o.result ? "ok " + std::to_string(o.result->events_removed) + (o.result->clip_deleted ? " clip" : "")
                        : "error " + o.error;
    };

    // Largest first as the viewer sends it, then an order that revisits
    // positions the earlier deletions have moved.
    const std::vector<std::vector<std::pair<std::uint64_t, Json>>> selections = {
        {{9, expect_of("2026-01-05", "20:00:01", "baja")},
         {7, expect_of("2026-01-05", "23:00:02", "baja")},
         {6, expect_of("2026-01-05", "23:00:01", "baja")},
         {5, expect_of("2026-01-05", "21:00:03", "derribo")},
         {4, expect_of("2026-01-05", "x", "baja")},
         {3, expect_of("2026-01-05", "22:00:02", "killcam")},
         {2, expect_of("2026-01-05", "21:00:02", "baja")},
         {1, expect_of("2026-01-05", "22:00:01", "muerte")},
         {0, expect_of("2026-01-05", "21:00:01", "baja")},
         {12, expect_of("2026-01-05", "21:00:01", "baja")}},
        {{0, expect_of("2026-01-05", "21:00:01", "baja")},
         {0, expect_of("2026-01-05", "22:00:01", "muerte")},
         {0, expect_of("2026-01-05", "21:00:02", "baja")},
         {2, expect_of("2026-01-05", "21:00:03", "derribo")},
         {3, expect_of("2026-01-05", "23:00:02", "baja")},
         {2, expect_of("2026-01-05", "23:00:01", "baja")},
         {2, expect_of("2026-01-05", "20:00:00", "baja")}},
    };
    for (const auto& selection : selections) {
        ClipsHome one, many;
        fill(one);
        fill(many);
        std::string one_answers, many_answers;
        for (const auto& [i, expected] : selection)
            one_answers += text(clips_delete_event(one.clips(), one.history(), i, expected)) + "\n";
        HistoryChangedFlag.store(false);
        for (const auto& out : clips_delete_events(many.clips(), many.history(), selection))
            many_answers += text(out) + "\n";
        EXPECT_TRUE(HistoryChangedFlag.load());
        EXPECT_EQ(many_answers, one_answers);
        EXPECT_NE(many_answers.find("ok 1 clip\n"), std::string::npos) << many_answers;
        if (&selection == &selections.front()) {
            EXPECT_NE(many_answers.find("error "), std::string::npos) << many_answers;
        }
        EXPECT_EQ(snapshot(many), snapshot(one));
        EXPECT_NE(test::read_file(many.history()), hist);
    }
}

// One read and one rewrite for the whole selection: when the rewrite fails,
// every deletion made reports it and the history keeps all its lines.
// A history of many deletable events with no clip, large enough that its
// rewrite needs several pages of disk.
std::string long_history() {
    std::string hist;
    for (int i = 0; i < 400; ++i)
        hist += ev("baja", fmt::format("20:{:02}:{:02}", i / 60, i % 60).c_str(), "Enemigo_con_nombre_largo", nullptr) +
                "\n";
    return hist;
}

// A deletion whose history rewrite runs out of room: the error is reported,
// the history keeps every line and no "estadisticas.jsonl.tmp" stays behind.
EventDeletionOutcome delete_fourth(Fixture& f) {
    return f.del(3, expect_of("2026-01-05", "20:00:03", "baja"));
}
void expect_failed_rewrite_left_no_temp(const Fixture& f, const EventDeletionOutcome& out, const std::string& hist,
                                        const char* system_text) {
    EXPECT_FALSE(out.result);
    EXPECT_EQ(out.error, fmt::format("no se pudo escribir ({})", system_text));
    EXPECT_EQ(f.history(), hist);
    EXPECT_FALSE(fs::exists(f.home.clips() / "estadisticas.jsonl.tmp"));
    EXPECT_FALSE(HistoryChangedFlag.load());
}

// A small tmpfs over the clips folder, filled to its last byte: a real full disk.
class FullTmpfs {
  public:
    explicit FullTmpfs(const fs::path& at) : at_(at) {
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k") != 0) error_ = std::strerror(errno);
    }
    ~FullTmpfs() {
        if (error_.empty()) ::umount2(at_.c_str(), MNT_DETACH);
    }
    const std::string& error() const { return error_; }
    // Writes a filler file until the file system refuses: true when it ran full.
    bool fill() const {
        const int fd = ::open((at_ / "relleno.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const std::string chunk(4096, 'r');
        int err = 0;
        for (int i = 0; i < 1024 && !err; ++i) {
            const ssize_t w = ::write(fd, chunk.data(), chunk.size());
            if (w < 0) err = errno;
        }
        ::close(fd);
        return err == ENOSPC;
    }

  private:
    fs::path at_;
    std::string error_;
};

TEST(WebEventDelete, RewriteOnAFullDiskLeavesNoTemp) {
    Fixture f("");
    FullTmpfs disk(f.home.clips());
    if (!disk.error().empty()) GTEST_SKIP() << "no se pudo montar un tmpfs: " << disk.error();
    const std::string hist = long_history();
    f.home.put("estadisticas.jsonl", hist);
    ASSERT_TRUE(disk.fill());
    const auto out = delete_fourth(f);
    expect_failed_rewrite_left_no_temp(f, out, hist, std::strerror(ENOSPC));
}

// The same through the file size limit, which needs no privileges: the write
// fails for real (EFBIG) once the new file passes the limit.
TEST(WebEventDelete, RewritePastTheFileSizeLimitLeavesNoTemp) {
    const std::string hist = long_history();
    Fixture f(hist);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 8192;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto out = delete_fourth(f);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    expect_failed_rewrite_left_no_temp(f, out, hist, std::strerror(EFBIG));
}

TEST(WebEventDelete, SelectionWhoseRewriteFails) {
    Fixture f(ev("baja", "20:00:00", "Ana", nullptr) + "\n" + ev("baja", "20:00:01", "Bob", nullptr) + "\n");
    // A folder where the temporary file would go makes the write fail.
    fs::create_directories(f.home.clips() / "estadisticas.jsonl.tmp" / "x");
    const auto outs = clips_delete_events(f.home.clips(), f.home.history(),
                                          {{1, expect_of("2026-01-05", "20:00:01", "baja")},
                                           {0, expect_of("2026-01-05", "20:00:09", "baja")},
                                           {0, expect_of("2026-01-05", "20:00:00", "baja")}});
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(outs[1].error, "las estadísticas cambiaron: vuelve a abrir los Clips");
    for (std::size_t i : {0u, 2u}) {
        EXPECT_FALSE(outs[i].result);
        EXPECT_TRUE(outs[i].error.starts_with("no se pudo")) << outs[i].error;
    }
    EXPECT_EQ(f.history(), ev("baja", "20:00:00", "Ana", nullptr) + "\n" + ev("baja", "20:00:01", "Bob", nullptr) + "\n");
    EXPECT_FALSE(HistoryChangedFlag.load());
}

TEST(WebHistoryConcurrency, DeletionsAndAppends) {
    webtest::ClipsHome home;
    std::string hist;
    for (int i = 0; i < 200; ++i) hist += R"({"fecha":"d","hora":"h","tipo":"baja","clip":null})" "\n";
    home.put("estadisticas.jsonl", hist);
    std::atomic<int> deleted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 25; ++k)
                if (clips_delete_event(home.clips(), home.history(), 0,
                                       nlohmann::ordered_json{{"fecha", "d"}, {"hora", "h"}, {"tipo", "baja"}})
                        .result)
                    ++deleted;
        });
    threads.emplace_back([&] {
        for (int k = 0; k < 50; ++k) {
            std::lock_guard lock(HistoryLock);
            std::ofstream(home.history(), std::ios::app) << R"({"fecha":"d","hora":"nuevo","tipo":"muerte","clip":null})" "\n";
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(deleted.load(), 100);
    const std::string after = test::read_file(home.history());
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 200 + 50 - 100);
    std::size_t appended = 0;
    for (std::size_t at = after.find("nuevo"); at != std::string::npos; at = after.find("nuevo", at + 1)) ++appended;
    EXPECT_EQ(appended, 50u);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// The viewer archives a clip while events of the same clip are deleted: both
// edit its sidecar, and neither change may undo the other.
TEST(WebSidecarConcurrency, ArchiveWhileEventsAreDeleted) {
    webtest::ClipsHome home;
    const std::string clip = "d/Bajas/a.mp4";
    home.put(clip, "v");
    nlohmann::ordered_json side = {{"clip", "a.mp4"}, {"eventos", nlohmann::ordered_json::array()}};
    std::string hist;
    for (int i = 0; i < 40; ++i) {
        side["eventos"].push_back({{"segundo", i}, {"tipo", "baja"}, {"enemigo", "X"}});
        hist += R"({"fecha":"d","hora":"h","tipo":"baja","enemigo":"X","clip":")" + clip + "\"}\n";
    }
    home.put("d/Bajas/a.json", side.dump(2));
    home.put("estadisticas.jsonl", hist);
    std::thread deleter([&] {
        for (int k = 0; k < 39; ++k)
            ASSERT_TRUE(clips_delete_event(home.clips(), home.history(), 0,
                                           nlohmann::ordered_json{{"fecha", "d"}, {"hora", "h"}, {"tipo", "baja"}})
                            .result);
    });
    std::thread archiver([&] {
        for (int k = 0; k < 200; ++k) ASSERT_FALSE(clips_set_archived(home.clips() / clip, k % 2 == 0));
        ASSERT_FALSE(clips_set_archived(home.clips() / clip, true));
    });
    deleter.join();
    archiver.join();
    const auto after = nlohmann::ordered_json::parse(test::read_file(home.clips() / "d/Bajas/a.json"));
    EXPECT_EQ(after["eventos"].size(), 1u);
    EXPECT_EQ(after["eventos"][0]["segundo"], 39);
    EXPECT_EQ(after["archivado"], true);
}

}  // namespace
}  // namespace corvane
