// Picture and sound stay together: a white flash on an Xvfb screen and a click
// on a PulseAudio null sink, made at the same moment, land within one frame +
// 50 ms of each other in the replay buffer's video and audio tracks and in the
// MP4 the clip saver writes from it, as ffmpeg decodes that file. On a busy
// machine the two cannot be made at exactly one moment: the test measures how
// far apart they really were and holds the recording to that.
#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "audio_test_util.h"
#include "base/avisos.h"
#include "recording/audio_encoder.h"
#include "recording/clip_saver.h"
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

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Plays silence on a sink, and a 20 ms click when asked. The stream holds
// 100 ms, so a player thread held up for less than that never lets it run
// dry; once the click is written, the player tells when it will be heard.
class ClickPlayer {
  public:
    explicit ClickPlayer(const std::string& sink) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(100'000, &spec));
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
    // The steady clock's nanoseconds at which the click's first sample is
    // played; 0 until it has been written.
    std::int64_t plays_at_ns() const { return plays_at_.load(); }

  private:
    void run() {
        std::vector<std::int16_t> silence(240 * 2, 0), burst(240 * 2);
        for (std::size_t i = 0; i < 240; ++i)
            burst[2 * i] = burst[2 * i + 1] = (i / 12) % 2 ? 26000 : -26000;
        int err = 0;
        int left = 0;
        while (!stop_) {
            const bool first = click_.exchange(false);
            if (first) left = 4;  // 4 × 5 ms
            const auto& chunk = left > 0 ? burst : silence;
            if (left > 0) --left;
            if (pa_simple_write(s_, chunk.data(), chunk.size() * 2, &err) < 0) return;
            if (first) {
                // The latency reaches to the end of what was just written: the
                // click's first sample is one 5 ms chunk earlier.
                const pa_usec_t latency = pa_simple_get_latency(s_, &err);
                plays_at_ = steady_ns() + static_cast<std::int64_t>(latency) * 1000 - 5'000'000;
            }
        }
    }
    pa_simple* s_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false}, click_{false};
    std::atomic<std::int64_t> plays_at_{0};
};

// Mean brightness of each picture ffmpeg decodes from `input` (its input
// options and file), every decoded picture once.
std::vector<double> picture_brightness(std::vector<std::string> input) {
    test::TempDir dir;
    const std::string raw_path = (dir.path() / "v.raw").string();
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-y"};
    args.insert(args.end(), input.begin(), input.end());
    args.insert(args.end(), {"-map", "0:v:0", "-fps_mode", "passthrough", "-vf", "scale=16:12",
                             "-f", "rawvideo", "-pix_fmt", "gray", raw_path});
    std::vector<double> out;
    if (test::run_quiet(args) != 0) return out;
    const std::string raw = test::read_file(raw_path);
    for (std::size_t at = 0; at + 192 <= raw.size(); at += 192) {
        double sum = 0;
        for (std::size_t i = 0; i < 192; ++i) sum += static_cast<unsigned char>(raw[at + i]);
        out.push_back(sum / 192);
    }
    return out;
}

// The same for an H.264 elementary stream made of the buffer's samples.
std::vector<double> frame_brightness(const std::vector<ReplaySample>& video) {
    test::TempDir dir;
    std::string es;
    for (const ReplaySample& s : video) es.append(s.payload->begin(), s.payload->end());
    test::write_file(dir.path() / "v.h264", es);
    return picture_brightness({"-f", "h264", "-i", (dir.path() / "v.h264").string()});
}

// Presentation times in seconds of the frames ffprobe decodes from one stream
// ("v:0", "a:0") of a media file.
std::vector<double> decoded_frame_times(const std::filesystem::path& file, const char* stream) {
    test::TempDir dir;
    const std::string out = (dir.path() / "times.csv").string();
    std::vector<double> times;
    if (test::run_quiet({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                         "frame=pts_time", "-of", "csv=p=0", "-o", out, file.string()}) != 0)
        return times;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) times.push_back(std::stod(line));
    }
    return times;
}

// The first audio track of a media file as 48 kHz interleaved stereo floats.
std::vector<float> decoded_sound(const std::filesystem::path& file) {
    test::TempDir dir;
    const std::string out = (dir.path() / "a.raw").string();
    if (test::run_quiet({"ffmpeg", "-nostdin", "-y", "-i", file.string(), "-map", "0:a:0", "-f",
                         "f32le", "-ac", "2", "-ar", "48000", out}) != 0)
        return {};
    const std::string raw = test::read_file(out);
    std::vector<float> v(raw.size() / 4);
    std::memcpy(v.data(), raw.data(), v.size() * 4);
    return v;
}

// Index of the first picture brighter than mid-grey; size() when none is.
std::size_t first_bright(const std::vector<double>& light) {
    std::size_t j = 0;
    while (j < light.size() && light[j] < 128) ++j;
    return j;
}

// Index of the first stereo frame whose left sample is loud; the frame count
// when none is.
std::size_t first_loud(const std::vector<float>& pcm) {
    std::size_t n = 0;
    while (2 * n < pcm.size() && std::fabs(pcm[2 * n]) < 0.3f) ++n;
    return n;
}

TEST(AvSync, FlashAndClickStayTogetherInTheBufferAndTheSavedClip) {
    XInitThreads();
    test::LogCapture log;
    avisos_clear_for_tests();
    constexpr int kW = 320, kH = 240;
    constexpr std::uint32_t kFps = 30;
    constexpr std::int64_t kFrame = 10'000'000 / kFps;
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
    AudioStarted audio = audio_start_encoders(std::move(ac));
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
    // 45 pictures in, the flash comes after the keyframe at 1 s (one a
    // second), so the clip below can start there rather than at the buffer's
    // first picture.
    bool ready =
        test::wait_for([&] { return count(kTrackVideo) >= 45 && count(kTrackAudio) >= 60; }, 60);
    // How much later than the click the flash was drawn, in 100 ns units.
    std::int64_t skew = 0;
    if (ready) {
        player.click();
        ready = test::wait_for([&] { return player.plays_at_ns() != 0; }, 60);
    }
    if (ready) {
        const std::int64_t plays_at = player.plays_at_ns();
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(plays_at)));
        const std::int64_t before = steady_ns();
        fill_root(x.display(), 0xFFFFFF, kW, kH);
        skew = ((before + steady_ns()) / 2 - plays_at) / 100;
        const std::size_t at = count(kTrackVideo);
        ready = test::wait_for([&] { return count(kTrackVideo) >= at + 45; }, 60);
    }
    quit->set.store(true);
    clock.join();
    cap.capture.reset();
    ASSERT_TRUE(ready) << "ticks " << stats->ticks.load() << " late " << stats->late.load();
    // The encoders drain what the clock sent them and end, letting go of the
    // sink: from then on the buffer no longer changes.
    ASSERT_TRUE(test::wait_for([&] { return sink.use_count() == 1; }, 60));

    const std::vector<ReplaySample> snapshot = replay_buffer_snapshot(*buffer);
    std::vector<ReplaySample> video, aac;
    for (const ReplaySample& s : snapshot) (s.track == kTrackVideo ? video : aac).push_back(s);
    ASSERT_TRUE(video.front().keyframe);

    // In the buffer.
    const std::vector<double> light = frame_brightness(video);
    ASSERT_EQ(light.size(), video.size());
    const std::size_t j = first_bright(light);
    ASSERT_LT(j, light.size()) << "no flash";
    const std::int64_t t_video = video[j].timestamp;

    std::vector<std::vector<std::uint8_t>> frames;
    for (auto& s : aac) frames.push_back(*s.payload);
    const std::vector<float> pcm = test::decode_aac(frames);
    const std::size_t n = first_loud(pcm);
    ASSERT_LT(2 * n, pcm.size()) << "no click";
    const std::int64_t t_audio =
        aac.front().timestamp + static_cast<std::int64_t>(n) * 10'000'000 / 48000;

    EXPECT_LE(std::llabs(t_audio + skew - t_video), kFrame + 500'000)
        << "flash at " << t_video / 10'000 << " ms, click at " << t_audio / 10'000 << " ms, drawn "
        << skew / 10'000 << " ms after it was heard";

    // In a clip saved from it. The span reaches back to the last keyframe at
    // least 0.2 s before the flash, so the clip is cut inside the buffer and
    // both tracks must be shifted by the same amount.
    std::int64_t key = -1;
    for (const ReplaySample& s : video) {
        if (s.keyframe && s.timestamp <= t_video - 2'000'000) key = s.timestamp;
    }
    ASSERT_GT(key, video.front().timestamp) << "no keyframe between the start and the flash";
    const std::int64_t span = clip_video_end(snapshot) - key;
    test::TempDir clips;
    ClipSaverContext ctx;
    ctx.clips_folder = clips.path();
    ctx.buffer = buffer;
    ctx.video_format = clip_format_source(enc.format);
    ctx.audio_format = clip_format_source(audio.main_format);
    ctx.sound_on_save = false;
    ctx.local_time = [] { return LocalDateTime{"2026-10-25", "21-03-07"}; };
    SaveRequest request = save_request_manual();
    request.span = SaveSpan{static_cast<std::uint64_t>(span / 10'000'000),
                            static_cast<std::uint32_t>(span % 10'000'000 * 100)};
    const ClipSaveResult saved = clipsaver_save(ctx, request);
    avisos_clear_for_tests();
    ASSERT_EQ(saved.outcome, ClipSaveResult::Outcome::saved) << saved.error << log.text();

    const std::vector<double> clip_light = picture_brightness({"-i", saved.clip.string()});
    const std::vector<double> picture_times = decoded_frame_times(saved.clip, "v:0");
    ASSERT_FALSE(clip_light.empty());
    ASSERT_EQ(clip_light.size(), picture_times.size());
    const std::size_t cj = first_bright(clip_light);
    ASSERT_LT(cj, clip_light.size()) << "no flash in the clip";
    const double clip_flash = picture_times[cj];
    // The clip starts at the chosen keyframe: the flash is where the buffer had it.
    EXPECT_NEAR(clip_flash, static_cast<double>(t_video - key) / 1e7, 0.001);

    const std::vector<float> clip_pcm = decoded_sound(saved.clip);
    const std::vector<double> sound_times = decoded_frame_times(saved.clip, "a:0");
    ASSERT_FALSE(sound_times.empty()) << "no sound in the clip";
    const std::size_t cn = first_loud(clip_pcm);
    ASSERT_LT(2 * cn, clip_pcm.size()) << "no click in the clip";
    const double clip_click = sound_times.front() + static_cast<double>(cn) / 48000;

    EXPECT_LE(std::fabs(clip_click + static_cast<double>(skew) / 1e7 - clip_flash), 1.0 / kFps + 0.050)
        << "in the clip: flash at " << clip_flash << " s, click at " << clip_click << " s, drawn "
        << skew / 10'000 << " ms after it was heard";
    RecordProperty("flash_ms", std::to_string(t_video / 10'000));
    RecordProperty("click_ms", std::to_string(t_audio / 10'000));
    RecordProperty("clip_flash_ms", std::to_string(std::lround(clip_flash * 1000)));
    RecordProperty("clip_click_ms", std::to_string(std::lround(clip_click * 1000)));
    RecordProperty("drawn_after_heard_ms", std::to_string(skew / 10'000));
}

}  // namespace
}  // namespace corvane
