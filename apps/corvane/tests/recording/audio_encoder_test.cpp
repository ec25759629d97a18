#include "recording/audio_encoder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio_test_util.h"
#include "platform/thread.h"
#include "recording/audio_level.h"

namespace corvane {
namespace {

using test::LogCapture;

std::vector<float> filled(std::size_t frames, float l, float r) {
    std::vector<float> v(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        v[2 * i] = l;
        v[2 * i + 1] = r;
    }
    return v;
}

void feed(AudioRing& ring, std::size_t frames, float l = 0.25f, float r = -0.25f) {
    auto v = filled(frames, l, r);
    ring.append(v.data(), v.size());
}

std::int16_t sample_at(const PcmBlock& b, std::size_t value_index) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(
        b.bytes[2 * value_index] | (b.bytes[2 * value_index + 1] << 8)));
}

// A clock step with its two receiving ends.
struct StepRig {
    std::shared_ptr<AudioRing> game = std::make_shared<AudioRing>();
    std::shared_ptr<AudioRing> mic;
    ChannelReceiver<PcmBlock> main_rx, voice_rx;
    std::unique_ptr<AudioClockStep> step;

    explicit StepRig(std::uint32_t fps, bool with_game = true, bool with_mic = false,
                     bool apart = false, float game_vol = 1.0f, float mic_vol = 1.0f,
                     std::size_t slots = kAudioBlockSlots) {
        if (!with_game) game.reset();
        if (with_mic) mic = std::make_shared<AudioRing>();
        auto [mtx, mrx] = make_channel<PcmBlock>(slots);
        auto [vtx, vrx] = make_channel<PcmBlock>(slots);
        main_rx = std::move(mrx);
        voice_rx = std::move(vrx);
        AudioClockConfig c;
        c.game = game;
        c.game_volume = game_vol;
        c.mic = mic;
        c.mic_volume = mic_vol;
        c.voice_apart = apart;
        c.main = std::move(mtx);
        if (apart) c.voice = std::move(vtx);
        c.fps = fps;
        step = std::make_unique<AudioClockStep>(std::move(c));
    }
    // Frames in each block sent since the last call.
    static std::vector<std::size_t> drain(ChannelReceiver<PcmBlock>& rx,
                                          std::vector<PcmBlock>* keep = nullptr) {
        std::vector<std::size_t> sizes;
        while (auto b = rx.try_receive()) {
            sizes.push_back(b->bytes.size() / 4);
            if (keep) keep->push_back(std::move(*b));
        }
        return sizes;
    }
};

TEST(AudioClockStep, SteadyCaptureSendsEachTicksShare) {
    for (auto [fps, per_tick] : {std::pair{60u, 800u}, {120u, 400u}, {30u, 1600u}}) {
        StepRig rig(fps);
        feed(*rig.game, 5000);
        rig.step->start();  // sound from before the first picture is dropped
        EXPECT_EQ(rig.game->frames(), 0u);
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < fps; ++i) {
            feed(*rig.game, per_tick);
            rig.step->step(i);
            auto sizes = StepRig::drain(rig.main_rx);
            ASSERT_EQ(sizes, std::vector<std::size_t>{per_tick}) << "fps " << fps << " tick " << i;
            total += sizes[0];
            if (i < 3 && fps == 60) {
                EXPECT_EQ(rig.step->produced(), 800 * (i + 1));
            }
        }
        EXPECT_EQ(total, 48000u);
    }
    // 48000 not a multiple of the rate: the floor spreads the remainder, the
    // total stays exact.
    StepRig rig(7);
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < 70; ++i) {
        feed(*rig.game, 7000);
        rig.step->step(i);
        for (auto n : StepRig::drain(rig.main_rx)) total += n;
    }
    EXPECT_EQ(total, 480000u);
}

TEST(AudioClockStep, UnpluggedDeviceIsCarriedThenPaddedWithSilence) {
    StepRig rig(60);
    rig.step->start();
    std::vector<PcmBlock> blocks;
    // Nothing arrives. A shortfall up to 2880 frames (800, 1600, 2400) is
    // carried; at 3200 the whole need goes out at once as silence, so the
    // track never falls more than 60 ms behind the ticks.
    std::vector<std::size_t> sent_per_tick;
    for (std::uint64_t i = 0; i < 12; ++i) {
        rig.step->step(i);
        auto sizes = StepRig::drain(rig.main_rx, &blocks);
        sent_per_tick.push_back(sizes.empty() ? 0 : sizes[0]);
    }
    EXPECT_EQ(sent_per_tick,
              (std::vector<std::size_t>{0, 0, 0, 3200, 0, 0, 0, 3200, 0, 0, 0, 3200}));
    for (const PcmBlock& b : blocks)
        for (std::size_t k = 0; k < b.bytes.size() / 2; ++k) ASSERT_EQ(sample_at(b, k), 0);
    // The device returns: its sound flows again, first what the carry owes.
    feed(*rig.game, 3200);
    rig.step->step(12);
    blocks.clear();
    EXPECT_EQ(StepRig::drain(rig.main_rx, &blocks), std::vector<std::size_t>{800});
    EXPECT_EQ(sample_at(blocks[0], 0), 8191);
    EXPECT_EQ(rig.step->produced(), 13u * 800);
}

TEST(AudioClockStep, ShortRingSendsWhatIsThereAndCarriesTheRest) {
    StepRig rig(60);
    rig.step->start();
    feed(*rig.game, 500);
    rig.step->step(0);
    EXPECT_EQ(StepRig::drain(rig.main_rx), std::vector<std::size_t>{500});
    feed(*rig.game, 2000);
    rig.step->step(1);  // need = 1600 − 500
    EXPECT_EQ(StepRig::drain(rig.main_rx), std::vector<std::size_t>{1100});
    EXPECT_EQ(rig.game->frames(), 900u);
}

TEST(AudioClockStep, StallTakesTheWholeSpanRingFirstThenSilence) {
    StepRig rig(60);
    rig.step->start();
    feed(*rig.game, 800);
    rig.step->step(0);
    StepRig::drain(rig.main_rx);
    feed(*rig.game, 4000);
    rig.step->step(10);  // ticks 1..9 were skipped: 8000 frames due
    std::vector<PcmBlock> blocks;
    EXPECT_EQ(StepRig::drain(rig.main_rx, &blocks), std::vector<std::size_t>{8000});
    EXPECT_EQ(sample_at(blocks[0], 2 * 3999), 8191);
    EXPECT_EQ(sample_at(blocks[0], 2 * 4000), 0);
    EXPECT_EQ(rig.step->produced(), 8800u);

    // A stall of ten seconds: the span goes out in blocks of at most a second.
    rig.step->step(610);
    blocks.clear();
    EXPECT_EQ(StepRig::drain(rig.main_rx, &blocks),
              (std::vector<std::size_t>{48000, 48000, 48000, 48000, 48000, 48000, 48000, 48000,
                                        48000, 48000}));
    EXPECT_EQ(rig.step->produced(), 611u * 800);
    for (std::size_t k = 0; k < blocks.size(); ++k) EXPECT_EQ(blocks[k].start, 8800u + 48000u * k);
}

TEST(AudioClockStep, FastDeviceIsCutBackTo200Ms) {
    StepRig rig(60);
    rig.step->start();
    for (std::uint64_t i = 0; i < 3000; ++i) {
        feed(*rig.game, 808);  // 1 % fast
        rig.step->step(i);
        ASSERT_LE(rig.game->frames(), kAudioKeepFrames);
        StepRig::drain(rig.main_rx);
    }
    EXPECT_EQ(rig.game->frames(), kAudioKeepFrames);
    EXPECT_EQ(rig.step->produced(), 3000u * 800);
}

TEST(AudioClockStep, VoiceMixedOrApart) {
    {  // both sources, voice apart: each track has its own sound, same lengths
        StepRig rig(60, true, true, true);
        rig.step->start();
        std::vector<PcmBlock> main, voice;
        for (std::uint64_t i = 0; i < 5; ++i) {
            feed(*rig.game, 800, 0.25f, 0.25f);
            feed(*rig.mic, 800, 0.5f, 0.5f);
            rig.step->step(i);
            EXPECT_EQ(StepRig::drain(rig.main_rx, &main), StepRig::drain(rig.voice_rx, &voice));
        }
        ASSERT_EQ(main.size(), 5u);
        EXPECT_EQ(sample_at(main[4], 0), 8191);
        EXPECT_EQ(sample_at(voice[4], 0), 16383);
    }
    {  // microphone only, voice apart: the microphone ring leads, the main track is silence
        StepRig rig(60, false, true, true);
        rig.step->start();
        feed(*rig.mic, 500, 0.5f, 0.5f);
        rig.step->step(0);
        std::vector<PcmBlock> main, voice;
        EXPECT_EQ(StepRig::drain(rig.main_rx, &main), std::vector<std::size_t>{500});
        EXPECT_EQ(StepRig::drain(rig.voice_rx, &voice), std::vector<std::size_t>{500});
        for (std::size_t k = 0; k < 1000; ++k) ASSERT_EQ(sample_at(main[0], k), 0);
        EXPECT_EQ(sample_at(voice[0], 999), 16383);
    }
    {  // mixed, with volumes; 400 % on a loud voice goes through the soft limiter
        StepRig rig(60, true, true, false, 0.5f, 4.0f);
        rig.step->start();
        feed(*rig.game, 800, 0.5f, 0.5f);
        feed(*rig.mic, 800, 0.05f, 0.2f);
        rig.step->step(0);
        std::vector<PcmBlock> main;
        EXPECT_EQ(StepRig::drain(rig.main_rx, &main), std::vector<std::size_t>{800});
        EXPECT_TRUE(StepRig::drain(rig.voice_rx).empty());
        EXPECT_EQ(sample_at(main[0], 0), 14745);  // 0.25 + 0.2 = 0.45
        EXPECT_EQ(sample_at(main[0], 1),
                  32394);  // 0.25 + 0.8 = 1.05, softened to 0.9886 rather than clipped
    }
}

TEST(AudioClockStep, StuckEncoderDropsAfterTwoPeriodsAndLogsOnce) {
    LogCapture log;
    StepRig rig(60, true, false, false, 1.0f, 1.0f, 2);
    rig.step->start();
    for (std::uint64_t i = 0; i < 2; ++i) {
        feed(*rig.game, 800);
        rig.step->step(i);
    }
    auto t0 = std::chrono::steady_clock::now();
    feed(*rig.game, 800);
    rig.step->step(2);  // full: waits about two periods, then drops
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(30));
    for (std::uint64_t i = 3; i < 10; ++i) {
        feed(*rig.game, 800);
        rig.step->step(i);
    }
    const std::string text = log.text();
    const std::string line = "El codificador de audio va atrasado";
    ASSERT_NE(text.find(line), std::string::npos);
    EXPECT_EQ(text.find(line), text.rfind(line));
    EXPECT_EQ(rig.step->produced(), 8000u);  // the clock's count goes on
    // The encoder catches up: blocks flow again, each at its own place on
    // the time line, so the eight lost blocks are a gap, not a shift.
    std::vector<PcmBlock> kept;
    StepRig::drain(rig.main_rx, &kept);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].start, 0u);
    EXPECT_EQ(kept[1].start, 800u);
    feed(*rig.game, 800);
    rig.step->step(10);
    kept.clear();
    EXPECT_EQ(StepRig::drain(rig.main_rx, &kept), std::vector<std::size_t>{800});
    EXPECT_EQ(kept[0].start, 8000u);
}

TEST(AudioEncoder, ExactStamps) {
    EXPECT_EQ(aac_frame_stamp(0), 0);
    EXPECT_EQ(aac_frame_stamp(1), 213333);
    EXPECT_EQ(aac_frame_stamp(2), 426666);
    EXPECT_EQ(aac_frame_stamp(3), 640000);
    EXPECT_EQ(aac_frame_stamp(1000), 213333333);
    // One hour of frames ends on the hour to 100 ns.
    EXPECT_EQ(aac_frame_stamp(168750), 36'000'000'000);
}

std::vector<PcmBlock> tone_blocks(double seconds, double freq, std::size_t frames_per_block) {
    const std::size_t total = static_cast<std::size_t>(seconds * 48000);
    std::vector<float> v(total * 2);
    for (std::size_t i = 0; i < total; ++i)
        v[2 * i] = v[2 * i + 1] =
            0.5f * static_cast<float>(std::sin(2 * 3.14159265358979 * freq * i / 48000.0));
    std::vector<PcmBlock> out;
    for (std::size_t at = 0; at < total; at += frames_per_block) {
        std::size_t n = std::min(frames_per_block, total - at);
        out.push_back(PcmBlock{at, audio_f32_to_pcm16(v.data() + 2 * at, 2 * n)});
    }
    return out;
}

TEST(AudioEncoder, ToneBecomesStampedAacFramesOfItsTrack) {
    auto sink = test::audio_test_sink();
    AudioEncoderStarted st = encoder_start_audio_thread(sink, kTrackVoice);
    ASSERT_TRUE(st.ok) << st.error;
    auto fmt = st.format->load();
    ASSERT_TRUE(fmt);
    EXPECT_EQ(fmt->codec, TrackCodec::aac);
    EXPECT_EQ(fmt->sample_rate, 48000u);
    EXPECT_EQ(fmt->channels, 2u);
    ASSERT_GE(fmt->extradata.size(), 2u);  // AudioSpecificConfig: AAC-LC, 48 kHz, stereo
    EXPECT_EQ(fmt->extradata[0], 0x11);
    EXPECT_EQ(fmt->extradata[1], 0x90);

    for (auto& b : tone_blocks(2.0, 1000, 800)) ASSERT_TRUE(st.blocks.send(std::move(b)));
    // 96,000 frames make 93 whole AAC frames; the encoder holds one or two back.
    ASSERT_TRUE(test::wait_for(
        [&] { return test::track_payloads(*sink->buffer, kTrackVoice).size() >= 90; }, 30));
    st.blocks.close();

    std::vector<ReplaySample> samples;
    for (auto& s : replay_buffer_snapshot(*sink->buffer))
        if (s.track == kTrackVoice) samples.push_back(s);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k].timestamp, aac_frame_stamp(k));
        ASSERT_EQ(samples[k].duration, aac_frame_stamp(k + 1) - aac_frame_stamp(k));
        ASSERT_TRUE(samples[k].keyframe);
    }
    std::vector<float> pcm = test::decode_aac(test::track_payloads(*sink->buffer, kTrackVoice));
    ASSERT_GT(pcm.size(), 48000u * 2);
    std::vector<float> tail(pcm.begin() + 9600 * 2, pcm.end());
    EXPECT_EQ(test::strongest_tone(tail, {500, 800, 1000, 1200, 2000}), 1000);
    // Level kept within half a decibel (0.5 amplitude sine: mean power 1/8).
    double p = 0;
    for (std::size_t i = 0; i < tail.size(); i += 2) p += double(tail[i]) * tail[i];
    p /= tail.size() / 2;
    EXPECT_NEAR(10 * std::log10(p / 0.125), 0.0, 0.5);
}

// The real AAC encoder behind a gate: while the gate is shut, send() hangs
// like an encoder stuck in a driver.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<bool> entered{false};
    void wait() {
        entered = true;
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return open; });
    }
    void release() {
        {
            std::lock_guard lock(m);
            open = true;
        }
        cv.notify_all();
    }
};

class GatedAac final : public AacEncoder {
  public:
    GatedAac(std::unique_ptr<AacEncoder> real, std::shared_ptr<Gate> gate)
        : real_(std::move(real)), gate_(std::move(gate)) {}
    std::optional<AacFailure> send(const std::int16_t* s, std::size_t frames,
                                   std::uint64_t start) override {
        gate_->wait();
        return real_->send(s, frames, start);
    }
    AacReceive receive(std::vector<std::uint8_t>& f, std::uint64_t* pos, AacFailure* e) override {
        return real_->receive(f, pos, e);
    }
    std::vector<std::uint8_t> audio_specific_config() const override {
        return real_->audio_specific_config();
    }

  private:
    std::unique_ptr<AacEncoder> real_;
    std::shared_ptr<Gate> gate_;
};

std::vector<ReplaySample> track_samples(const ReplayBuffer& buffer, std::uint8_t track) {
    std::vector<ReplaySample> out;
    for (auto& s : replay_buffer_snapshot(buffer))
        if (s.track == track) out.push_back(s);
    return out;
}

TEST(AudioEncoder, DroppedBlocksLeaveAGapNotAShift) {
    LogCapture log;
    auto gate = std::make_shared<Gate>();
    auto sink = test::audio_test_sink();
    AudioStartConfig c;
    c.game_ring = std::make_shared<AudioRing>();
    c.fps = 60;
    c.sink = sink;
    c.factory = [gate] {
        AacEncoderOpen o = aac_encoder_open();
        if (o.encoder) o.encoder = std::make_unique<GatedAac>(std::move(o.encoder), gate);
        return o;
    };
    AudioStarted started = audio_start_encoders(c);
    ASSERT_TRUE(started.step);
    AudioClockStep& step = *started.step;
    step.start();
    std::uint64_t tick = 0;
    auto run_ticks = [&](std::uint64_t n) {
        for (std::uint64_t end = tick + n; tick < end; ++tick) {
            feed(*c.game_ring, 800);
            step.step(tick);
        }
    };
    // The encoder hangs on tick 0's block; ticks 1..128 fill the channel's
    // 128 slots, ticks 129..139 find it full and are dropped.
    run_ticks(1);
    ASSERT_TRUE(test::wait_for([&] { return gate->entered.load(); }, 30));
    run_ticks(139);
    EXPECT_NE(log.text().find("El codificador de audio va atrasado"), std::string::npos);
    gate->release();
    // 129 blocks (103,200 frames) make 100 whole AAC frames; the encoder
    // holds the newest back, so 99 come out.
    ASSERT_TRUE(test::wait_for(
        [&] { return test::track_payloads(*sink->buffer, kTrackAudio).size() >= 99; }, 30));
    const std::uint64_t resumed_at = step.produced();
    ASSERT_EQ(resumed_at, 140u * 800);
    run_ticks(20);
    ASSERT_TRUE(test::wait_for(
        [&] { return test::track_payloads(*sink->buffer, kTrackAudio).size() >= 110; }, 30));
    started.step.reset();  // closes the channel: the encoder thread ends

    std::vector<ReplaySample> samples = track_samples(*sink->buffer, kTrackAudio);
    // Before the drop: frame k at k × 1024, as always.
    ASSERT_GT(samples.size(), 102u);
    for (std::size_t k = 0; k <= 100; ++k)
        ASSERT_EQ(samples[k].timestamp, aac_frame_stamp(k)) << k;
    // After it: the first frame of the resumed sound sits where the clock
    // produced it (late by the encoder's priming like every frame, the first
    // at 0), and what follows runs on from there.
    EXPECT_EQ(samples[101].timestamp, audio_position_stamp(resumed_at + kAacFrameSamples));
    for (std::size_t k = 101; k < samples.size(); ++k) {
        const std::uint64_t pos = resumed_at + kAacFrameSamples * (k - 100);
        ASSERT_EQ(samples[k].timestamp, audio_position_stamp(pos)) << k;
        ASSERT_EQ(samples[k].duration,
                  audio_position_stamp(pos + kAacFrameSamples) - audio_position_stamp(pos));
    }
    // The gap is the lost sound: eleven dropped ticks and the 800 frames that
    // waited for a whole AAC frame when the drop came.
    const std::int64_t gap = samples[101].timestamp -
                             (samples[100].timestamp + samples[100].duration);
    EXPECT_EQ(gap, audio_position_stamp(11 * 800 + 800));
}

TEST(AudioEncoder, StartFailuresAreWarningsNotFatal) {
    LogCapture log;
    std::atomic<int> opened{0};
    auto none = [&] {
        ++opened;
        AacEncoderOpen r;
        r.failure = AacFailure{"el sistema no tiene codificador AAC", {}, true};
        return r;
    };
    AudioStartConfig c;
    c.game_ring = std::make_shared<AudioRing>();
    c.mic_ring = std::make_shared<AudioRing>();
    c.mic_in_video = false;
    c.sink = test::audio_test_sink();
    c.factory = none;
    AudioStarted s = audio_start_encoders(c);
    EXPECT_FALSE(s.step);
    EXPECT_FALSE(s.main_format);
    EXPECT_EQ(opened.load(), 1);  // no voice encoder after the main one failed
    EXPECT_NE(log.text().find("[AVISO] Sin audio: el sistema no tiene codificador AAC"),
              std::string::npos);

    // Only the voice encoder fails: the main track goes on.
    std::atomic<int> calls{0};
    c.factory = [&] {
        if (calls++ == 0) return aac_encoder_open();
        AacEncoderOpen r;
        r.failure = AacFailure{"formatos de audio", PlatformError{12, "Cannot allocate memory"}};
        return r;
    };
    AudioStarted v = audio_start_encoders(c);
    EXPECT_TRUE(v.step);
    EXPECT_TRUE(v.main_format);
    EXPECT_FALSE(v.voice_format);
    EXPECT_NE(log.text().find("[AVISO] Tu voz aparte no se podrá guardar: formatos de audio "
                              "(Cannot allocate memory)"),
              std::string::npos);

    // Neither source on: nothing is started.
    calls = 0;
    AudioStartConfig off;
    off.factory = c.factory;
    EXPECT_FALSE(audio_start_encoders(off).step);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// The ring's writer, the clock's step and both encoder threads at once.
TEST(AudioConcurrency, CaptureStepAndEncodersShareRingsAndChannels) {
    auto sink = test::audio_test_sink();
    AudioStartConfig c;
    c.game_ring = std::make_shared<AudioRing>();
    c.mic_ring = std::make_shared<AudioRing>();
    c.mic_in_video = false;
    c.fps = 60;
    c.sink = sink;
    AudioStarted started = audio_start_encoders(c);
    ASSERT_TRUE(started.step && started.voice_format);

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<float> packet(480 * 2, 0.1f);
        while (!stop) {
            c.game_ring->append(packet.data(), packet.size());
            c.mic_ring->append(packet.data(), packet.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    started.step->start();
    for (std::uint64_t i = 0; i < 120; ++i) {
        started.step->step(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    writer.join();
    // Ticks run faster than the writer: at most 60 ms may still be owed.
    const std::uint64_t produced = started.step->produced();
    EXPECT_LE(produced, 120u * 800);
    EXPECT_GE(produced, 120u * 800 - kAudioCarryFrames);
    started.step.reset();
    // Both tracks get the same frames, less what the encoders hold back.
    const std::size_t whole = produced / 1024;
    EXPECT_TRUE(test::wait_for(
        [&] {
            return test::track_payloads(*sink->buffer, kTrackAudio).size() >= whole - 2 &&
                   test::track_payloads(*sink->buffer, kTrackVoice).size() >= whole - 2;
        },
        60));
}

TEST(AudioEncoder, BothEncoderThreadsCarryTheTableName) {
    // The factory runs on the encoder's own thread.
    for (std::uint8_t track : {kTrackAudio, kTrackVoice}) {
        std::string full, os;
        AudioEncoderStarted st = encoder_start_audio_thread(test::audio_test_sink(), track, [&] {
            full = thread_current_name();
            char buf[32] = {};
            pthread_getname_np(pthread_self(), buf, sizeof buf);
            os = buf;
            return aac_encoder_open();
        });
        ASSERT_TRUE(st.ok) << st.error;
        EXPECT_EQ(full, "crvn-codificador-audio") << int(track);
        EXPECT_EQ(os, "crvn-cod-audio") << int(track);
        st.blocks.close();
    }
}

}  // namespace
}  // namespace corvane
