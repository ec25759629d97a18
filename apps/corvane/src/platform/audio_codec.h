// Audio coding: 48 kHz stereo 16-bit PCM in, AAC-LC frames (1024 samples per
// channel, raw, no ADTS header) out at 192 kbit/s.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace corvane {

struct AacFailure {
    std::string stage;  // a short Spanish stage word, or the whole text when `bare`
    PlatformError error;
    bool bare = false;  // the stage is the whole text, no system error goes with it
};

enum class AacReceive { packet, again, failed };

class AacEncoder {
  public:
    virtual ~AacEncoder() = default;
    // Queues interleaved L, R samples whose first frame sits at `start` (48 kHz
    // frames on the recording's time line); whole 1024-sample frames go to the
    // encoder at once, the rest waits for the next call. A start past the end
    // of what came before leaves a gap: the samples still waiting for a whole
    // frame are dropped and the time line goes on from `start`. On failure the
    // stage is "enviar audio".
    virtual std::optional<AacFailure> send(const std::int16_t* samples, std::size_t frames,
                                           std::uint64_t start) = 0;
    // The next finished frame and its position on the time line (input
    // positions, the encoder's priming not taken off: the first frame is at
    // 0), or `again` when more input is needed. On failure the stage is
    // "recibir AAC".
    virtual AacReceive receive(std::vector<std::uint8_t>& frame, std::uint64_t* position,
                               AacFailure* failure) = 0;
    // The stream's AudioSpecificConfig.
    virtual std::vector<std::uint8_t> audio_specific_config() const = 0;
};

struct AacEncoderOpen {
    std::unique_ptr<AacEncoder> encoder;  // null on failure
    AacFailure failure;
};

// Failures: no AAC encoder at all (bare text), "formatos de audio" with the
// library's error, or the encoder refusing the format (bare text).
AacEncoderOpen aac_encoder_open();

}  // namespace corvane
