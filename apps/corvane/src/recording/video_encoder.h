// The video encoder thread "crvn-codificador-video": NV12 frames from the frame
// clock in, H.264 / HEVC / AV1 access units into the replay buffer out. Also
// the start-up rules around it: bit rate, codec choice and fallback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "platform/error.h"
#include "platform/video_codec.h"
#include "recording/channel.h"
#include "recording/replay_buffer.h"
#include "recording/track_format.h"

namespace corvane {

// Codec choice, the [avanzado] codec byte: 0 H.264, 1 HEVC, 2 AV1.
inline constexpr std::uint8_t kCodecH264 = 0;
inline constexpr std::uint8_t kCodecHevc = 1;
inline constexpr std::uint8_t kCodecAv1 = 2;

struct VideoCodecInfo {
    std::string_view label;  // "H.264", "HEVC (H.265)", "AV1 (experimental)"
    double bit_rate_factor;
    int fallback;            // the codec tried next, -1 = none (fatal)
    std::string_view word;   // its [avanzado] codec value: "h264", "hevc", "av1"
};
// Unknown values are treated as H.264.
const VideoCodecInfo& video_codec_info(std::uint8_t codec);

// Mean bit rate in bit/s. bitrate_mbps ≠ 0: clamp(v, 2, 150) Mbps; 0: fps ×
// pixels × bits per pixel × the codec's factor, between 4 Mbps and the ceiling.
std::uint32_t video_bit_rate(std::uint32_t bitrate_mbps, std::uint32_t fps, std::uint32_t width,
                             std::uint32_t height, double bits_per_pixel,
                             std::uint32_t ceiling_mbps, std::uint8_t codec);
// Peak bit rate: mean × 3 (saturating at 2^32 − 1) ÷ 2.
std::uint32_t video_max_bit_rate(std::uint32_t mean);

// Exact stamps in 100-ns units: frame i at ⌊i·10^7/fps⌋.
std::int64_t video_frame_stamp(std::int64_t index, std::uint32_t fps);
// The frame index a stamp belongs to (inverse of video_frame_stamp).
std::int64_t video_frame_index(std::int64_t stamp, std::uint32_t fps);

// One NAL unit inside an Annex-B byte string.
struct NalSlice {
    std::size_t start = 0;
    std::size_t length = 0;
    bool operator==(const NalSlice&) const = default;
};
std::vector<NalSlice> encoder_find_start_codes(const std::uint8_t* bytes, std::size_t n);
inline std::vector<NalSlice> encoder_find_start_codes(const std::vector<std::uint8_t>& b) {
    return encoder_find_start_codes(b.data(), b.size());
}
// Whether the first slice is an H.264 NAL of type 5 or an HEVC one of type
// 16 to 21; AV1: never.
bool encoder_payload_is_key(std::uint8_t codec, const std::vector<std::uint8_t>& bytes);
// The parameter sets of an access unit (H.264 7, 8; HEVC 32, 33, 34), in
// payload order, each after 00 00 00 01. Empty for AV1 or when there are none.
std::vector<std::uint8_t> encoder_build_sequence_header(std::uint8_t codec,
                                                        const std::vector<std::uint8_t>& bytes);

// "{} ({})": the stage word and the system's error text.
std::string encoder_error_text(std::string_view stage, const PlatformError& error);

// Frames handed to the encoder and not finished yet: those sent whose stamp is
// above the newest packet's. Exact without B pictures, and it heals itself when
// an encoder drops frames or holds some back before its first output.
class EncoderBacklog {
public:
    void sent(std::int64_t stamp);
    void finished(std::int64_t stamp);
    std::uint64_t count() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::int64_t> pending_;
};
inline constexpr std::uint64_t kEncoderBacklogLimit = 14;

// One message from the frame clock. No frame = end of stream.
struct VideoFrameMsg {
    std::shared_ptr<const Nv12Frame> frame;
    std::int64_t timestamp = 0;  // 100-ns units from the first frame
};
inline constexpr std::size_t kVideoChannelSlots = 16;

struct VideoEncoderReply {
    bool ok = false;
    std::string text;  // the encoder's friendly name, or the failure
    // A failure in a few words, without the system's texts: what the warning
    // of a fallback says ("no hay codificador por hardware para él").
    std::string words;
};

// How encoders are found and opened; a test hands in its own.
struct VideoEncoderFactory {
    std::function<std::vector<VideoEncoderCandidate>(VideoCodecId)> candidates;
    std::function<VideoEncoderOpen(const VideoEncoderCandidate&, const VideoEncoderConfig&)> open;
};
VideoEncoderFactory video_encoder_factory_default();

struct VideoEncoderParams {
    ChannelSender<VideoEncoderReply> reply;
    ChannelReceiver<VideoFrameMsg> frames;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 60;
    std::uint32_t mean_bit_rate = 0;
    std::uint32_t quality_vs_speed = 66;
    std::uint8_t codec = kCodecH264;
    std::shared_ptr<EncoderBacklog> backlog;
    std::shared_ptr<FormatSlot> format;
    std::shared_ptr<SampleSink> sink;
    VideoEncoderFactory factory;
};

// The thread body: replies once, then encodes until the frame channel ends.
void video_encoder_thread_main(VideoEncoderParams params);

// Start-up: what the codec choice needs besides the settings' numbers.
struct VideoEncoderStartConfig {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 60;
    std::uint32_t bitrate_mbps = 0;  // [avanzado] bitrate_mbps, 0 = automatic
    double bits_per_pixel = 0.16;
    std::uint32_t bitrate_ceiling_mbps = 60;
    std::uint32_t quality_vs_speed = 66;
    std::uint8_t codec = kCodecHevc;
    std::shared_ptr<SampleSink> sink;
    VideoEncoderFactory factory;
    // Starts the body on a thread; false with *error when it cannot. Default:
    // a detached, named thread.
    std::function<bool(std::function<void()> body, std::string* error)> spawn;
};

struct VideoEncoderStarted {
    bool ok = false;
    std::string error;  // fatal: "No se pudo iniciar el codificador de video: {}"
    std::vector<std::string> warnings;  // "[AVISO] {} no disponible ({words}). Se usará {}."
    std::uint8_t codec = kCodecH264;    // the codec that started
    std::uint32_t mean_bit_rate = 0;
    std::string encoder_name;
    ChannelSender<VideoFrameMsg> frames;
    std::shared_ptr<FormatSlot> format;
    std::shared_ptr<EncoderBacklog> backlog;
};

// The start-up figures of the settings for an output size: the profile's
// rate, bit-rate rule and quality against speed, with [avanzado]'s overrides.
// The sink, factory and spawn stay at their defaults.
VideoEncoderStartConfig video_encoder_start_config(const Settings& settings, std::uint32_t width,
                                                   std::uint32_t height);

// Starts the encoder thread for the chosen codec, falling back AV1 → HEVC →
// H.264 with a fresh thread, channel, slot and bit rate each time. Logs the
// warnings. Returns the fatal text when H.264 cannot start either.
VideoEncoderStarted video_encoder_start(VideoEncoderStartConfig config);

}  // namespace corvane
