#include "recording/clip_saver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "base/log.h"
#include "base/text.h"
#include "clips/library.h"
#include "platform/files.h"
#include "platform/thread.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kUnitsPerSecond = 10'000'000;
constexpr std::int64_t kEventLead = 1'500'000;  // 0.15 s

std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<std::int64_t>::min()
                     : std::numeric_limits<std::int64_t>::max();
    return r;
}

std::int64_t sat_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    return r;
}

// The words the log and the notice use for each failing step.
struct StageWords {
    const char* create;
    const char* begin;
    const char* prepare;
    const char* write;
    const char* finish;
};
constexpr StageWords kClipWords{"crear MP4", "empezar a escribir", "preparar paquete",
                                "escribir paquete", "cerrar MP4"};
constexpr StageWords kVoiceWords{"crear .m4a", "empezar a escribir", "preparar paquete",
                                 "escribir paquete", "cerrar .m4a"};

std::string error_of(const Mp4Error& e, const StageWords& words, const char* track_word) {
    const char* stage = words.create;
    switch (e.step) {
        case Mp4Step::create:
            stage = words.create;
            break;
        case Mp4Step::track:
            stage = track_word;
            break;
        case Mp4Step::begin:
            stage = words.begin;
            break;
        case Mp4Step::prepare:
            stage = words.prepare;
            break;
        case Mp4Step::write:
            stage = words.write;
            break;
        case Mp4Step::finish:
            stage = words.finish;
            break;
    }
    return clipsaver_error_text(stage, e.text);
}

struct TrackOut {
    std::uint8_t track_kind;
    const Mp4Track* format;
    const char* word;  // stage word of its declaration
};

// Writes the samples of the given tracks to `part`, then renames it to
// `target`. On failure the partial file is removed and the error text is
// returned.
std::optional<std::string> write_file(const ClipSaverContext& ctx, const fs::path& target,
                                      Mp4Container container, const StageWords& words,
                                      const std::vector<TrackOut>& tracks,
                                      const std::vector<ReplaySample>& kept) {
    const fs::path part = target.string() + ".part";
    std::optional<std::string> error;
    {
        ClipMuxerOpen open = ctx.open_muxer(part, container);
        if (!open.muxer) {
            error = error_of(open.error, words, words.create);
        } else {
            ClipMuxer& mux = *open.muxer;
            int index_of[3] = {-1, -1, -1};
            for (const TrackOut& t : tracks) {
                if (auto e = mux.add_track(*t.format, &index_of[t.track_kind])) {
                    error = error_of(*e, words, t.word);
                    break;
                }
            }
            if (!error) {
                if (auto e = mux.begin()) error = error_of(*e, words, words.create);
            }
            if (!error) {
                for (const ReplaySample& s : kept) {
                    if (s.track > 2 || index_of[s.track] < 0) continue;
                    Mp4Sample m{s.payload, s.timestamp, s.duration, s.keyframe};
                    if (auto e = mux.write(index_of[s.track], m)) {
                        error = error_of(*e, words, words.create);
                        break;
                    }
                }
            }
            if (!error) {
                if (auto e = mux.finish()) error = error_of(*e, words, words.create);
            }
        }
    }
    if (!error) {
        if (const int err = file_rename(part, target)) error = clipsaver_error_text(words.finish, std::strerror(err));
    }
    if (error) (void)file_remove(part);
    return error;
}

bool exists_no_follow(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

void play(const ClipSaverContext& ctx, ClipSound sound) {
    if (ctx.sound_on_save && ctx.play_sound) ctx.play_sound(sound, ctx.chime_volume);
}

}  // namespace

Mp4Track clip_mp4_track(const TrackFormat& f) {
    Mp4Track t;
    switch (f.codec) {
        case TrackCodec::h264:
            t.codec = Mp4Codec::h264;
            break;
        case TrackCodec::hevc:
            t.codec = Mp4Codec::hevc;
            break;
        case TrackCodec::av1:
            t.codec = Mp4Codec::av1;
            break;
        case TrackCodec::aac:
            t.codec = Mp4Codec::aac;
            break;
    }
    t.width = f.width;
    t.height = f.height;
    t.fps = f.fps;
    t.primaries = f.colour.primaries;
    t.transfer = f.colour.transfer;
    t.matrix = f.colour.matrix;
    t.full_range = f.colour.full_range;
    t.sample_rate = f.sample_rate;
    t.channels = f.channels;
    t.bit_rate = f.bit_rate;
    t.extradata = f.extradata;
    return t;
}

FormatSource clip_format_source(std::shared_ptr<const FormatSlot> slot) {
    if (!slot) return {};
    return [slot]() -> std::optional<PublishedTrack> {
        std::optional<TrackFormat> f = slot->load();
        if (!f) return std::nullopt;
        return PublishedTrack{clip_mp4_track(*f), f->since};
    };
}

std::string clipsaver_error_text(std::string_view stage, std::string_view error) {
    return fmt::format("{} ({})", stage, error);
}

std::optional<std::string> json_find_string_value(std::string_view text, std::string_view key) {
    const std::string pattern = fmt::format("\"{}\":\"", key);
    const std::size_t at = text.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t from = at + pattern.size();
    const std::size_t to = text.find('"', from);
    return std::string(
        text.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from));
}

std::int64_t clip_video_end(const std::vector<ReplaySample>& samples) {
    std::int64_t end = 0;
    bool any = false;
    for (const ReplaySample& s : samples) {
        if (s.track != kTrackVideo) continue;
        const std::int64_t e = sat_add(s.timestamp, s.duration);
        if (!any || e > end) end = e;
        any = true;
    }
    return end;
}

std::optional<std::int64_t> clip_cut_point(const std::vector<ReplaySample>& samples,
                                           std::optional<std::int64_t> span_units,
                                           std::int64_t format_since) {
    std::vector<std::int64_t> keys;
    for (const ReplaySample& s : samples) {
        if (replay_sample_is_key_video(s) && s.timestamp >= format_since)
            keys.push_back(s.timestamp);
    }
    if (keys.empty()) return std::nullopt;
    if (!span_units) return keys.front();
    const std::int64_t target = sat_sub(clip_video_end(samples), *span_units);
    std::optional<std::int64_t> best;
    for (std::int64_t k : keys) {
        if (k <= target && (!best || k > *best)) best = k;
    }
    return best ? *best : keys.front();
}

std::vector<ReplaySample> clip_kept_samples(const std::vector<ReplaySample>& samples,
                                            std::int64_t cut) {
    std::vector<ReplaySample> kept;
    for (const ReplaySample& s : samples) {
        if (s.timestamp < cut) continue;
        ReplaySample k = s;
        k.timestamp = s.timestamp - cut;
        kept.push_back(std::move(k));
    }
    if (kept.size() >= 2) {
        std::stable_sort(
            kept.begin(), kept.end(),
            [](const ReplaySample& a, const ReplaySample& b) { return a.timestamp < b.timestamp; });
    }
    return kept;
}

std::string clip_audio_object(bool game_sound, bool microphone, bool microphone_in_video,
                              const std::optional<std::string>& voice_file) {
    const char* game = game_sound ? "pista" : "no";
    if (microphone && microphone_in_video)
        return fmt::format(R"({{"juego":"{}","microfono":"integrado"}})", game);
    if (microphone && voice_file) {
        std::string name = *voice_file;
        std::erase(name, '"');
        return fmt::format(
            R"({{"juego":"{}","microfono":"separado","archivo_microfono":"{}","desfase_microfono":0.0}})",
            game, name);
    }
    return fmt::format(R"({{"juego":"{}","microfono":"no"}})", game);
}

std::string clip_sidecar_text(std::string_view file_name, double duration,
                              std::string_view audio_object,
                              const std::vector<SidecarEvent>& events) {
    std::string name(file_name);
    std::erase(name, '"');
    std::string joined;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i) joined += ",\n  ";
        joined += fmt::format(R"({{"segundo":{:.1f},{}}})", events[i].second, events[i].fragment);
    }
    return fmt::format(
        "{{\"clip\":\"{}\",\"duracion\":{:.1f},\"audio\":{},\"eventos\":[\n  {}\n]}}\n", name,
        duration, audio_object, joined);
}

double clip_event_second(std::int64_t end, std::int64_t cut,
                         std::chrono::steady_clock::time_point t1,
                         std::chrono::steady_clock::time_point instant, double duration) {
    std::int64_t elapsed = 0;
    if (instant <= t1)
        elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - instant).count() / 100;
    const std::int64_t units = sat_sub(sat_sub(sat_sub(end, cut), kEventLead), elapsed);
    const double second = static_cast<double>(units) / static_cast<double>(kUnitsPerSecond);
    return std::clamp(second, 0.0, std::max(duration, 0.0));
}

AvisoEntry clip_notice(std::string_view kind, const std::vector<SceneEvent>& events,
                       double duration) {
    AvisoEntry e;
    if (kind == "baja") {
        e.title = "BAJA";
        e.kind = 0;
    } else if (kind.starts_with("bajas-x")) {
        e.title = fmt::format("RACHA x{}", kind.substr(7));
        e.kind = 1;
    } else if (kind == "derribo") {
        e.title = "DERRIBO";
        e.kind = 2;
    } else if (kind == "muerte") {
        e.title = "MUERTE · KILLCAM";
        e.kind = 3;
    } else if (kind == "manual") {
        e.title = "CLIP MANUAL";
        e.kind = 4;
    } else {
        e.title = utf8_upper(kind);
        e.kind = 5;
    }
    std::vector<std::string> enemies;
    std::optional<std::string> weapon;
    for (const SceneEvent& ev : events) {
        if (ev.fragment.find("\"tipo\":\"fin_killcam\"") != std::string::npos) continue;
        if (auto name = json_find_string_value(ev.fragment, "enemigo")) {
            if (std::find(enemies.begin(), enemies.end(), *name) == enemies.end())
                enemies.push_back(*name);
        }
        if (!weapon) weapon = json_find_string_value(ev.fragment, "arma");
    }
    std::vector<std::string> parts;
    if (!enemies.empty()) {
        std::string joined;
        for (std::size_t i = 0; i < enemies.size() && i < 3; ++i) {
            if (i) joined += ", ";
            joined += enemies[i];
        }
        if (enemies.size() > 3) joined = fmt::format("{} +{}", joined, enemies.size() - 3);
        parts.push_back(std::move(joined));
    }
    if (weapon) parts.push_back(*weapon);
    parts.push_back(fmt::format("Clip guardado · {:.0f} s", duration));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) e.text += " · ";
        e.text += parts[i];
    }
    return e;
}

std::uint32_t clips_apply_disk_limit(const fs::path& clips_folder, std::uint64_t limit_gb,
                                     const fs::path& keep) {
    if (limit_gb == 0) return 0;
    constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
    const std::uint64_t limit = limit_gb > std::numeric_limits<std::uint64_t>::max() / kGiB
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : limit_gb * kGiB;
    std::vector<ClipRecord> records;
    clips_scan_folder(clips_folder, records);
    std::vector<ClipRecord> candidates;
    std::uint64_t total = 0;
    for (ClipRecord& r : records) {
        if (!clips_is_automatic(r.path) || clips_is_archived(r.path)) continue;
        total += r.size;
        candidates.push_back(std::move(r));
    }
    if (total <= limit) return 0;
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const ClipRecord& a, const ClipRecord& b) { return a.modified < b.modified; });
    std::uint32_t deleted = 0;
    for (const ClipRecord& r : candidates) {
        if (total <= limit) break;
        // The clip just announced as saved counts towards the total but
        // is never the one to go.
        if (r.path == keep) continue;
        if (!clips_delete_files(r.path)) {
            total -= r.size;
            ++deleted;
        }
    }
    if (deleted > 0) {
        log_line(
            fmt::format("\n[DISCO] Límite de {} GB: se borraron {} clip(s) automático(s) viejo(s) "
                        "(los archivados nunca).",
                        limit_gb, deleted));
    }
    return deleted;
}

void clipsaver_apply_settings(ClipSaverContext& ctx, const Settings& s) {
    ctx.clips_folder = s.general.carpeta_clips;
    ctx.chime_volume = std::clamp(s.aviso.volumen, 0.0f, 1.0f);
    ctx.sound_on_save = s.aviso.sonido;
    ctx.game_sound = s.audio.juego;
    ctx.microphone = s.audio.microfono;
    ctx.microphone_in_video = s.audio.microfono_en_video;
}

ClipSaveResult clipsaver_save(const ClipSaverContext& ctx, const SaveRequest& request) {
    ClipSaveResult result;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<ReplaySample> snapshot =
        ctx.buffer ? replay_buffer_snapshot(*ctx.buffer) : std::vector<ReplaySample>{};
    const auto t1 = std::chrono::steady_clock::now();

    std::optional<PublishedTrack> video = ctx.video_format ? ctx.video_format() : std::nullopt;
    std::optional<std::int64_t> span;
    if (request.span) span = save_span_units(*request.span);
    // Samples older than the keyframe that published the current format
    // were encoded with another one and cannot be declared with it.
    const std::optional<std::int64_t> cut = clip_cut_point(
        snapshot, span, video ? video->since : std::numeric_limits<std::int64_t>::min());
    std::vector<ReplaySample> kept;
    if (cut) kept = clip_kept_samples(snapshot, *cut);
    if (kept.empty() || !video) {
        log_line("\n[AVISO] Todavía no hay video en el búfer.");
        return result;
    }
    const std::int64_t end = clip_video_end(snapshot);
    std::optional<PublishedTrack> audio = ctx.audio_format ? ctx.audio_format() : std::nullopt;

    const std::int64_t video_end = clip_video_end(kept);
    const double duration = static_cast<double>(video_end) / static_cast<double>(kUnitsPerSecond);

    std::string relative;
    if (request.clip_path) {
        relative = *request.clip_path;
    } else {
        const LocalDateTime now = ctx.local_time();
        const std::string base =
            fmt::format("{}/Manual/CRVN_{}_{}_{}", now.date, now.date, now.time, request.kind);
        relative = base + ".mp4";
        // Two manual saves within one second must not overwrite each other.
        for (int n = 2; exists_no_follow(ctx.clips_folder / relative); ++n)
            relative = fmt::format("{}_{}.mp4", base, n);
    }
    const fs::path full = ctx.clips_folder / relative;
    std::error_code ec;
    fs::create_directories(full.parent_path(), ec);
    const std::string file_name = utf8_lossy(full.filename().string());

    std::vector<TrackOut> tracks{{kTrackVideo, &video->track, "pista de video"}};
    if (audio) tracks.push_back({kTrackAudio, &audio->track, "pista de audio"});
    if (auto error = write_file(ctx, full, Mp4Container::mp4, kClipWords, tracks, kept)) {
        play(ctx, ClipSound::low_tone);
        log_line(fmt::format("\n[ERROR] No se pudo guardar el clip: {}", *error));
        avisos_push(6, "NO SE GUARDÓ EL CLIP", "Revisa el registro (ícono → Registro)");
        result.outcome = ClipSaveResult::Outcome::failed;
        result.error = *error;
        return result;
    }

    play(ctx, ClipSound::chime);

    // The voice apart: only when its encoder has published and it has samples.
    std::optional<std::string> voice_name;
    std::optional<PublishedTrack> voice = ctx.voice_format ? ctx.voice_format() : std::nullopt;
    const bool has_voice_samples = std::any_of(
        kept.begin(), kept.end(), [](const ReplaySample& s) { return s.track == kTrackVoice; });
    if (voice && has_voice_samples) {
        const fs::path mic = clips_mic_path(full);
        std::vector<TrackOut> voice_tracks{{kTrackVoice, &voice->track, "pista de voz"}};
        if (auto error = write_file(ctx, mic, Mp4Container::m4a, kVoiceWords, voice_tracks, kept)) {
            log_line(fmt::format("\n[AVISO] El clip se guardó, pero tu voz aparte no: {}", *error));
        } else {
            voice_name = utf8_lossy(mic.filename().string());
        }
    }

    // Event seconds count back from the end of the snapshot the clip was cut from.
    std::vector<SidecarEvent> events;
    for (const SceneEvent& ev : request.events)
        events.push_back({clip_event_second(end, *cut, t1, ev.instant, duration), ev.fragment});
    const std::string sidecar = clip_sidecar_text(
        file_name, duration,
        clip_audio_object(ctx.game_sound, ctx.microphone, ctx.microphone_in_video, voice_name),
        events);
    std::string ignored;
    (void)file_write_atomic(clips_sidecar_path(full), sidecar, &ignored);

    struct stat st {};
    const double megabytes =
        ::stat(full.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1048576.0 : 0.0;
    const auto elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    log_line(fmt::format("\n[OK] Clip guardado: {}  ({:.0f} s, {:.1f} MB, listo en {} ms){}",
                         relative, duration, megabytes, elapsed_ms,
                         voice_name ? fmt::format(" + tu voz aparte: {}", *voice_name) : ""));
    ClipsSavedCounter.fetch_add(1);

    const AvisoEntry notice = clip_notice(request.kind, request.events, duration);
    avisos_push(notice.kind, notice.title, notice.text);

    result.outcome = ClipSaveResult::Outcome::saved;
    result.clip = full;
    result.voice_written = voice_name.has_value();
    if (request.automatic == 1) {
        const Settings settings = ctx.load_settings();
        result.disk_deleted =
            clips_apply_disk_limit(ctx.clips_folder, settings.clips.limite_disco_gb, full);
    }
    return result;
}

void clipsaver_thread_main(ClipSaverContext ctx) {
    thread_set_name("crvn-guardador");
    for (;;) {
        if (ctx.quit && ctx.quit->set.load()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (!ctx.slot) continue;
        ClipSaveInProgress.store(true);
        if (ctx.quit && ctx.quit->set.load()) {
            // Shutdown may already have looked: start nothing it would not wait for.
            ClipSaveInProgress.store(false);
            return;
        }
        std::optional<SaveRequest> request = save_request_take(*ctx.slot);
        if (!request) {
            ClipSaveInProgress.store(false);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        (void)clipsaver_save(ctx, *request);
        ClipSaveInProgress.store(false);
    }
}

bool clipsaver_wait_idle(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (ClipSaveInProgress.load()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace corvane
