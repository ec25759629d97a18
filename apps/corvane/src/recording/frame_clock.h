// The frame clock "crvn-reloj": the recorder's master clock. Each tick converts
// the newest picture and hands it to the video encoder, then lets the audio
// step cut the tick's share of sound.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/flags.h"
#include "recording/capture.h"
#include "recording/channel.h"
#include "recording/gpu.h"
#include "recording/video_encoder.h"

namespace corvane {

// Read by the status thread.
struct ClockStats {
    std::atomic<std::uint64_t> ticks{0};
    std::atomic<std::uint64_t> late{0};
    // Set when the video encoder has gone: nothing is being recorded any more.
    std::atomic<bool> recording_stopped{false};
};

// Monotonic time in nanoseconds and an absolute sleep; tests inject their own.
class TickSource {
public:
    virtual ~TickSource() = default;
    virtual std::int64_t now_ns() = 0;
    virtual void sleep_until_ns(std::int64_t deadline) = 0;
};
TickSource& tick_source_monotonic();

// The audio side of each tick. Destroying it closes the audio encoders' input.
class ClockAudioStep {
public:
    virtual ~ClockAudioStep() = default;
    // The first tick with a picture: sound captured before it is thrown away.
    virtual void start() = 0;
    // After the tick's video work; frame_index counts ticks from the first
    // picture (it jumps after a stall).
    virtual void step(std::uint64_t frame_index) = 0;
};

struct ClockParams {
    std::uint32_t fps = 60;
    ChannelSender<VideoFrameMsg> video;
    std::unique_ptr<ClockAudioStep> audio;  // null: no audio track
    // The tick's conversion (gpu_convert_frame on the recorder's objects).
    std::function<ConvertResult()> convert;
    std::shared_ptr<FrameSignal> signal;
    std::shared_ptr<EncoderBacklog> backlog;
    std::shared_ptr<ClockStats> stats;
    std::shared_ptr<QuitFlag> quit;
    TickSource* time = nullptr;  // null: the monotonic clock
};

// Runs until the quit flag is set or the video encoder has gone; then sends
// the end of stream and drops both channels.
void clock_thread_main(ClockParams params);

// Starts clock_thread_main on a detached thread named "crvn-reloj"; false with
// the system's text in *error when the thread cannot be created.
bool clock_spawn(ClockParams params, std::string* error);

// The conversion of the real recorder, for ClockParams::convert.
std::function<ConvertResult()> clock_convert_with(std::shared_ptr<Nv12Converter> converter,
                                                  std::shared_ptr<DeviceContextLock> device);

}  // namespace corvane
