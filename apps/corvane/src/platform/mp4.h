// MP4 writing: encoded samples are remuxed into an MP4 (clip) or M4A (voice)
// file, never re-encoded. Tracks are declared from the codec configuration
// the encoders publish; samples carry 100-ns times.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

enum class Mp4Codec : std::uint8_t { h264, hevc, av1, aac };

// One track's declaration.
struct Mp4Track {
    Mp4Codec codec = Mp4Codec::h264;
    // Video.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 0;
    std::uint8_t primaries = 1;  // ISO/IEC 23091-2 code points
    std::uint8_t transfer = 1;
    std::uint8_t matrix = 1;
    bool full_range = false;
    // Audio.
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bit_rate = 0;  // bit/s, 0 = unknown
    // H.264 / HEVC parameter sets (Annex-B or avcC/hvcC), AV1 sequence header
    // or av1C, AAC AudioSpecificConfig.
    std::vector<std::uint8_t> extradata;
};

// One sample: shared bytes (held, not copied, until written), times in
// 100-ns units from the start of the file.
struct Mp4Sample {
    std::shared_ptr<const std::vector<std::uint8_t>> payload;
    std::int64_t timestamp = 0;
    std::int64_t duration = 0;
    bool keyframe = false;
};

enum class Mp4Container : std::uint8_t { mp4, m4a };

// Which operation failed; the caller names it in its own words.
enum class Mp4Step : std::uint8_t { create, track, begin, prepare, write, finish };

struct Mp4Error {
    Mp4Step step = Mp4Step::create;
    std::string text;  // the library's description of the error
};

// An open output file. Order: add_track..., begin, write..., finish. After a
// failure the writer is finished with: destroy it. Destroying a writer that
// was not finished closes the file as it stands.
class ClipMuxer {
  public:
    virtual ~ClipMuxer() = default;
    // Declares a track; its index is returned through *index.
    virtual std::optional<Mp4Error> add_track(const Mp4Track& track, int* index) = 0;
    // Writes the file header.
    virtual std::optional<Mp4Error> begin() = 0;
    // One sample to track `index`. Times need not be strictly increasing: a
    // repeated or earlier decode time is moved just after the previous one.
    virtual std::optional<Mp4Error> write(int index, const Mp4Sample& sample) = 0;
    // Writes the index, closes the file and flushes it to the disk.
    virtual std::optional<Mp4Error> finish() = 0;
};

struct ClipMuxerOpen {
    std::unique_ptr<ClipMuxer> muxer;  // null on failure
    Mp4Error error;                    // step create
};

// Creates (or truncates) the file. The container is given, not guessed from
// the name, so that the file may be written under a temporary name.
ClipMuxerOpen clip_muxer_open(const std::filesystem::path& path, Mp4Container container);

using ClipMuxerFactory = std::function<ClipMuxerOpen(const std::filesystem::path&, Mp4Container)>;

}  // namespace corvane
