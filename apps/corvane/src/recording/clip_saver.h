// The clip saver: thread "crvn-guardador" takes save requests from the slot,
// cuts the replay buffer at a keyframe and remuxes it into an MP4 (and the
// separate voice into "_mic.m4a"), writes the JSON sidecar, logs, plays the
// sound, queues the notice and, after automatic clips, keeps the automatic
// clips within the disk limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/avisos.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "platform/mp4.h"
#include "recording/replay_buffer.h"
#include "recording/track_format.h"

namespace corvane {

// Clips saved since start-up; the web interface watches it to refresh lists.
inline std::atomic<std::uint64_t> ClipsSavedCounter{0};

// A track's format as its encoder published it. `since` is the timestamp of
// the video keyframe from which this format holds (older samples in the
// buffer may belong to a previous format); 0 for audio.
struct PublishedTrack {
    Mp4Track track;
    std::int64_t since = 0;
};

// Reads an output format slot: nothing until the encoder has published.
using FormatSource = std::function<std::optional<PublishedTrack>()>;

// The MP4 declaration of an encoder's published format.
Mp4Track clip_mp4_track(const TrackFormat& format);

// Reads an encoder's output format slot; an empty function for a slot that
// does not exist (no such encoder runs).
FormatSource clip_format_source(std::shared_ptr<const FormatSlot> slot);

enum class ClipSound : std::uint8_t { chime, low_tone };

// Given to the thread at start-up, never changed afterwards.
struct ClipSaverContext {
    std::filesystem::path clips_folder;
    std::shared_ptr<QuitFlag> quit;
    std::shared_ptr<SaveRequestSlot> slot;
    std::shared_ptr<ReplayBuffer> buffer;
    FormatSource video_format;
    FormatSource audio_format;   // empty: no audio encoder runs
    FormatSource voice_format;   // empty: the voice is not stored apart
    float chime_volume = 0.25f;  // 0..1
    bool sound_on_save = true;
    bool game_sound = true;
    bool microphone = false;
    bool microphone_in_video = true;
    // Plays a synthesised sound without waiting; may be empty.
    std::function<void(ClipSound, float volume)> play_sound;
    ClipMuxerFactory open_muxer = clip_muxer_open;
    // The configuration as it is now (the disk limit is read afresh).
    std::function<Settings()> load_settings = [] { return config_load(); };
    // Local date and time for manual names.
    std::function<LocalDateTime()> local_time = [] { return clock_local_date_time(); };
};

// The context's settings fields and clips folder from a settings record.
void clipsaver_apply_settings(ClipSaverContext& ctx, const Settings& settings);

// The thread body; returns at the first poll after the quit flag is set.
void clipsaver_thread_main(ClipSaverContext ctx);

// True from the moment the saver takes a request until its files are
// complete: shutdown gives such a clip time to finish.
inline std::atomic<bool> ClipSaveInProgress{false};

// Waits until no clip is being written, at most `limit`; false on time-out.
bool clipsaver_wait_idle(std::chrono::milliseconds limit);

// What one request came to.
struct ClipSaveResult {
    enum class Outcome : std::uint8_t { no_video, failed, saved } outcome = Outcome::no_video;
    std::filesystem::path clip;  // full path when saved
    std::string error;           // when failed
    bool voice_written = false;
    std::uint32_t disk_deleted = 0;
};

// Saves one request now (the 250 ms wait is the caller's).
ClipSaveResult clipsaver_save(const ClipSaverContext& ctx, const SaveRequest& request);

// ---- The rules, as plain functions -----------------------------------------

// The cut point: the largest key video timestamp ≤ end − span (the oldest
// when none is), or the oldest without a span. Keyframes older than
// `format_since` are not candidates (the clip's format starts there). Nothing
// when there is no candidate keyframe.
std::optional<std::int64_t> clip_cut_point(const std::vector<ReplaySample>& samples,
                                           std::optional<std::int64_t> span_units,
                                           std::int64_t format_since = INT64_MIN);

// End of the newest video: the largest timestamp + duration of track 0.
std::int64_t clip_video_end(const std::vector<ReplaySample>& samples);

// Samples of every track at or after `cut`, rebased so that `cut` is 0, sorted
// stably by timestamp.
std::vector<ReplaySample> clip_kept_samples(const std::vector<ReplaySample>& samples,
                                            std::int64_t cut);

// The "audio" object of the sidecar.
std::string clip_audio_object(bool game_sound, bool microphone, bool microphone_in_video,
                              const std::optional<std::string>& voice_file);

// One sidecar event: its second in the clip and its JSON fragment.
struct SidecarEvent {
    double second = 0.0;
    std::string fragment;
};

// The sidecar's text, byte for byte.
std::string clip_sidecar_text(std::string_view file_name, double duration,
                              std::string_view audio_object,
                              const std::vector<SidecarEvent>& events);

// An event's second in the clip: (end − cut − 0.15 s − time since the event
// at t1) in seconds, within 0..duration.
double clip_event_second(std::int64_t end, std::int64_t cut,
                         std::chrono::steady_clock::time_point t1,
                         std::chrono::steady_clock::time_point instant, double duration);

// The notice of a saved clip (title, text, kind 0..5).
AvisoEntry clip_notice(std::string_view kind, const std::vector<SceneEvent>& events,
                       double duration);

// The characters after "\"{key}\":\"" up to the next double quote.
std::optional<std::string> json_find_string_value(std::string_view text, std::string_view key);

// "{stage} ({error})".
std::string clipsaver_error_text(std::string_view stage, std::string_view error);

// Deletes the oldest automatic, not archived clips until they fit in
// `limit_gb` GiB; `keep` (the clip just saved) is never deleted. Returns how
// many were deleted and logs the "[DISCO]" line when any was.
std::uint32_t clips_apply_disk_limit(const std::filesystem::path& clips_folder,
                                     std::uint64_t limit_gb, const std::filesystem::path& keep);

}  // namespace corvane
