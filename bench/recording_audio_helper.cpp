// Drives the sound path as fast as it goes, for the audio benchmark: a
// 44.1 kHz stereo tone through the resampler and the voice leveller into a
// ring, the clock's audio step at 60 ticks per second of sound, and the AAC
// encoder thread into a replay buffer. Prints the AAC frames made.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "recording/audio_encoder.h"
#include "recording/audio_level.h"
#include "recording/audio_ring.h"

using namespace corvane;

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, 3600, 4000);
    ReplaySample key;
    key.payload =
        std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{0, 0, 1, 0x65});
    key.keyframe = true;
    (*sink)(key);

    AudioStartConfig c;
    c.game_ring = std::make_shared<AudioRing>();
    c.fps = 60;
    c.sink = sink;
    AudioStarted started = audio_start_encoders(c);
    if (!started.step) return 1;
    started.step->start();

    AudioResampler rs;
    rs.rate = 44100;
    VoiceLeveller lv;
    std::vector<float> in(441 * 2), out;
    std::uint64_t n = 0, tick = 0;
    for (int s = 0; s < seconds; ++s) {
        for (int packet = 0; packet < 100; ++packet) {  // 10 ms packets
            for (std::size_t i = 0; i < 441; ++i, ++n)
                in[2 * i] = in[2 * i + 1] =
                    0.1f * static_cast<float>(std::sin(2 * 3.14159265 * 1000 * n / 44100.0));
            out.clear();
            rs.process(in, out);
            lv.process(out);
            c.game_ring->append(out.data(), out.size());
            if (packet % 5 == 4) {  // 50 ms of sound: three ticks
                for (int k = 0; k < 3; ++k) started.step->step(tick++);
            }
        }
    }
    started.step.reset();
    const std::size_t want = static_cast<std::size_t>(seconds) * 48000 / 1024 - 2;
    for (;;) {
        std::size_t frames = 0;
        for (const ReplaySample& s : replay_buffer_snapshot(*buffer))
            frames += s.track == kTrackAudio;
        if (frames >= want) {
            std::printf("{\"aac_frames\": %zu}\n", frames);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
