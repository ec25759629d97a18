#include "recording/video_encoder.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/log.h"
#include "platform/thread.h"

namespace corvane {

namespace {

const VideoCodecInfo kCodecs[] = {
    {"H.264", 1.0, -1, "h264"},
    {"HEVC (H.265)", 0.7, kCodecH264, "hevc"},
    {"AV1 (experimental)", 0.6, kCodecHevc, "av1"},
};

VideoCodecId codec_id(std::uint8_t codec) {
    switch (codec) {
        case kCodecHevc: return VideoCodecId::hevc;
        case kCodecAv1: return VideoCodecId::av1;
        default: return VideoCodecId::h264;
    }
}

TrackCodec track_codec(std::uint8_t codec) {
    switch (codec) {
        case kCodecHevc: return TrackCodec::hevc;
        case kCodecAv1: return TrackCodec::av1;
        default: return TrackCodec::h264;
    }
}

int nal_type(std::uint8_t codec, std::uint8_t header) {
    return codec == kCodecHevc ? (header >> 1) & 0x3F : header & 0x1F;
}

}  // namespace

const VideoCodecInfo& video_codec_info(std::uint8_t codec) {
    return kCodecs[codec <= kCodecAv1 ? codec : kCodecH264];
}

std::uint32_t video_bit_rate(std::uint32_t bitrate_mbps, std::uint32_t fps, std::uint32_t width,
                             std::uint32_t height, double bits_per_pixel,
                             std::uint32_t ceiling_mbps, std::uint8_t codec) {
    if (bitrate_mbps != 0) return std::clamp<std::uint32_t>(bitrate_mbps, 2, 150) * 1'000'000u;
    double x = static_cast<double>(fps) * (static_cast<double>(height) * width) * bits_per_pixel *
               video_codec_info(codec).bit_rate_factor;
    double mean = std::clamp(x, 4'000'000.0, static_cast<double>(ceiling_mbps) * 1'000'000.0);
    mean = std::clamp(mean, 0.0, 4'294'967'295.0);
    return static_cast<std::uint32_t>(mean);
}

std::uint32_t video_max_bit_rate(std::uint32_t mean) {
    std::uint64_t triple = std::min<std::uint64_t>(static_cast<std::uint64_t>(mean) * 3, 4'294'967'295u);
    return static_cast<std::uint32_t>(triple / 2);
}

std::int64_t video_frame_stamp(std::int64_t index, std::uint32_t fps) {
    return static_cast<std::int64_t>(static_cast<__int128>(index) * 10'000'000 / fps);
}

std::int64_t video_frame_index(std::int64_t stamp, std::uint32_t fps) {
    // ⌈stamp·fps/10^7⌉ undoes the floor of video_frame_stamp (fps < 10^7).
    __int128 num = static_cast<__int128>(stamp) * fps;
    return static_cast<std::int64_t>((num + 9'999'999) / 10'000'000);
}

std::vector<NalSlice> encoder_find_start_codes(const std::uint8_t* b, std::size_t n) {
    std::vector<NalSlice> out;
    if (n < 3) return out;
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 3 <= n;) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 3;
        } else {
            ++i;
        }
    }
    for (std::size_t k = 0; k < starts.size(); ++k) {
        std::size_t s = starts[k];
        std::size_t end = n;
        if (k + 1 < starts.size()) {
            end = starts[k + 1] - 3;  // the next start code's 00 00 01
            while (end > s && b[end - 1] == 0) --end;
        }
        if (end > s) out.push_back(NalSlice{s, end - s});
    }
    return out;
}

bool encoder_payload_is_key(std::uint8_t codec, const std::vector<std::uint8_t>& bytes) {
    if (codec == kCodecAv1) return false;
    // Runs on every packet: only the NAL headers up to the first slice are
    // read, as all slices of a picture share its kind, so the slice data
    // (nearly all of the packet) is never scanned.
    const std::uint8_t* b = bytes.data();
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i + 3 < n; ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
        int t = nal_type(codec, b[i + 3]);
        bool slice = codec == kCodecHevc ? t <= 31 : (t >= 1 && t <= 5);
        if (slice) return codec == kCodecHevc ? (t >= 16 && t <= 21) : t == 5;
        i += 2;
    }
    return false;
}

std::vector<std::uint8_t> encoder_build_sequence_header(std::uint8_t codec,
                                                        const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> out;
    if (codec == kCodecAv1) return out;
    for (const NalSlice& u : encoder_find_start_codes(bytes)) {
        int t = nal_type(codec, bytes[u.start]);
        bool ps = codec == kCodecHevc ? (t >= 32 && t <= 34) : (t == 7 || t == 8);
        if (!ps) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(u.start),
                   bytes.begin() + static_cast<std::ptrdiff_t>(u.start + u.length));
    }
    return out;
}

std::string encoder_error_text(std::string_view stage, const PlatformError& error) {
    return fmt::format("{} ({})", stage, platform_error_text(error));
}

void EncoderBacklog::sent(std::int64_t stamp) {
    std::lock_guard lock(mutex_);
    pending_.push_back(stamp);
}

void EncoderBacklog::finished(std::int64_t stamp) {
    std::lock_guard lock(mutex_);
    while (!pending_.empty() && pending_.front() <= stamp) pending_.pop_front();
}

std::uint64_t EncoderBacklog::count() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

VideoEncoderFactory video_encoder_factory_default() {
    return VideoEncoderFactory{video_encoder_candidates, video_encoder_open};
}

namespace {

struct OutputState {
    bool published = false;
};

void handle_packet(VideoEncoderParams& p, VideoEncoder& enc, VideoPacket& pkt, OutputState& st) {
    std::int64_t stamp = video_frame_stamp(pkt.pts, p.fps);
    std::int64_t duration = video_frame_stamp(pkt.pts + 1, p.fps) - stamp;
    // New parameter sets: wait for the keyframe that carries them.
    if (pkt.stream_change) st.published = false;
    bool key = pkt.key || encoder_payload_is_key(p.codec, pkt.bytes);
    if (key && !st.published) {
        TrackFormat f;
        f.codec = track_codec(p.codec);
        f.width = p.width;
        f.height = p.height;
        f.fps = p.fps;
        f.bit_rate = p.mean_bit_rate;
        f.since = stamp;
        f.extradata = enc.global_header();
        if (f.extradata.empty()) f.extradata = encoder_build_sequence_header(p.codec, pkt.bytes);
        p.format->store(std::move(f));
        st.published = true;
    }
    p.backlog->finished(stamp);
    if (!st.published) return;  // everything before the first keyframe is dropped
    ReplaySample s;
    s.timestamp = stamp;
    s.duration = duration;
    s.payload = std::make_shared<const std::vector<std::uint8_t>>(std::move(pkt.bytes));
    s.track = kTrackVideo;
    s.keyframe = key;
    (*p.sink)(std::move(s));
}

}  // namespace

void video_encoder_thread_main(VideoEncoderParams p) {
    const VideoCodecInfo& info = video_codec_info(p.codec);
    std::vector<VideoEncoderCandidate> cands = p.factory.candidates(codec_id(p.codec));
    if (cands.empty()) {
        p.reply.send(VideoEncoderReply{
            false, fmt::format("tu tarjeta de video no tiene codificador por hardware para {}", info.label),
            "este equipo no tiene codificador por hardware para él"});
        return;
    }
    VideoEncoderConfig cfg;
    cfg.codec = codec_id(p.codec);
    cfg.width = p.width;
    cfg.height = p.height;
    cfg.fps = p.fps;
    cfg.mean_bit_rate = p.mean_bit_rate;
    cfg.max_bit_rate = video_max_bit_rate(p.mean_bit_rate);
    cfg.quality_vs_speed = p.quality_vs_speed;
    cfg.gop = p.fps;  // one keyframe per second

    std::unique_ptr<VideoEncoder> enc;
    std::string name, last_failure;
    for (const VideoEncoderCandidate& c : cands) {
        VideoEncoderOpen o = p.factory.open(c, cfg);
        if (o.encoder) {
            enc = std::move(o.encoder);
            name = c.name;
            break;
        }
        last_failure = fmt::format("{}: {}", c.name, encoder_error_text(o.failure.stage, o.failure.error));
    }
    if (!enc) {
        p.reply.send(VideoEncoderReply{
            false, fmt::format("no se pudo iniciar el codificador de video ({})", last_failure),
            "ningún codificador por hardware de este equipo pudo iniciarlo"});
        return;
    }
    p.reply.send(VideoEncoderReply{true, name, {}});
    p.reply.close();

    OutputState st;
    VideoPacket pkt;
    for (;;) {
        std::optional<VideoFrameMsg> msg = p.frames.receive();
        if (!msg || !msg->frame) break;  // closed or end of stream: a quiet end
        std::int64_t pts = video_frame_index(msg->timestamp, p.fps);
        std::optional<VideoCodecFailure> f = enc->send(std::move(msg->frame), pts);
        if (!f) {
            VideoCodecFailure rf;
            for (;;) {
                VideoReceive r = enc->receive(pkt, &rf);
                if (r == VideoReceive::packet) {
                    handle_packet(p, *enc, pkt, st);
                    continue;
                }
                if (r == VideoReceive::failed) f = rf;
                break;
            }
        }
        if (f) {
            log_line(fmt::format("\n[ERROR] El codificador de video se detuvo: {}",
                                 encoder_error_text(f->stage, f->error)));
            break;
        }
    }
    // Leaving closes the frame channel: the frame clock sees the encoder gone.
    p.frames.close();
}

namespace {

bool spawn_detached(std::function<void()> body, std::string* error) {
    std::string failure = thread_start_detached("crvn-codificador-video", std::move(body));
    if (error) *error = failure;
    return failure.empty();
}

}  // namespace

VideoEncoderStartConfig video_encoder_start_config(const Settings& s, std::uint32_t width,
                                                   std::uint32_t height) {
    VideoEncoderStartConfig c;
    c.width = width;
    c.height = height;
    c.fps = s.avanzado.fps;
    c.bitrate_mbps = s.avanzado.bitrate_mbps;
    c.bits_per_pixel = s.avanzado.bits_per_pixel;
    c.bitrate_ceiling_mbps = s.avanzado.bitrate_ceiling_mbps;
    const std::size_t profile =
        std::min<std::size_t>(s.grabacion.perfil, kQualityProfiles.size() - 1);
    c.quality_vs_speed = kQualityProfiles[profile].quality_vs_speed;
    c.codec = static_cast<std::uint8_t>(s.avanzado.codec);
    return c;
}

VideoEncoderStarted video_encoder_start(VideoEncoderStartConfig c) {
    VideoEncoderStarted out;
    if (!c.spawn) c.spawn = spawn_detached;
    if (!c.factory.candidates) c.factory = video_encoder_factory_default();
    std::uint8_t codec = c.codec <= kCodecAv1 ? c.codec : kCodecH264;
    for (;;) {
        std::uint32_t rate = video_bit_rate(c.bitrate_mbps, c.fps, c.width, c.height, c.bits_per_pixel,
                                            c.bitrate_ceiling_mbps, codec);
        auto [reply_tx, reply_rx] = make_channel<VideoEncoderReply>(1);
        auto [frames_tx, frames_rx] = make_channel<VideoFrameMsg>(kVideoChannelSlots);
        auto format = std::make_shared<FormatSlot>();
        auto backlog = std::make_shared<EncoderBacklog>();

        VideoEncoderParams p;
        p.reply = std::move(reply_tx);
        p.frames = std::move(frames_rx);
        p.width = c.width;
        p.height = c.height;
        p.fps = c.fps;
        p.mean_bit_rate = rate;
        p.quality_vs_speed = c.quality_vs_speed;
        p.codec = codec;
        p.backlog = backlog;
        p.format = format;
        p.sink = c.sink;
        p.factory = c.factory;

        std::string spawn_error;
        auto holder = std::make_shared<VideoEncoderParams>(std::move(p));
        bool spawned = c.spawn([holder]() mutable { video_encoder_thread_main(std::move(*holder)); },
                               &spawn_error);
        holder.reset();
        std::string failure, words;
        if (!spawned) {
            failure = spawn_error;
        } else {
            std::optional<VideoEncoderReply> reply = reply_rx.receive();
            if (!reply) {
                failure = "el hilo del codificador terminó";
            } else if (reply->ok) {
                out.ok = true;
                out.codec = codec;
                out.mean_bit_rate = rate;
                out.encoder_name = reply->text;
                out.frames = std::move(frames_tx);
                out.format = format;
                out.backlog = backlog;
                return out;
            } else {
                failure = reply->text;
                words = reply->words;
            }
        }
        const VideoCodecInfo& info = video_codec_info(codec);
        if (!spawned || info.fallback < 0) {
            out.error = fmt::format("No se pudo iniciar el codificador de video: {}", failure);
            return out;
        }
        std::uint8_t next = static_cast<std::uint8_t>(info.fallback);
        // The fallback goes on working: one plain line, the system's own
        // texts of each encoder tried are of no use to the user here.
        std::string w = fmt::format("[AVISO] {} no disponible ({}). Se usará {}.", info.label,
                                    words.empty() ? failure : words, video_codec_info(next).label);
        log_line(w);
        out.warnings.push_back(std::move(w));
        codec = next;
    }
}

}  // namespace corvane
