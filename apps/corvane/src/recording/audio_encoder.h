// The sound's way into the replay buffer: the frame clock's audio step (cuts
// each tick's share of 48 kHz time from the rings, applies the volumes, mixes
// or separates the voice), and the AAC encoder threads "crvn-codificador-audio"
// that turn its 16-bit PCM blocks into samples of track 1 (the clip's sound)
// and track 2 (the voice apart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/settings.h"
#include "platform/audio_codec.h"
#include "recording/audio_capture.h"
#include "recording/audio_ring.h"
#include "recording/channel.h"
#include "recording/frame_clock.h"
#include "recording/replay_buffer.h"
#include "recording/track_format.h"

namespace corvane {

// Interleaved L, R signed 16-bit little-endian samples at 48 kHz, and where
// the first of them sits on the recording's time line (48 kHz frames from the
// first audio tick). The position travels with the block so that a block the
// clock had to drop leaves a gap in the track, never a shift of what follows.
struct PcmBlock {
    std::uint64_t start = 0;
    std::vector<std::uint8_t> bytes;
};
inline constexpr std::size_t kAudioBlockSlots = 128;

// A lag of the rings up to this many frames (60 ms) is carried to later ticks;
// a larger one is filled with silence.
inline constexpr std::uint64_t kAudioCarryFrames = 2880;
// The most one block carries (1 s); a longer span goes out in several.
inline constexpr std::uint64_t kAudioMaxBlockFrames = 48000;
// The rings are cut back to this many frames (200 ms) after every step.
inline constexpr std::size_t kAudioKeepFrames = 9600;

// Samples per channel in one AAC frame.
inline constexpr std::uint64_t kAacFrameSamples = 1024;

// Exact stamp of a time line position (48 kHz frames) in 100-ns units:
// ⌊p·10^7/48000⌋.
std::int64_t audio_position_stamp(std::uint64_t position);
// Exact stamp of AAC frame k: ⌊k·1024·10^7/48000⌋.
std::int64_t aac_frame_stamp(std::uint64_t k);

struct AudioClockConfig {
    std::shared_ptr<AudioRing> game;  // null: no game sound
    float game_volume = 1.0f;
    std::shared_ptr<AudioRing> mic;  // null: no microphone
    float mic_volume = 1.0f;
    bool voice_apart = false;       // the voice goes to its own track
    ChannelSender<PcmBlock> main;   // track 1; required
    ChannelSender<PcmBlock> voice;  // track 2; may be empty
    std::uint32_t fps = 60;
};

// The clock's audio step. A full channel is waited on for about two tick
// periods; then the block is dropped (logged once per stall), and further
// blocks are offered without waiting until one gets through again.
class AudioClockStep final : public ClockAudioStep {
  public:
    explicit AudioClockStep(AudioClockConfig config);
    void start() override;
    void step(std::uint64_t frame_index) override;
    std::uint64_t produced() const { return produced_; }

  private:
    void send(ChannelSender<PcmBlock>& to, PcmBlock block, bool& dropping);

    AudioClockConfig c_;
    std::uint64_t produced_ = 0;
    bool main_dropping_ = false;
    bool voice_dropping_ = false;
    // Mixing room kept across ticks, so a tick allocates only the blocks it sends.
    std::vector<float> main_mix_;
    std::vector<float> voice_mix_;
};

struct AudioEncoderReply {
    bool ok = false;
    std::string text;  // the failure
};

using AacEncoderFactory = std::function<AacEncoderOpen()>;

struct AudioEncoderParams {
    ChannelSender<AudioEncoderReply> reply;
    ChannelReceiver<PcmBlock> blocks;
    std::shared_ptr<FormatSlot> format;
    std::shared_ptr<SampleSink> sink;
    std::uint8_t track = kTrackAudio;
    AacEncoderFactory factory;  // empty: aac_encoder_open
};

// The encoder thread body: replies once, then encodes until the block channel
// ends or the encoder fails.
void audio_encoder_thread_main(AudioEncoderParams params);

struct AudioEncoderStarted {
    bool ok = false;
    std::string error;
    ChannelSender<PcmBlock> blocks;
    std::shared_ptr<FormatSlot> format;
};

// Starts the thread and waits for its one reply.
AudioEncoderStarted encoder_start_audio_thread(std::shared_ptr<SampleSink> sink, std::uint8_t track,
                                               AacEncoderFactory factory = {});

struct AudioStartConfig {
    std::shared_ptr<AudioRing> game_ring;  // null when [audio] juego is off
    float game_volume = 1.0f;
    std::shared_ptr<AudioRing> mic_ring;  // null when [audio] microfono is off
    float mic_volume = 1.0f;
    bool mic_in_video = true;  // [audio] microfono_en_video
    std::uint32_t fps = 60;
    std::shared_ptr<SampleSink> sink;
    AacEncoderFactory factory;
};

struct AudioStarted {
    std::unique_ptr<AudioClockStep> step;      // null: no audio track
    std::shared_ptr<FormatSlot> main_format;   // for the clip's sound
    std::shared_ptr<FormatSlot> voice_format;  // for the voice apart; null without
};

// Starts the main encoder and, when the voice goes apart, the voice encoder;
// logs "[AVISO] Sin audio: {}" or "[AVISO] Tu voz aparte no se podrá
// guardar: {}" when they cannot start. Nothing starts without a ring.
AudioStarted audio_start_encoders(AudioStartConfig config);

// The whole start-up of the sound, in order: a capture thread with a fresh ring
// for each source that [audio] switches on (the leveller on the microphone as
// nivelar_microfono says), then the encoders. When a capture thread cannot be
// created nothing more starts: `spawn_error` holds the system's reason and
// `spawn_source` the source whose thread it was.
struct AudioRecordingStarted {
    std::string spawn_error;
    std::uint8_t spawn_source = 0;
    std::shared_ptr<AudioRing> game_ring;  // null when the source is off
    std::shared_ptr<AudioRing> mic_ring;
    AudioStarted audio;
};
AudioRecordingStarted audio_recording_start(const Settings::Audio& settings, std::uint32_t fps,
                                            std::shared_ptr<SampleSink> sink,
                                            std::shared_ptr<QuitFlag> quit,
                                            AacEncoderFactory factory = {});

}  // namespace corvane
