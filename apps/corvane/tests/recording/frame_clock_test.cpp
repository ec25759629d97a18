#include "recording/frame_clock.h"

#include <gtest/gtest.h>

#include "recording_test_util.h"

namespace corvane {
namespace {

constexpr std::int64_t kPeriod60 = 16'666'666;

// Fake time: a sleep jumps to its deadline plus a scripted lateness, then runs
// the test's hook (the other threads' moves between two ticks).
class FakeTicks final : public TickSource {
public:
    std::int64_t now_ns() override { return now; }
    void sleep_until_ns(std::int64_t d) override {
        ++sleeps;
        now = std::max(now, d) + (lateness ? lateness(sleeps) : 0);
        if (on_sleep) on_sleep(sleeps);
    }
    std::int64_t now = 1'000'000'000;
    int sleeps = 0;
    std::function<std::int64_t(int)> lateness;
    std::function<void(int)> on_sleep;
};

struct AudioLog {
    int starts = 0;
    std::vector<std::uint64_t> steps;
    bool destroyed = false;
    std::function<void(std::uint64_t)> on_step;
};

class FakeAudio final : public ClockAudioStep {
public:
    explicit FakeAudio(AudioLog* l) : l_(l) {}
    ~FakeAudio() override { l_->destroyed = true; }
    void start() override { ++l_->starts; }
    void step(std::uint64_t i) override {
        l_->steps.push_back(i);
        if (l_->on_step) l_->on_step(i);
    }

private:
    AudioLog* l_;
};

struct ClockRig {
    FakeTicks time;
    AudioLog audio;
    std::shared_ptr<FrameSignal> signal = std::make_shared<FrameSignal>();
    std::shared_ptr<EncoderBacklog> backlog = std::make_shared<EncoderBacklog>();
    std::shared_ptr<ClockStats> stats = std::make_shared<ClockStats>();
    std::shared_ptr<QuitFlag> quit = std::make_shared<QuitFlag>();
    std::shared_ptr<Nv12Frame> picture = nv12_frame_alloc(16, 16);
    int conversions = 0;
    bool fail_conversion = false;
    std::optional<ChannelReceiver<VideoFrameMsg>> encoder;
    std::vector<VideoFrameMsg> received;

    ClockRig() { signal->frame_available.store(1); }

    void drain() {
        if (!encoder) return;
        while (auto m = encoder->try_receive()) received.push_back(std::move(*m));
    }

    void run(std::uint32_t fps = 60) {
        auto [tx, rx] = make_channel<VideoFrameMsg>(kVideoChannelSlots);
        encoder.emplace(std::move(rx));
        ClockParams p;
        p.fps = fps;
        p.video = std::move(tx);
        p.audio = std::make_unique<FakeAudio>(&audio);
        p.convert = [this] {
            ++conversions;
            ConvertResult r;
            if (fail_conversion) r.error = PlatformError{1, "sin memoria de video"};
            else r.frame = picture;
            return r;
        };
        p.signal = signal;
        p.backlog = backlog;
        p.stats = stats;
        p.quit = quit;
        p.time = &time;
        auto user = time.on_sleep;
        time.on_sleep = [this, user](int n) {
            drain();
            if (user) user(n);
        };
        clock_thread_main(std::move(p));
        drain();
    }

    std::vector<std::int64_t> frame_stamps() const {
        std::vector<std::int64_t> v;
        for (auto& m : received)
            if (m.frame) v.push_back(m.timestamp);
        return v;
    }
    int ends() const {
        int n = 0;
        for (auto& m : received) n += !m.frame;
        return n;
    }
};

TEST(FrameClock, FirstFramesGetExactStampsAndAudioFollowsTheTicks) {
    ClockRig r;
    r.audio.on_step = [&](std::uint64_t i) {
        if (i == 2) r.quit->set.store(true);
    };
    r.run();
    EXPECT_EQ(r.frame_stamps(), (std::vector<std::int64_t>{0, 166'666, 333'333}));
    EXPECT_EQ(r.ends(), 1);
    EXPECT_TRUE(r.received.back().frame == nullptr);  // end of stream comes last
    EXPECT_EQ(r.audio.starts, 1);
    EXPECT_EQ(r.audio.steps, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_TRUE(r.audio.destroyed);
    EXPECT_EQ(r.stats->ticks.load(), 3u);
    EXPECT_EQ(r.stats->late.load(), 0u);
    EXPECT_EQ(r.backlog->count(), 3u);
    EXPECT_FALSE(r.stats->recording_stopped.load());
}

TEST(FrameClock, WaitsForTheFirstPictureAndCountsFromIt) {
    ClockRig r;
    r.signal->frame_available.store(0);
    r.time.on_sleep = [&](int n) {
        if (n == 3) r.signal->frame_available.store(1);  // ticks 0..2 have no picture
        if (n == 5) r.quit->set.store(true);
    };
    r.run(30);
    EXPECT_EQ(r.stats->ticks.load(), 6u);
    EXPECT_EQ(r.audio.steps, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(r.frame_stamps(), (std::vector<std::int64_t>{0, 333'333, 666'666}));
}

TEST(FrameClock, StallsSkipTicksInsteadOfBursting) {
    ClockRig r;
    // Sleep 1 (towards tick 1) wakes 2.5 periods late; sleep 3 wakes 0.9 late.
    r.time.lateness = [](int n) -> std::int64_t {
        if (n == 1) return kPeriod60 * 5 / 2;
        if (n == 3) return kPeriod60 * 9 / 10;
        return 0;
    };
    r.audio.on_step = [&](std::uint64_t i) {
        if (i >= 5) r.quit->set.store(true);
    };
    r.run();
    EXPECT_EQ(r.stats->late.load(), 1u);
    // Tick 1 is skipped and the late wake-up runs as tick 2; 0.9 late skips nothing.
    EXPECT_EQ(r.audio.steps, (std::vector<std::uint64_t>{0, 2, 3, 4, 5}));
    EXPECT_EQ(r.frame_stamps(),
              (std::vector<std::int64_t>{0, 333'333, 500'000, 666'666, 833'333}));
}

TEST(FrameClock, FullBacklogDropsTheTicksFrameWithoutConverting) {
    ClockRig r;
    for (int i = 0; i < 14; ++i) r.backlog->sent(1'000'000'000 + i);
    r.audio.on_step = [&](std::uint64_t i) {
        if (i == 4) r.backlog->finished(1'000'000'000);  // the encoder finishes one
        if (i == 6) r.quit->set.store(true);
    };
    r.run();
    // Ticks 0..4 are late, 5 sends (backlog 13 → 14), 6 is late again.
    EXPECT_EQ(r.stats->late.load(), 6u);
    EXPECT_EQ(r.conversions, 1);
    EXPECT_EQ(r.frame_stamps(), (std::vector<std::int64_t>{833'333}));
    EXPECT_EQ(r.audio.steps.size(), 7u);  // sound goes on
}

TEST(FrameClock, QuitBeforeTheFirstPictureStillEndsTheStream) {
    ClockRig r;
    r.signal->frame_available.store(0);
    r.time.on_sleep = [&](int n) {
        if (n == 2) r.quit->set.store(true);
    };
    r.run();
    EXPECT_EQ(r.ends(), 1);
    EXPECT_TRUE(r.frame_stamps().empty());
    EXPECT_EQ(r.audio.starts, 0);
    EXPECT_TRUE(r.audio.steps.empty());

    ClockRig already;
    already.quit->set.store(true);
    already.run();
    EXPECT_EQ(already.ends(), 1);
    EXPECT_EQ(already.stats->ticks.load(), 0u);
}

TEST(FrameClock, ADeadEncoderStopsTheRecordingOnTheNextTick) {
    // Also while the backlog is full, when nothing is being sent.
    for (bool full : {false, true}) {
        test::LogCapture log;
        ClockRig r;
        if (full)
            for (int i = 0; i < 14; ++i) r.backlog->sent(1'000'000'000 + i);
        r.time.on_sleep = [&](int n) {
            if (n == 3) r.encoder->close();
            if (n == 50) r.quit->set.store(true);  // a safety net; never reached
        };
        r.run();
        EXPECT_EQ(r.stats->ticks.load(), 4u) << full;
        EXPECT_TRUE(r.stats->recording_stopped.load());
        EXPECT_TRUE(r.audio.destroyed);
        EXPECT_EQ(r.audio.steps.size(), 3u);
        std::string text = log.text();
        auto first = text.find("[ERROR] La grabación se detuvo: el codificador de video terminó.");
        EXPECT_NE(first, std::string::npos);
        EXPECT_EQ(text.find("[ERROR]", first + 1), std::string::npos);  // logged once
    }
}

TEST(FrameClock, AFailedConversionIsLoggedAndCountedLate) {
    test::LogCapture log;
    ClockRig r;
    r.audio.on_step = [&](std::uint64_t i) {
        r.fail_conversion = false;  // the next tick tries again
        if (i == 1) r.quit->set.store(true);
    };
    r.fail_conversion = true;
    r.run();
    EXPECT_EQ(r.stats->late.load(), 1u);
    EXPECT_EQ(r.frame_stamps(), (std::vector<std::int64_t>{166'666}));
    EXPECT_NE(log.text().find("[ERROR] Conversión de color en la GPU: sin memoria de video"), std::string::npos);
}

}  // namespace
}  // namespace corvane
