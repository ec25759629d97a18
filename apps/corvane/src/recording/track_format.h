// The format of one encoded track, as the MP4 writer needs it to declare the
// track, and the slots in which the encoders publish it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace corvane {

enum class TrackCodec : std::uint8_t { h264, hevc, av1, aac };

// Colour tags of a video track (ISO/IEC 23091-2 code points).
struct ColourTags {
    std::uint8_t primaries = 1;  // BT.709
    std::uint8_t transfer = 1;   // BT.709
    std::uint8_t matrix = 1;     // BT.709
    bool full_range = false;     // studio range 16..235
};

struct TrackFormat {
    TrackCodec codec = TrackCodec::h264;
    // Video.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 0;
    ColourTags colour;
    // Audio.
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bit_rate = 0;  // mean, bit/s
    // H.264 / HEVC: the parameter sets in Annex-B (each after 00 00 00 01);
    // AV1: the encoder's sequence header; AAC: the AudioSpecificConfig.
    std::vector<std::uint8_t> extradata;
    // Video: timestamp of the keyframe that published this format. Older
    // samples still in the buffer were encoded with an earlier one.
    std::int64_t since = 0;
};

// Empty until the encoder publishes; the lock is held only to swap or copy.
class FormatSlot {
public:
    void store(TrackFormat f) {
        std::lock_guard lock(mutex_);
        format_ = std::move(f);
    }
    std::optional<TrackFormat> load() const {
        std::lock_guard lock(mutex_);
        return format_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<TrackFormat> format_;
};

}  // namespace corvane
