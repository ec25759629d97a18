// The game-in-front test against a real X server: a window of a process whose
// program file is named cod25, focused without a window manager or announced
// through _NET_ACTIVE_WINDOW, then another window, then the game minimised.
// gtest first: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../recording/recording_test_util.h"
#include "../support/temp_dir.h"
#include "detection/detect.h"

extern char** environ;

namespace corvane {
namespace {

using namespace std::chrono_literals;

// The stand-in game: started with its own display, ended by closing its input.
class GameWindow {
  public:
    explicit GameWindow(const std::string& display) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> env_text = {"DISPLAY=" + display};
        std::vector<char*> env;
        for (auto& e : env_text) env.push_back(e.data());
        env.push_back(nullptr);
        std::string exe = CORVANE_GAME_WINDOW_HELPER;
        char* argv[] = {exe.data(), nullptr};
        const int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cod25 no arrancó");
        }
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        window_ = std::stoul(line);
    }
    ~GameWindow() {
        close(input_);
        int status;
        waitpid(pid_, &status, 0);
    }
    Window window() const { return window_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    Window window_ = 0;
};

struct CountingEngine : DetectorEngine {
    DetectorReadResult read_frame(DetectorContext&) override {
        ++readings;
        return {};
    }
    void tick(DetectorInstant) override {}
    std::optional<std::string> gamertag() const override { return std::nullopt; }
    DetectorStats& stats() override { return s; }
    int readings = 0;
    DetectorStats s;
};

struct NoOcr : OcrEngine {
    OcrWordsResult recognize(const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        return {true, {}, {}};
    }
    const std::string& language() const override { return l; }
    std::string l = "eng";
};

class DetectorXvfb : public ::testing::Test {
  protected:
    void SetUp() override {
        xvfb_ = std::make_unique<test::XvfbServer>(320, 240);
        d_ = XOpenDisplay(xvfb_->display().c_str());
        ASSERT_TRUE(d_);
        ForegroundProbeResult probe = foreground_probe_open(xvfb_->display());
        ASSERT_TRUE(probe.probe) << probe.error.text;
        t_.probe = std::move(probe.probe);
        t_.env.log = [this](std::string_view m) { log_.emplace_back(m); };
        t_.env.local_time = [] { return std::string("00:00:00"); };
        t_.env.enabled = &enabled_;
        t_.env.in_front = &in_front_;
        t_.env.stats_path = dir_.path() / "detector.log";
        t_.engine = std::make_unique<CountingEngine>();
        t_.ocr = std::make_unique<NoOcr>();
        t_.frame.device = gpu_device_create(ScreenSize{320, 240});
        t_.frame.width = 320;
        t_.frame.height = 240;
        t_.game_context = std::make_shared<GameContext>();
        t_.menu_state = std::make_shared<MenuState>();
        ASSERT_TRUE(detector_prepare(t_));
        log_.clear();
    }
    void TearDown() override {
        if (d_) XCloseDisplay(d_);
    }
    // Passes until a log line appears (at most 20 s), then that line.
    std::string next_line() {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (log_.empty() && std::chrono::steady_clock::now() < end) detector_pass(t_);
        if (log_.empty()) return "(nada)";
        std::string line = log_.front();
        log_.erase(log_.begin());
        return line;
    }
    void focus(Window w) {
        XSetInputFocus(d_, w, RevertToParent, CurrentTime);
        XSync(d_, False);
    }
    void set_active(Window w) {
        const unsigned long v = w;
        XChangeProperty(d_, DefaultRootWindow(d_), XInternAtom(d_, "_NET_ACTIVE_WINDOW", False),
                        XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&v),
                        1);
        XSync(d_, False);
    }

    test::TempDir dir_;
    std::unique_ptr<test::XvfbServer> xvfb_;
    Display* d_ = nullptr;
    DetectorThread t_;
    std::vector<std::string> log_;
    std::atomic<bool> enabled_{true};
    std::atomic<bool> in_front_{false};
};

TEST_F(DetectorXvfb, GameInFrontThenAnotherWindowThenMinimised) {
    GameWindow game(xvfb_->display());
    focus(game.window());
    EXPECT_EQ(next_line(), "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");
    EXPECT_TRUE(in_front_.load());

    // Our own window (this test program) takes the focus.
    const Window mine = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 50, 50, 0, 0, 0);
    const unsigned long pid = static_cast<unsigned long>(getpid());
    XChangeProperty(d_, mine, XInternAtom(d_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(d_, mine);
    XSync(d_, False);
    focus(mine);
    EXPECT_EQ(
        next_line(),
        "[DETECTOR] En pausa: el juego no está al frente (ventana: corvane_detection_tests).");
    EXPECT_FALSE(in_front_.load());

    // A window manager's word wins over the raw focus.
    set_active(game.window());
    EXPECT_EQ(next_line(), "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");

    // Minimised: paused, and no window is named.
    const unsigned long iconic[2] = {3, 0};
    const Atom wm_state = XInternAtom(d_, "WM_STATE", False);
    XChangeProperty(d_, game.window(), wm_state, wm_state, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(iconic), 2);
    XSync(d_, False);
    EXPECT_EQ(next_line(), "[DETECTOR] En pausa: el juego no está al frente.");
    EXPECT_GT(static_cast<CountingEngine&>(*t_.engine).readings, 0);

    // Restored, then hidden the way an EWMH window manager marks it.
    XDeleteProperty(d_, game.window(), wm_state);
    XSync(d_, False);
    EXPECT_EQ(next_line(), "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");
    const unsigned long hidden = XInternAtom(d_, "_NET_WM_STATE_HIDDEN", False);
    XChangeProperty(d_, game.window(), XInternAtom(d_, "_NET_WM_STATE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&hidden), 1);
    XSync(d_, False);
    EXPECT_EQ(next_line(), "[DETECTOR] En pausa: el juego no está al frente.");
}

TEST_F(DetectorXvfb, FocusOnAChildOrOnAWindowManagersFrameFindsTheGame) {
    GameWindow game(xvfb_->display());
    // The focus on a child of the game's window: walked up to the game.
    const Window child = XCreateSimpleWindow(d_, game.window(), 0, 0, 10, 10, 0, 0, 0);
    XMapWindow(d_, child);
    XSync(d_, False);
    focus(child);
    EXPECT_EQ(next_line(), "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");
    focus(PointerRoot);
    EXPECT_EQ(next_line(), "[DETECTOR] En pausa: el juego no está al frente.");
    // A frame without properties holding the game's window, as a
    // reparenting window manager makes it: the game is found inside.
    const Window frame = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 220, 120, 0, 0, 0);
    XMapWindow(d_, frame);
    XReparentWindow(d_, game.window(), frame, 0, 20);
    XSync(d_, False);
    focus(frame);
    EXPECT_EQ(next_line(), "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");
}

TEST_F(DetectorXvfb, AWindowThatVanishesIsNotTheGame) {
    {
        GameWindow game(xvfb_->display());
        set_active(game.window());
        EXPECT_EQ(next_line(),
                  "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo.");
    }
    // The window manager still names a window that no longer exists.
    EXPECT_EQ(next_line(), "[DETECTOR] En pausa: el juego no está al frente.");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST(ForegroundProbe, ALostDisplayAnswersNoWindowAndTheProcessGoesOn) {
    auto xvfb = std::make_unique<test::XvfbServer>(64, 64);
    ForegroundProbeResult r = foreground_probe_open(xvfb->display());
    ASSERT_TRUE(r.probe) << r.error.text;
    EXPECT_FALSE(r.probe->query().exists);  // nothing has the focus
    xvfb.reset();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(r.probe->query().exists);
    EXPECT_FALSE(foreground_probe_open(":987654").probe);
}

}  // namespace
}  // namespace corvane
