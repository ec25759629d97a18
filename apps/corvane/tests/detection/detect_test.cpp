// The detector thread's rules on an injected clock: the region table, pacing,
// the in-front and pause lines, error and slow-pass warnings and "detector.log".
#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <stdexcept>

#include "../support/python_run.h"
#include "../support/temp_dir.h"
#include "detection/detect.h"
#include "detection/detect_slow.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// The reference table in python: every product and sum rounded to float32,
// as the regions are computed.
constexpr const char* kRegionScript = R"PY(
import struct, sys
def f(x): return struct.unpack('f', struct.pack('f', x))[0]
def u(x):
    if not (x > 0): return 0
    return min(int(x), 4294967295)
for line in open(sys.argv[1]):
    W, H = map(int, line.split())
    w, h = f(W), f(H)
    cx = f(w * f(0.5))
    def mul(k): return f(h * f(k))
    def centred(k):
        x = u(max(0.0, f(cx - mul(k))))
        r = u(min(w, f(cx + mul(k))))
        return x, max(0, r - x)
    def clamp(x, y, ww, hh):
        x = min(x, W); y = min(y, H)
        return x, y, min(ww, W - x), min(hh, H - y)
    out = []
    x, ww = centred(0.35); out.append(clamp(x, 0, ww, u(min(h, mul(0.3)))))
    x, ww = centred(0.65); y = u(mul(0.7)); out.append(clamp(x, y, ww, H - min(H, y)))
    left = f(cx + mul(0.3)); last16 = float(W - 16) if W > 16 else 0.0
    x = u(min(last16, left)); a = u(left); b = u(min(w, f(cx + mul(1.1))))
    out.append(clamp(x, u(mul(0.1)), max(16, b - a if b > a else 0), u(mul(0.45))))
    x, ww = centred(0.32); y = u(mul(0.03)); bot = u(min(h, mul(0.16)))
    out.append(clamp(x, y, ww, bot - y if bot > y else 0))
    x, ww = centred(0.25); y = u(mul(0.1)); bot = u(min(h, mul(0.21)))
    out.append(clamp(x, y, ww, bot - y if bot > y else 0))
    print(W, H, ' '.join('%d,%d,%d,%d' % r for r in out))
)PY";

std::string region_text(const Region& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height);
}

TEST(DetectorRegions, KnownValuesAndFloat32ReferenceForEverySize) {
    const DetectorRegions hd = detector_regions(1920, 1080);
    EXPECT_EQ(hd.top_centre, (Region{582, 0, 756, 324}));
    EXPECT_EQ(hd.bottom_band, (Region{258, 756, 1404, 324}));
    EXPECT_EQ(hd.right_column, (Region{1284, 108, 636, 486}));
    EXPECT_EQ(hd.top_strip, (Region{614, 32, 691, 140}));
    EXPECT_EQ(hd.centre_band, (Region{690, 108, 540, 118}));
    EXPECT_EQ(detector_regions(100, 1000).right_column, (Region{84, 100, 16, 450}));
    // In single precision 0.7 × 1440 is 1008 (in double it would be 1007.99…).
    EXPECT_EQ(detector_regions(2560, 1440).bottom_band.y, 1008u);
    EXPECT_EQ(detector_regions(2560, 1440).bottom_band.height, 432u);
    EXPECT_EQ(detector_regions(1280, 720).bottom_band.y, 504u);

    const std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {
        {1920, 1080}, {1280, 720}, {2560, 1440}, {3840, 2160}, {3440, 1440}, {100, 1000},
        {1080, 1920}, {10, 10},    {1, 1},       {7680, 4320}, {640, 360},   {17, 3}};
    std::string input;
    for (auto [w, h] : sizes) input += std::to_string(w) + " " + std::to_string(h) + "\n";
    std::istringstream ref(test::run_python(kRegionScript, input));
    for (auto [w, h] : sizes) {
        std::string line;
        ASSERT_TRUE(std::getline(ref, line));
        const DetectorRegions r = detector_regions(w, h);
        const std::string ours = std::to_string(w) + " " + std::to_string(h) + " " +
                                 region_text(r.top_centre) + " " + region_text(r.bottom_band) +
                                 " " + region_text(r.right_column) + " " +
                                 region_text(r.top_strip) + " " + region_text(r.centre_band);
        EXPECT_EQ(ours, line);
        for (const Region& g :
             {r.top_centre, r.bottom_band, r.right_column, r.top_strip, r.centre_band}) {
            EXPECT_LE(std::uint64_t{g.x} + g.width, w) << line;
            EXPECT_LE(std::uint64_t{g.y} + g.height, h) << line;
        }
    }
}

TEST(DetectorRegions, ATinyFrameIsReadWithoutLeavingIt) {
    // 10 × 10: the right column would be 16 wide; it is cut to the frame.
    const DetectorRegions r = detector_regions(10, 10);
    EXPECT_EQ(r.right_column, (Region{0, 1, 10, 4}));
    SharedFrame frame;
    frame.device = gpu_device_create(ScreenSize{10, 10});
    frame.width = frame.height = 10;
    auto s = detect_create_staging_texture(r.right_column);
    ASSERT_TRUE(s.staging);
    PlatformError e;
    EXPECT_EQ(detect_read_region(*s.staging, frame, {}, &e), RegionRead::kRead) << e.text;
    EXPECT_EQ(s.staging->pixels.size(), 10u * 4 * 4);
    // A region past the frame's edge is refused, not read.
    StagingRegion outside{Region{8, 0, 4, 4}, {}};
    EXPECT_EQ(detect_read_region(outside, frame, {}, &e), RegionRead::kFailed);
    EXPECT_EQ(e.text, "región vacía o fuera de la imagen");
    EXPECT_FALSE(detect_create_staging_texture(Region{0, 0, 0, 5}).staging);
}

TEST(DetectorRegions, CopiesTheRegionRowsAndSkipsOnesUnderANoticeCard) {
    SharedFrame frame;
    frame.device = gpu_device_create(ScreenSize{64, 32});
    frame.width = 64;
    frame.height = 32;
    {
        std::lock_guard lock(frame.device->context_lock);
        FrameStore& f = frame.device->frame;
        for (std::uint32_t y = 0; y < f.height; ++y)
            for (std::uint32_t x = 0; x < f.width; ++x) {
                std::uint8_t* p = f.pixels.data() + y * f.stride + x * 4;
                p[0] = static_cast<std::uint8_t>(x);
                p[1] = static_cast<std::uint8_t>(y);
            }
    }
    StagingRegion s{Region{10, 5, 3, 2}, {}};
    PlatformError e;
    ASSERT_EQ(detect_read_region(s, frame, {}, &e), RegionRead::kRead);
    ASSERT_EQ(s.pixels.size(), 3u * 2 * 4);
    EXPECT_EQ(s.pixels[0], 10);
    EXPECT_EQ(s.pixels[1], 5);
    EXPECT_EQ(s.pixels[(1 * 3 + 2) * 4], 12);
    EXPECT_EQ(s.pixels[(1 * 3 + 2) * 4 + 1], 6);
    const CoveredRects card = [] { return std::vector<Region>{Region{12, 6, 20, 20}}; };
    // Under a card the region is not copied, and that is no failure.
    s.pixels.assign(s.pixels.size(), 0);
    e = PlatformError{};
    EXPECT_EQ(detect_read_region(s, frame, card, &e), RegionRead::kCovered);
    EXPECT_EQ(s.pixels[0], 0);
    EXPECT_TRUE(e.text.empty());
    const CoveredRects beside = [] { return std::vector<Region>{Region{13, 0, 20, 20}}; };
    EXPECT_EQ(detect_read_region(s, frame, beside, &e), RegionRead::kRead);
}

TEST(SlowRegions, GeometryAt1080pAndInsideTheFrame) {
    const SlowRegions r = slow_regions(1920, 1080);
    EXPECT_EQ(r.killfeed, (Region{0, 302, 852, 432}));
    EXPECT_EQ(r.menu, (Region{0, 594, 798, 324}));
    EXPECT_EQ(r.objectives, (Region{0, 32, 1068, 183}));
    const SlowRegions wide = slow_regions(3440, 1440);
    EXPECT_EQ(wide.killfeed, (Region{323, 403, 1253, 576}));
    for (auto [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {1280, 720}, {2560, 1440}, {3840, 2160}, {100, 1000}, {10, 10}, {1, 1}}) {
        const SlowRegions s = slow_regions(w, h);
        for (const Region& g : {s.killfeed, s.menu, s.objectives}) {
            EXPECT_LE(std::uint64_t{g.x} + g.width, w) << w << "x" << h;
            EXPECT_LE(std::uint64_t{g.y} + g.height, h) << w << "x" << h;
        }
    }
}

// ---- the thread on a fake clock ----

struct FakeProbe : ForegroundProbe {
    ForegroundWindow window;
    ForegroundWindow query() override { return window; }
};

struct FakeOcr : OcrEngine {
    OcrWordsResult recognize(const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        return {true, {}, {}};
    }
    const std::string& language() const override { return lang; }
    std::string lang = "eng";
};

// A scripted classifier: each reading takes `reading_time` on the fake clock
// and returns the next scripted outcome.
struct Script {
    DetectorInstant now{std::chrono::hours(1)};
    std::vector<DetectorInstant> sleeps;
    std::vector<DetectorInstant> pass_starts;
    std::vector<DetectorInstant> ticks;
    std::vector<std::string> log;
    DetectorClock::duration reading_time = 100ms;
    std::deque<int> outcomes;  // 0 ok, 1 error, 2 throw
    std::optional<std::string> gamertag;
};

struct ScriptEngine : DetectorEngine {
    explicit ScriptEngine(Script& s) : s_(s) {}
    DetectorReadResult read_frame(DetectorContext& c) override {
        s_.pass_starts.push_back(c.now);
        s_.now += s_.reading_time;
        ++stats_.lecturas;
        int outcome = 0;
        if (!s_.outcomes.empty()) {
            outcome = s_.outcomes.front();
            s_.outcomes.pop_front();
        }
        if (outcome == 2) throw std::runtime_error("fallo");
        if (outcome == 1) return {false, PlatformError{5, "Tesseract: el reconocimiento falló"}};
        return {};
    }
    void tick(DetectorInstant now) override { s_.ticks.push_back(now); }
    std::optional<std::string> gamertag() const override { return s_.gamertag; }
    DetectorStats& stats() override { return stats_; }
    Script& s_;
    DetectorStats stats_;
};

class DetectorLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        t.env.now = [this] { return s.now; };
        t.env.sleep_until = [this](DetectorInstant at) {
            s.sleeps.push_back(at);
            s.now = at;
        };
        t.env.log = [this](std::string_view m) { s.log.emplace_back(m); };
        t.env.local_time = [] { return std::string("21:07:45"); };
        t.env.enabled = &enabled;
        t.env.in_front = &in_front;
        t.env.stats_path = dir.path() / "detector.log";
        auto p = std::make_unique<FakeProbe>();
        probe = p.get();
        t.probe = std::move(p);
        t.engine = std::make_unique<ScriptEngine>(s);
        t.ocr = std::make_unique<FakeOcr>();
        t.frame.device = gpu_device_create(ScreenSize{640, 360});
        t.frame.width = 640;
        t.frame.height = 360;
        t.game_context = std::make_shared<GameContext>();
        t.menu_state = std::make_shared<MenuState>();
        game();
    }
    void game() { probe->window = {true, false, "/opt/juegos/cod25"}; }
    void other() { probe->window = {true, false, "/usr/lib/firefox/firefox"}; }
    void passes(int n) {
        for (int i = 0; i < n; ++i) detector_pass(t);
    }
    std::vector<std::string> take_log() { return std::exchange(s.log, {}); }

    test::TempDir dir;
    Script s;
    DetectorThread t;
    FakeProbe* probe = nullptr;
    std::atomic<bool> enabled{true};
    std::atomic<bool> in_front{false};
};

TEST_F(DetectorLoopTest, StartLineNamesTheGamertagAndTheRecogniser) {
    ASSERT_TRUE(detector_prepare(t));
    EXPECT_EQ(take_log(),
              std::vector<std::string>{
                  "\n[DETECTOR] Activo (OCR Tesseract). Tu gamertag se aprende solo con tus "
                  "primeras bajas (o escríbelo en [general] gamertag de la Configuración)."});
    s.gamertag = "PLAYERONE";
    ASSERT_TRUE(detector_prepare(t));
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "\n[DETECTOR] Activo: bajas, derribos, muertes y killcams de "
                              "PLAYERONE, con modo, mapa y lugar (OCR Tesseract)."});
    EXPECT_EQ(t.staging.bottom_band.region, (Region{86, 252, 468, 108}));
}

TEST_F(DetectorLoopTest, APreparationFailureIsLoggedForEveryRegion) {
    t.frame.width = 1;  // 1 × 1: the centre band has no pixels
    t.frame.height = 1;
    EXPECT_FALSE(detector_prepare(t));
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "\n[AVISO] No se pudo preparar el detector (memoria de video)."});
}

TEST_F(DetectorLoopTest, PassesStartEvery250MsAndALatePassDoesNotCatchUp) {
    ASSERT_TRUE(detector_prepare(t));
    const DetectorInstant t0 = s.now;
    passes(3);
    ASSERT_EQ(s.pass_starts.size(), 3u);
    EXPECT_EQ(s.pass_starts[0], t0 + 250ms);
    EXPECT_EQ(s.pass_starts[1], t0 + 500ms);
    EXPECT_EQ(s.pass_starts[2], t0 + 750ms);
    // A reading of 900 ms: the next pass starts at once, and the one after
    // 250 ms later, not three passes in a row to make up for the lost time.
    s.reading_time = 900ms;
    passes(1);  // starts at 1000 ms, ends at 1900 ms
    s.reading_time = 10ms;
    const std::size_t sleeps_before = s.sleeps.size();
    passes(2);
    EXPECT_EQ(s.pass_starts[4], t0 + 1900ms);
    EXPECT_EQ(s.sleeps.size(), sleeps_before + 1);
    EXPECT_EQ(s.pass_starts[5], t0 + 2150ms);
    // Every pass ends with one event tick, reading or not.
    EXPECT_EQ(s.ticks.size(), 6u);
}

TEST_F(DetectorLoopTest, FrontAndPauseLinesFollowTheWindowAndTheSwitch) {
    ASSERT_TRUE(detector_prepare(t));
    take_log();
    passes(2);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{
                  "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo."});
    EXPECT_TRUE(in_front.load());
    other();
    passes(2);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{
                  "[DETECTOR] En pausa: el juego no está al frente (ventana: firefox)."});
    EXPECT_FALSE(in_front.load());
    EXPECT_EQ(s.pass_starts.size(), 2u);  // no reading while another window is in front
    game();
    passes(1);
    take_log();
    // A minimised game: paused, without a window part.
    probe->window = {true, true, "/opt/juegos/cod25"};
    passes(1);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"[DETECTOR] En pausa: el juego no está al frente."});
    // No window at all: the same.
    game();
    passes(1);
    take_log();
    probe->window = {};
    passes(1);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"[DETECTOR] En pausa: el juego no está al frente."});
    // Switching detection off is silent and clears the flag; on again, the
    // front line comes back.
    game();
    passes(1);
    take_log();
    enabled = false;
    passes(3);
    EXPECT_TRUE(take_log().empty());
    EXPECT_FALSE(in_front.load());
    enabled = true;
    passes(1);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{
                  "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo."});
}

TEST_F(DetectorLoopTest, ErrorRunsAndInternalFailuresAreLoggedOnce) {
    ASSERT_TRUE(detector_prepare(t));
    passes(1);
    take_log();
    s.outcomes = {1, 1, 1, 1, 1, 0, 1, 2, 2, 0, 2};
    passes(11);
    EXPECT_EQ(take_log(),
              (std::vector<std::string>{
                  "\n[AVISO] Detector: Tesseract: el reconocimiento falló",
                  "\n[AVISO] Detector: Tesseract: el reconocimiento falló",
                  "\n[AVISO] Detector: una lectura falló y se omitió (el detector sigue "
                  "funcionando)."}));
    EXPECT_EQ(s.ticks.size(), 12u);  // a failed reading still ticks the engine
}

TEST_F(DetectorLoopTest, TwentySlowPassesWarnOnceUntilTheRunFalls) {
    ASSERT_TRUE(detector_prepare(t));
    passes(1);
    take_log();
    s.reading_time = 601ms;
    passes(19);
    EXPECT_TRUE(take_log().empty());
    passes(1);
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "\n[AVISO] Detector lento (601 ms por lectura): puede perder "
                              "alguna tarjeta. Cierra programas pesados o usa el perfil ligero."});
    passes(5);
    EXPECT_TRUE(take_log().empty());  // 25 in a row: still one line
    // Exactly 600 ms is not slow: the run falls below 20, then climbs back.
    s.reading_time = 600ms;
    passes(6);
    EXPECT_EQ(t.loop.slow_run, 19u);
    s.reading_time = 700ms;
    passes(1);
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "\n[AVISO] Detector lento (700 ms por lectura): puede perder "
                              "alguna tarjeta. Cierra programas pesados o usa el perfil ligero."});
}

TEST_F(DetectorLoopTest, StatisticsLineEveryTenSecondsOfReadingOnly) {
    s.gamertag = "PLAYERONE";
    ASSERT_TRUE(detector_prepare(t));
    // Not in front for a minute: no line.
    other();
    passes(240);
    EXPECT_FALSE(std::filesystem::exists(t.env.stats_path));
    game();
    t.engine->stats().killfeed = 3;
    t.engine->stats().tarjetas_baja = 1;
    t.engine->stats().ms_lento = 310;
    s.reading_time = 112ms;
    passes(1);  // 60 s since the start line: written at once
    EXPECT_EQ(test::read_file(t.env.stats_path),
              "21:07:45 lecturas=1 ms_prom=112 ms_lento=310 menu=0 previa=0 killfeed=3 "
              "tarjetas_baja=1 tarjetas_muerte=0 gamertag=PLAYERONE\n");
    // Counters and the sum were cleared; the next line needs 10 more seconds.
    const std::string first = test::read_file(t.env.stats_path);
    passes(39);
    EXPECT_EQ(test::read_file(t.env.stats_path), first);
    passes(1);
    const std::string text = test::read_file(t.env.stats_path);
    EXPECT_NE(text.find("\n21:07:45 lecturas=40 ms_prom=112 ms_lento=0 menu=0 previa=0 "
                        "killfeed=0 tarjetas_baja=0 tarjetas_muerte=0 gamertag=PLAYERONE\n"),
              std::string::npos)
        << text;
}

TEST(DetectorStatsFile, RotatesAbove2000000BytesOnly) {
    test::TempDir dir;
    const auto path = dir.path() / "detector.log";
    test::write_file(path, std::string(2'000'000, 'x'));
    detector_stats_append(path, "a\n");
    EXPECT_EQ(std::filesystem::file_size(path), 2'000'002u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "detector.log.1"));
    detector_stats_append(path, "b\n");
    EXPECT_EQ(test::read_file(path), "b\n");
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "detector.log.1"), 2'000'002u);
    // A gamertag from the INI cannot add a line or drive a terminal.
    detector_stats_append(path, "gamertag=a\n01:02:03 lecturas=9\x1b[2J\u2028\n");
    EXPECT_EQ(test::read_file(path), "b\ngamertag=a\\x0a01:02:03 lecturas=9\\x1b[2J\\u2028\n");
    // A folder that cannot be written is silent.
    detector_stats_append(dir.path() / "no-existe" / "detector.log", "c\n");
    DetectorStats s;
    EXPECT_EQ(detector_stats_line("01:02:03", s, 500, std::nullopt),
              "01:02:03 lecturas=0 ms_prom=0 ms_lento=0 menu=0 previa=0 killfeed=0 "
              "tarjetas_baja=0 tarjetas_muerte=0 gamertag=-\n");
}

TEST(DetectorRun, WithoutAnEngineItWarnsAndEnds) {
    std::vector<std::string> log;
    std::vector<std::string> balloons;
    DetectorStart start;
    start.env.log = [&](std::string_view m) { log.emplace_back(m); };
    start.make_ocr = [] { return std::unique_ptr<OcrEngine>(); };
    start.balloon = [&](const std::string& title, const std::string& text) {
        balloons.push_back(title + "|" + text);
    };
    start.quit = std::make_shared<QuitFlag>();
    detector_run(std::move(start));
    EXPECT_EQ(log, std::vector<std::string>{kOcrMissingLogText});
    EXPECT_EQ(balloons, std::vector<std::string>{
                            "Detector apagado|Instala los datos de Tesseract en inglés (paquete "
                            "tesseract-ocr-eng)."});
}

}  // namespace
}  // namespace corvane

#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "platform/priority.h"

namespace corvane {
namespace {

TEST(DetectorPriority, LowersOnlyTheCallingThread) {
    const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    int inside = 0;
    std::thread t([&] {
        thread_set_background_priority();
        inside = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    t.join();
    if (before <= 10) {
        EXPECT_EQ(inside, 10);
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), before);
}

}  // namespace
}  // namespace corvane
