// Video coding: BGRA → NV12 conversion with scaling, and the video encoders
// (H.264, HEVC, AV1) that turn NV12 pictures into Annex-B access units.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace corvane {

// One NV12 picture: a full-size luma plane and a half-size interleaved U/V
// plane. `holds` counts encoder-side references: a picture with holds > 0 is
// still being read and must not be written.
struct Nv12Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t y_stride = 0;
    std::size_t uv_stride = 0;
    std::uint8_t* y = nullptr;   // y_stride × height, 64-byte aligned
    std::uint8_t* uv = nullptr;  // uv_stride × height / 2, 64-byte aligned, right after y
    std::size_t bytes = 0;       // from y to the end of uv
    std::unique_ptr<std::uint8_t[]> storage;
    mutable std::atomic<int> holds{0};

    std::uint8_t y_at(std::uint32_t x, std::uint32_t row) const { return y[row * y_stride + x]; }
    std::uint8_t u_at(std::uint32_t x, std::uint32_t row) const {
        return uv[(row / 2) * uv_stride + (x / 2) * 2];
    }
    std::uint8_t v_at(std::uint32_t x, std::uint32_t row) const {
        return uv[(row / 2) * uv_stride + (x / 2) * 2 + 1];
    }
};

// A zeroed picture of an even size, or null when the size is 0 or odd.
std::shared_ptr<Nv12Frame> nv12_frame_alloc(std::uint32_t width, std::uint32_t height);

// Converts full-range BGRA of the capture size into studio-range BT.709 NV12 of
// the output size (scaling bilinearly when they differ).
class Nv12Scaler {
public:
    virtual ~Nv12Scaler() = default;
    // Reads src_w × src_h pixels from `bgra` (alpha ignored) into `out`.
    virtual std::optional<PlatformError> convert(const std::uint8_t* bgra, std::size_t stride,
                                                 Nv12Frame& out) = 0;
};

struct Nv12ScalerResult {
    std::unique_ptr<Nv12Scaler> scaler;  // null on failure
    PlatformError error;
};
Nv12ScalerResult nv12_scaler_create(std::uint32_t src_w, std::uint32_t src_h, std::uint32_t dst_w,
                                    std::uint32_t dst_h);

enum class VideoCodecId : std::uint8_t { h264 = 0, hevc = 1, av1 = 2 };

// What an encoder is opened with. Rates in bit/s.
struct VideoEncoderConfig {
    VideoCodecId codec = VideoCodecId::h264;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 30;
    std::uint32_t mean_bit_rate = 0;
    std::uint32_t max_bit_rate = 0;      // peak of the peak-constrained VBR
    std::uint32_t quality_vs_speed = 66; // 0..100
    std::uint32_t gop = 30;              // one keyframe every `gop` frames
};

// One encoded access unit. `pts` counts frames (time base 1/fps).
struct VideoPacket {
    std::vector<std::uint8_t> bytes;  // Annex-B for H.264 / HEVC, OBUs for AV1
    std::int64_t pts = 0;
    bool key = false;                 // the encoder's own key flag
    bool stream_change = false;       // new parameter sets from this packet on
};

// A failed step: the stage word and the library's error.
struct VideoCodecFailure {
    std::string stage;
    PlatformError error;
};

enum class VideoReceive { packet, again, ended, failed };

class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    // Hands one picture (pts in frames) to the encoder. The encoder keeps a
    // reference while it needs the pixels.
    virtual std::optional<VideoCodecFailure> send(std::shared_ptr<const Nv12Frame> frame,
                                                  std::int64_t pts) = 0;
    // The next finished packet, `again` when it needs more input; on `failed`
    // the failure is in *failure.
    virtual VideoReceive receive(VideoPacket& packet, VideoCodecFailure* failure) = 0;
    // Codec-specific header of the stream (AV1's sequence header), empty when the
    // parameter sets travel in the keyframes.
    virtual std::vector<std::uint8_t> global_header() const = 0;
};

struct VideoEncoderOpen {
    std::unique_ptr<VideoEncoder> encoder;  // null on failure
    VideoCodecFailure failure;
};

// One encoder that may be tried: its friendly name and how to open it.
struct VideoEncoderCandidate {
    std::string name;
    std::string id;  // the library's short name (e.g. "libx264")
    bool hardware = false;
};

// The encoders for a codec, in the order to try them: hardware first, then the
// software encoder for H.264. Empty when none is built in.
std::vector<VideoEncoderCandidate> video_encoder_candidates(VideoCodecId codec);
VideoEncoderOpen video_encoder_open(const VideoEncoderCandidate& candidate,
                                    const VideoEncoderConfig& config);

// The encoder's own speed setting for a quality-vs-speed figure (0..100; more
// is sharper and slower): libx264 / libx265 "preset" 33 superfast, 50
// veryfast, 66 faster, 80 fast; the hardware encoders' presets or
// compression level in the same order. Empty name: the encoder has none.
struct VideoSpeedOption {
    std::string name;
    std::string value;
    bool operator==(const VideoSpeedOption&) const = default;
};
VideoSpeedOption video_encoder_speed_option(std::string_view encoder_id,
                                            std::uint32_t quality_vs_speed);

// Tests only: also offer the software HEVC and AV1 encoders.
void video_codec_allow_software_for_tests(bool allow);

}  // namespace corvane
