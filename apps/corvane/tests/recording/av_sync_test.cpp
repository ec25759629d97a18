// Picture and sound stay together: a white flash on an Xvfb screen and a click
// on a PulseAudio null sink, made at the same moment, land in the replay
// buffer's video and audio tracks within one frame + 50 ms of each other.
#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "audio_test_util.h"
#include "recording/audio_encoder.h"
#include "recording/frame_clock.h"

// Last: Xlib's macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>

namespace corvane {
namespace {

void fill_root(const std::string& display, unsigned long rgb, int w, int h) {
    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    Window root = DefaultRootWindow(dpy);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    XSetForeground(dpy, gc, rgb);
    XFillRectangle(dpy, root, gc, 0, 0, w, h);
    XSync(dpy, False);
    XFreeGC(dpy, gc);
    XCloseDisplay(dpy);
}

// Plays silence on a sink with a short buffer, and a 20 ms click when asked.
class ClickPlayer {
  public:
    explicit ClickPlayer(const std::string& sink) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(20'000, &spec));
        attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
        int err = 0;
        s_ = pa_simple_new(nullptr, "prueba", PA_STREAM_PLAYBACK, sink.c_str(), "clic", &spec,
                           nullptr, &attr, &err);
        if (s_) thread_ = std::thread([this] { run(); });
    }
    ~ClickPlayer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (s_) pa_simple_free(s_);
    }
    bool ok() const { return s_ != nullptr; }
    void click() { click_ = true; }

  private:
    void run() {
        std::vector<std::int16_t> silence(240 * 2, 0), burst(240 * 2);
        for (std::size_t i = 0; i < 240; ++i)
            burst[2 * i] = burst[2 * i + 1] = (i / 12) % 2 ? 26000 : -26000;
        int err = 0;
        int left = 0;
        while (!stop_) {
            if (click_.exchange(false)) left = 4;  // 4 × 5 ms
            const auto& chunk = left > 0 ? burst : silence;
            if (left > 0) --left;
            if (pa_simple_write(s_, chunk.data(), chunk.size() * 2, &err) < 0) return;
        }
    }
    pa_simple* s_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false}, click_{false};
};

// Mean brightness of each decoded picture of an H.264 elementary stream.
std::vector<double> frame_brightness(const std::vector<ReplaySample>& video) {
    test::TempAppDir dir;
    std::string es;
    for (const ReplaySample& s : video) es.append(s.payload->begin(), s.payload->end());
    test::write_all(dir.dir() / "v.h264", es);
    int rc = test::run_quiet({"ffmpeg", "-nostdin", "-y", "-f", "h264", "-i",
                              (dir.dir() / "v.h264").string(), "-vf", "scale=16:12", "-f",
                              "rawvideo", "-pix_fmt", "gray", (dir.dir() / "v.raw").string()});
    std::vector<double> out;
    if (rc != 0) return out;
    std::string raw = test::read_all(dir.dir() / "v.raw");
    for (std::size_t at = 0; at + 192 <= raw.size(); at += 192) {
        double sum = 0;
        for (std::size_t i = 0; i < 192; ++i) sum += static_cast<unsigned char>(raw[at + i]);
        out.push_back(sum / 192);
    }
    return out;
}

TEST(AvSync, FlashAndClickStayWithinOneFramePlus50Ms) {
    XInitThreads();
    test::LogCapture log;
    constexpr int kW = 320, kH = 240;
    constexpr std::uint32_t kFps = 30;
    test::XvfbServer x(kW, kH);
    fill_root(x.display(), 0x000000, kW, kH);
    test::PulseDaemon pa(
        {"module-null-sink sink_name=juego rate=48000 sink_properties=device.description=Juego"});
    ClickPlayer player("juego");
    ASSERT_TRUE(player.ok());

    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, 600, 512);
    CaptureSizesResult sizes = capture_monitor_size(x.display(), std::nullopt);
    ASSERT_TRUE(sizes.ok) << sizes.error;
    VideoEncoderStartConfig ec;
    ec.width = sizes.sizes.output.width;
    ec.height = sizes.sizes.output.height;
    ec.fps = kFps;
    ec.codec = kCodecH264;
    ec.sink = sink;
    VideoEncoderStarted enc = video_encoder_start(std::move(ec));
    ASSERT_TRUE(enc.ok) << enc.error;

    test::CaptureThread game([] {
        AudioCaptureParams p;
        p.source = kSourceGame;
        p.device_id = "juego";
        p.ring = std::make_shared<AudioRing>();
        return p;
    }());
    ASSERT_TRUE(test::wait_for([&] { return game.ring().frames() > 4800; }, 30)) << log.text();
    AudioStartConfig ac;
    ac.game_ring = std::shared_ptr<AudioRing>(std::shared_ptr<AudioRing>{}, &game.ring());
    ac.fps = kFps;
    ac.sink = sink;
    AudioStarted audio = audio_start_encoders(ac);
    ASSERT_TRUE(audio.step);

    auto device = gpu_device_create(sizes.sizes.capture);
    auto quit = std::make_shared<QuitFlag>();
    ConverterResult conv = gpu_converter_create(sizes.sizes.capture, sizes.sizes.output);
    ASSERT_TRUE(conv.converter) << conv.error;
    CaptureStartResult cap = capture_start(x.display(), device, kFps, quit);
    ASSERT_TRUE(cap.capture) << cap.error;
    auto stats = std::make_shared<ClockStats>();
    ClockParams cp;
    cp.fps = kFps;
    cp.video = std::move(enc.frames);
    cp.audio = std::move(audio.step);
    cp.convert =
        clock_convert_with(std::shared_ptr<Nv12Converter>(std::move(conv.converter)), device);
    cp.signal = cap.capture->signal();
    cp.backlog = enc.backlog;
    cp.stats = stats;
    cp.quit = quit;
    std::thread clock(clock_thread_main, std::move(cp));

    auto count = [&](std::uint8_t track) {
        std::size_t n = 0;
        for (auto& s : replay_buffer_snapshot(*buffer)) n += s.track == track;
        return n;
    };
    bool ready =
        test::wait_for([&] { return count(kTrackVideo) >= 45 && count(kTrackAudio) >= 60; }, 60);
    if (ready) {
        fill_root(x.display(), 0xFFFFFF, kW, kH);
        player.click();
        const std::size_t at = count(kTrackVideo);
        ready = test::wait_for([&] { return count(kTrackVideo) >= at + 45; }, 60);
    }
    quit->set.store(true);
    clock.join();
    cap.capture.reset();
    ASSERT_TRUE(ready) << "ticks " << stats->ticks.load() << " late " << stats->late.load();

    std::vector<ReplaySample> video, aac;
    for (auto& s : replay_buffer_snapshot(*buffer))
        (s.track == kTrackVideo ? video : aac).push_back(s);
    ASSERT_TRUE(video.front().keyframe);

    std::vector<double> light = frame_brightness(video);
    ASSERT_EQ(light.size(), video.size());
    std::size_t j = 0;
    while (j < light.size() && light[j] < 128) ++j;
    ASSERT_LT(j, light.size()) << "no flash";
    const std::int64_t t_video = video[j].timestamp;

    std::vector<std::vector<std::uint8_t>> frames;
    for (auto& s : aac) frames.push_back(*s.payload);
    std::vector<float> pcm = test::decode_aac(frames);
    std::size_t n = 0;
    while (2 * n < pcm.size() && std::fabs(pcm[2 * n]) < 0.3f) ++n;
    ASSERT_LT(2 * n, pcm.size()) << "no click";
    const std::int64_t t_audio =
        aac.front().timestamp + static_cast<std::int64_t>(n) * 10'000'000 / 48000;

    const std::int64_t frame = 10'000'000 / kFps;
    EXPECT_LE(std::llabs(t_audio - t_video), frame + 500'000)
        << "flash at " << t_video / 10'000 << " ms, click at " << t_audio / 10'000 << " ms";
    RecordProperty("flash_ms", std::to_string(t_video / 10'000));
    RecordProperty("click_ms", std::to_string(t_audio / 10'000));
}

}  // namespace
}  // namespace corvane
