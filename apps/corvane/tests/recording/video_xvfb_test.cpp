// The video path on a real X server: Xvfb with a painted pattern, captured,
// converted, encoded by libx264 and pushed into the replay buffer.
#include <gtest/gtest.h>

#include <thread>

#include "recording/frame_clock.h"
#include "recording_test_util.h"

// Last: Xlib's macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>

namespace corvane {
namespace {

struct Quadrant {
    const char* name;
    unsigned long rgb;
    int y, u, v;  // BT.709 studio range
};
const Quadrant kQuadrants[4] = {
    {"red", 0xFF0000, 63, 102, 240},
    {"green", 0x00FF00, 173, 42, 26},
    {"blue", 0x0000FF, 32, 240, 118},
    {"white", 0xFFFFFF, 235, 128, 128},
};

// Paints the four quadrants on the root window (nothing covers it on Xvfb).
void paint_quadrants(const std::string& display, int w, int h) {
    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    Window root = DefaultRootWindow(dpy);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    for (int q = 0; q < 4; ++q) {
        XSetForeground(dpy, gc, kQuadrants[q].rgb);
        XFillRectangle(dpy, root, gc, (q % 2) * w / 2, (q / 2) * h / 2, w / 2, h / 2);
    }
    // The pointer sits over the red quadrant; the capture must not show it.
    XWarpPointer(dpy, None, root, 0, 0, 0, 0, w / 4, h / 4);
    XSync(dpy, False);
    XFreeGC(dpy, gc);
    XCloseDisplay(dpy);
}

class XvfbVideo : public ::testing::Test {
protected:
    static void SetUpTestSuite() { XInitThreads(); }
    void SetUp() override {
        xvfb_ = std::make_unique<test::XvfbServer>(kW, kH);
        paint_quadrants(xvfb_->display(), kW, kH);
    }
    static constexpr int kW = 640, kH = 360;
    std::unique_ptr<test::XvfbServer> xvfb_;
};

TEST_F(XvfbVideo, CaptureSeesThePatternWithoutThePointerAndConvertsToBt709) {
    CaptureSizesResult sizes = capture_monitor_size(xvfb_->display(), std::nullopt);
    ASSERT_TRUE(sizes.ok) << sizes.error;
    EXPECT_EQ(sizes.sizes.capture.width, 640u);
    EXPECT_EQ(sizes.sizes.output.height, 360u);
    auto device = gpu_device_create(sizes.sizes.capture);
    auto quit = std::make_shared<QuitFlag>();
    CaptureStartResult cap = capture_start(xvfb_->display(), device, 30, quit);
    ASSERT_TRUE(cap.capture) << cap.error;
    auto signal = cap.capture->signal();
    ASSERT_TRUE(test::wait_for([&] { return signal->frames_arrived.load() >= 3; }, 30));

    {
        std::lock_guard lock(device->context_lock);
        const FrameStore& f = device->frame;
        for (int q = 0; q < 4; ++q) {
            // Probe points spread over the quadrant, including around the pointer.
            for (auto [dx, dy] : {std::pair{0, 0}, std::pair{3, 5}, std::pair{-8, 8}, std::pair{60, -40}}) {
                std::uint32_t x = static_cast<std::uint32_t>((q % 2) * kW / 2 + kW / 4 + dx);
                std::uint32_t y = static_cast<std::uint32_t>((q / 2) * kH / 2 + kH / 4 + dy);
                const std::uint8_t* p = f.pixels.data() + y * f.stride + x * 4;
                unsigned long rgb = kQuadrants[q].rgb;
                EXPECT_EQ(p[0], rgb & 0xFF) << kQuadrants[q].name << " " << x << "," << y;
                EXPECT_EQ(p[1], (rgb >> 8) & 0xFF) << kQuadrants[q].name;
                EXPECT_EQ(p[2], (rgb >> 16) & 0xFF) << kQuadrants[q].name;
                EXPECT_EQ(p[3], 255);
            }
        }
    }

    ConverterResult conv = gpu_converter_create(sizes.sizes.capture, sizes.sizes.output);
    ASSERT_TRUE(conv.converter) << conv.error;
    ConvertResult r = gpu_convert_frame(*conv.converter, *device);
    ASSERT_TRUE(r.frame);
    for (int q = 0; q < 4; ++q) {
        std::uint32_t x = static_cast<std::uint32_t>((q % 2) * kW / 2 + kW / 4 + 20);
        std::uint32_t y = static_cast<std::uint32_t>((q / 2) * kH / 2 + kH / 4 + 20);
        EXPECT_NEAR(r.frame->y_at(x, y), kQuadrants[q].y, 1) << kQuadrants[q].name;
        EXPECT_NEAR(r.frame->u_at(x, y), kQuadrants[q].u, 1) << kQuadrants[q].name;
        EXPECT_NEAR(r.frame->v_at(x, y), kQuadrants[q].v, 1) << kQuadrants[q].name;
    }

    // The capture keeps pace: several more frames arrive, and it stops on quit.
    std::uint64_t before = signal->frames_arrived.load();
    EXPECT_TRUE(test::wait_for([&] { return signal->frames_arrived.load() >= before + 10; }, 30));
    quit->set.store(true);
    cap.capture.reset();  // joins the thread
}

TEST(XvfbNoSharedMemory, FallsBackToPlainReadsAndClipsToTheScreen) {
    XInitThreads();
    test::XvfbServer x(320, 240, {"-extension", "MIT-SHM"});
    paint_quadrants(x.display(), 320, 240);
    // Asked for more than the screen has: the grab is clipped, never an X error.
    ScreenGrabberResult g = screen_grabber_open(x.display(), 400, 300);
    ASSERT_TRUE(g.grabber) << g.error.text;
    EXPECT_TRUE(g.grabber->slow_path());
    const ScreenImage* img = g.grabber->grab();
    ASSERT_NE(img, nullptr) << g.grabber->error().text;
    EXPECT_EQ(img->width, 320);
    EXPECT_EQ(img->height, 240);
    const std::uint8_t* blue = img->bgra + (3 * 240 / 4) * img->stride + (320 / 4) * 4;
    EXPECT_EQ(blue[0], 255);
    EXPECT_EQ(blue[1], 0);
    EXPECT_EQ(blue[2], 0);
    // A second grab reads into the same image and sees the same screen.
    img = g.grabber->grab();
    ASSERT_NE(img, nullptr) << g.grabber->error().text;
    EXPECT_EQ(img->width, 320);
    blue = img->bgra + (3 * 240 / 4) * img->stride + (320 / 4) * 4;
    EXPECT_EQ(blue[0], 255);
    EXPECT_EQ(blue[2], 0);
    // Into a larger capture target: only the top-left part is written.
    SharedFrame shared{gpu_device_create(ScreenSize{400, 300}), std::make_shared<FrameSignal>(), 400, 300};
    capture_on_frame_arrived(shared, *img);
    EXPECT_EQ(shared.signal->frames_arrived.load(), 1u);
    EXPECT_EQ(shared.device->frame.pixels[(100 * 400 + 100) * 4 + 2], 255);  // red quadrant
    EXPECT_EQ(shared.device->frame.pixels[(250 * 400 + 350) * 4 + 2], 0);    // untouched
}

TEST(XvfbLost, ALostDisplayEndsTheCaptureAndAsksToQuit) {
    XInitThreads();
    test::LogCapture log;
    auto x = std::make_unique<test::XvfbServer>(160, 120);
    auto quit = std::make_shared<QuitFlag>();
    CaptureStartResult cap = capture_start(x->display(), gpu_device_create(ScreenSize{160, 120}), 30, quit);
    ASSERT_TRUE(cap.capture) << cap.error;
    ASSERT_TRUE(test::wait_for([&] { return cap.capture->signal()->frames_arrived.load() > 0; }, 30));
    x.reset();  // the X server goes away; the process must not
    EXPECT_TRUE(test::wait_for([&] { return quit->set.load(); }, 30));
    cap.capture.reset();
    EXPECT_NE(log.text().find("[ERROR] Se perdió la conexión con la pantalla; Corvane se cerrará."),
              std::string::npos);
}

// Capture, clock and encoder threads together: also run under ThreadSanitizer.
class TsanXvfbPipeline : public XvfbVideo {};

TEST_F(TsanXvfbPipeline, FillsTheReplayBufferWithH264) {
    CaptureSizesResult sizes = capture_monitor_size(xvfb_->display(), 320);
    ASSERT_TRUE(sizes.ok) << sizes.error;
    EXPECT_EQ(sizes.sizes.output.width, 568u);  // 640 × 320 ÷ 360 = 568.9 → 568
    EXPECT_EQ(sizes.sizes.output.height, 320u);
    const std::uint32_t fps = 30;
    auto device = gpu_device_create(sizes.sizes.capture);
    auto quit = std::make_shared<QuitFlag>();
    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, 60, 1024);

    VideoEncoderStartConfig ec;
    ec.width = sizes.sizes.output.width;
    ec.height = sizes.sizes.output.height;
    ec.fps = fps;
    ec.bits_per_pixel = 0.1;
    ec.bitrate_ceiling_mbps = 15;
    ec.quality_vs_speed = 33;
    ec.codec = kCodecH264;
    ec.sink = sink;
    VideoEncoderStarted enc = video_encoder_start(std::move(ec));
    ASSERT_TRUE(enc.ok) << enc.error;
    EXPECT_EQ(enc.mean_bit_rate, 4'000'000u);

    ConverterResult conv = gpu_converter_create(sizes.sizes.capture, sizes.sizes.output);
    ASSERT_TRUE(conv.converter) << conv.error;
    CaptureStartResult cap = capture_start(xvfb_->display(), device, fps, quit);
    ASSERT_TRUE(cap.capture) << cap.error;

    auto stats = std::make_shared<ClockStats>();
    ClockParams cp;
    cp.fps = fps;
    cp.video = std::move(enc.frames);
    cp.convert = clock_convert_with(std::shared_ptr<Nv12Converter>(std::move(conv.converter)), device);
    cp.signal = cap.capture->signal();
    cp.backlog = enc.backlog;
    cp.stats = stats;
    cp.quit = quit;
    std::thread clock(clock_thread_main, std::move(cp));

    auto video_count = [&] {
        std::size_t n = 0;
        for (auto& s : replay_buffer_snapshot(*buffer)) n += s.track == kTrackVideo;
        return n;
    };
    bool filled = test::wait_for([&] { return video_count() >= 75; }, 60);
    quit->set.store(true);
    clock.join();
    cap.capture.reset();
    ASSERT_TRUE(filled) << "ticks " << stats->ticks.load() << " late " << stats->late.load();
    EXPECT_FALSE(stats->recording_stopped.load());

    std::vector<ReplaySample> v;
    for (auto& s : replay_buffer_snapshot(*buffer))
        if (s.track == kTrackVideo) v.push_back(s);
    ASSERT_TRUE(v.front().keyframe);
    // Stamps sit on the 30 fps grid, strictly increasing, one frame long each.
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::int64_t idx = video_frame_index(v[i].timestamp, fps);
        EXPECT_EQ(video_frame_stamp(idx, fps), v[i].timestamp);
        EXPECT_EQ(v[i].duration, video_frame_stamp(idx + 1, fps) - v[i].timestamp);
        if (i) {
            EXPECT_GT(v[i].timestamp, v[i - 1].timestamp);
        }
        // GOP = fps: a keyframe every 30 encoded frames and only then.
        EXPECT_EQ(v[i].keyframe, i % fps == 0) << i;
        EXPECT_EQ(v[i].keyframe, encoder_payload_is_key(kCodecH264, *v[i].payload)) << i;
    }
    // The rate: frames cover the span they claim, minus the ticks counted late.
    std::int64_t span_frames = video_frame_index(v.back().timestamp, fps) -
                               video_frame_index(v.front().timestamp, fps) + 1;
    EXPECT_GE(static_cast<std::uint64_t>(v.size()) + stats->late.load(), static_cast<std::uint64_t>(span_frames));

    auto format = enc.format->load();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->codec, TrackCodec::h264);
    EXPECT_EQ(format->width, 568u);
    EXPECT_EQ(format->height, 320u);
    EXPECT_EQ(format->fps, fps);
    auto units = encoder_find_start_codes(format->extradata);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(format->extradata[units[0].start] & 0x1F, 7);  // SPS
    EXPECT_EQ(format->extradata[units[1].start] & 0x1F, 8);  // PPS
    EXPECT_EQ(std::vector<std::uint8_t>(format->extradata.begin(), format->extradata.begin() + 4),
              (std::vector<std::uint8_t>{0, 0, 0, 1}));
}

}  // namespace
}  // namespace corvane
