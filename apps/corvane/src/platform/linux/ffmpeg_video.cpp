// Video coding with FFmpeg: libswscale for BGRA → NV12, libavcodec encoders
// (VA-API, NVENC, QSV when present; libx264 as the software H.264 encoder).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <cstring>

#include <fmt/format.h>

#include "platform/media_log.h"
#include "platform/video_codec.h"

namespace corvane {
namespace {

std::atomic<bool> g_allow_software{false};

PlatformError av_error(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return PlatformError{code, buf};
}

VideoCodecFailure failure(const char* stage, int code) { return {stage, av_error(code)}; }
VideoCodecFailure failure(const char* stage, std::string text) {
    return {stage, PlatformError{0, std::move(text)}};
}

std::size_t align64(std::size_t n) { return (n + 63) & ~std::size_t{63}; }

class SwsNv12Scaler final : public Nv12Scaler {
public:
    SwsNv12Scaler(SwsContext* ctx, std::uint32_t sh, std::uint32_t dw, std::uint32_t dh)
        : ctx_(ctx), src_h_(sh), dst_w_(dw), dst_h_(dh) {}
    ~SwsNv12Scaler() override { sws_freeContext(ctx_); }

    std::optional<PlatformError> convert(const std::uint8_t* bgra, std::size_t stride,
                                         Nv12Frame& out) override {
        if (out.width != dst_w_ || out.height != dst_h_ || !out.y)
            return PlatformError{0, "el cuadro NV12 no tiene el tamaño de salida"};
        const std::uint8_t* src[4] = {bgra, nullptr, nullptr, nullptr};
        int src_stride[4] = {static_cast<int>(stride), 0, 0, 0};
        std::uint8_t* dst[4] = {out.y, out.uv, nullptr, nullptr};
        int dst_stride[4] = {static_cast<int>(out.y_stride), static_cast<int>(out.uv_stride), 0, 0};
        int rows = sws_scale(ctx_, src, src_stride, 0, static_cast<int>(src_h_), dst, dst_stride);
        if (rows <= 0) return av_error(rows < 0 ? rows : AVERROR(EINVAL));
        return std::nullopt;
    }

private:
    SwsContext* ctx_;
    std::uint32_t src_h_, dst_w_, dst_h_;
};

// How fast the encoder may be, from the profile's quality-vs-speed figure:
// 0 is the slowest preset used, 4 the fastest.
int speed_step(std::uint32_t q) {
    if (q >= 80) return 0;
    if (q >= 66) return 1;
    if (q >= 50) return 2;
    if (q >= 33) return 3;
    return 4;
}

void release_frame_hold(void* opaque, std::uint8_t*) {
    auto* keep = static_cast<std::shared_ptr<const Nv12Frame>*>(opaque);
    (*keep)->holds.fetch_sub(1, std::memory_order_release);
    delete keep;
}

class FfmpegVideoEncoder final : public VideoEncoder {
public:
    ~FfmpegVideoEncoder() override {
        avcodec_free_context(&ctx_);
        av_buffer_unref(&hw_frames_);
        av_buffer_unref(&hw_device_);
        av_packet_free(&pkt_);
    }

    std::optional<VideoCodecFailure> open(const VideoEncoderCandidate& cand,
                                          const VideoEncoderConfig& cfg) {
        const AVCodec* codec = avcodec_find_encoder_by_name(cand.id.c_str());
        if (!codec) return failure("activar", AVERROR_ENCODER_NOT_FOUND);
        ctx_ = avcodec_alloc_context3(codec);
        pkt_ = av_packet_alloc();
        if (!ctx_ || !pkt_) return failure("activar", AVERROR(ENOMEM));
        codec_ = cfg.codec;
        vaapi_ = cand.id.find("_vaapi") != std::string::npos;

        AVPixelFormat sw_fmt = AV_PIX_FMT_NV12;
        if (!vaapi_) {
            bool nv12 = false, yuv420 = false;
            for (const AVPixelFormat* p = codec->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
                nv12 |= *p == AV_PIX_FMT_NV12;
                yuv420 |= *p == AV_PIX_FMT_YUV420P;
            }
            if (!nv12 && !yuv420)
                return failure("formato de entrada NV12", "el codificador no acepta NV12");
            planar_ = !nv12;
            sw_fmt = planar_ ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
        }

        ctx_->width = static_cast<int>(cfg.width);
        ctx_->height = static_cast<int>(cfg.height);
        ctx_->time_base = AVRational{1, static_cast<int>(cfg.fps)};
        ctx_->framerate = AVRational{static_cast<int>(cfg.fps), 1};
        ctx_->sample_aspect_ratio = AVRational{1, 1};
        ctx_->pix_fmt = vaapi_ ? AV_PIX_FMT_VAAPI : sw_fmt;
        ctx_->bit_rate = cfg.mean_bit_rate;
        ctx_->rc_max_rate = cfg.max_bit_rate;
        ctx_->rc_buffer_size = static_cast<int>(std::min<std::uint32_t>(cfg.max_bit_rate, INT32_MAX));
        ctx_->gop_size = static_cast<int>(cfg.gop);
        ctx_->keyint_min = static_cast<int>(cfg.gop);
        ctx_->max_b_frames = 0;
        ctx_->color_primaries = AVCOL_PRI_BT709;
        ctx_->color_trc = AVCOL_TRC_BT709;
        ctx_->colorspace = AVCOL_SPC_BT709;
        ctx_->color_range = AVCOL_RANGE_MPEG;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        // H.264 and HEVC repeat their parameter sets in every keyframe; AV1's
        // sequence header is only in the extradata, which the MP4 needs.
        if (cfg.codec == VideoCodecId::av1) ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

        const std::string& id = cand.id;
        if (id == "libx264") {
            ctx_->thread_count = 0;
            av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
            av_opt_set(ctx_->priv_data, "profile", "high", 0);
            av_opt_set(ctx_->priv_data, "x264-params", "scenecut=0:open-gop=0:rc-lookahead=0", 0);
        } else if (id == "libx265") {
            ctx_->thread_count = 0;
            av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
            av_opt_set(ctx_->priv_data, "x265-params",
                       "scenecut=0:open-gop=0:rc-lookahead=0:repeat-headers=1:log-level=error", 0);
        } else if (id == "libsvtav1") {
            ctx_->thread_count = 0;
            av_opt_set(ctx_->priv_data, "svtav1-params", "pred-struct=1:scd=0:lookahead=0", 0);
        } else if (id.find("_nvenc") != std::string::npos) {
            av_opt_set(ctx_->priv_data, "tune", "ll", 0);
            av_opt_set(ctx_->priv_data, "rc", "vbr", 0);
            av_opt_set_int(ctx_->priv_data, "zerolatency", 1, 0);
            av_opt_set_int(ctx_->priv_data, "delay", 0, 0);
        } else if (id.find("_qsv") != std::string::npos) {
            av_opt_set_int(ctx_->priv_data, "async_depth", 1, 0);
            av_opt_set_int(ctx_->priv_data, "look_ahead", 0, 0);
        } else if (vaapi_) {
            av_opt_set(ctx_->priv_data, "rc_mode", "VBR", 0);
        }
        // The profile's quality against speed; an encoder that lacks the
        // option still records, only at its own default speed.
        const VideoSpeedOption speed = video_encoder_speed_option(id, cfg.quality_vs_speed);
        if (!speed.name.empty())
            av_opt_set(ctx_, speed.name.c_str(), speed.value.c_str(), AV_OPT_SEARCH_CHILDREN);

        if (vaapi_) {
            int err = av_hwdevice_ctx_create(&hw_device_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
            if (err < 0) return failure("administrador DXGI", err);
            hw_frames_ = av_hwframe_ctx_alloc(hw_device_);
            if (!hw_frames_) return failure("asignar dispositivo", AVERROR(ENOMEM));
            auto* fc = reinterpret_cast<AVHWFramesContext*>(hw_frames_->data);
            fc->format = AV_PIX_FMT_VAAPI;
            fc->sw_format = AV_PIX_FMT_NV12;
            fc->width = ctx_->width;
            fc->height = ctx_->height;
            fc->initial_pool_size = 20;
            err = av_hwframe_ctx_init(hw_frames_);
            if (err < 0) return failure("asignar dispositivo", err);
            ctx_->hw_frames_ctx = av_buffer_ref(hw_frames_);
            if (!ctx_->hw_frames_ctx) return failure("compartir GPU con el codificador", AVERROR(ENOMEM));
        }

        int err = avcodec_open2(ctx_, codec, nullptr);
        if (err < 0) return failure("iniciar", err);
        return std::nullopt;
    }

    std::optional<VideoCodecFailure> send(std::shared_ptr<const Nv12Frame> frame,
                                          std::int64_t pts) override {
        AVFrame* f = nullptr;
        if (frame) {
            f = planar_ ? planar_copy(*frame) : wrap(std::move(frame));
            if (!f) return failure("enviar cuadro", AVERROR(ENOMEM));
            f->pts = pts;
            if (vaapi_) {
                AVFrame* hw = av_frame_alloc();
                int err = hw ? av_hwframe_get_buffer(hw_frames_, hw, 0) : AVERROR(ENOMEM);
                if (err >= 0) err = av_hwframe_transfer_data(hw, f, 0);
                av_frame_free(&f);
                if (err < 0) {
                    av_frame_free(&hw);
                    return failure("enviar cuadro", err);
                }
                hw->pts = pts;
                f = hw;
            }
        }
        int err = avcodec_send_frame(ctx_, f);
        av_frame_free(&f);
        if (err < 0) return failure("enviar cuadro", err);
        return std::nullopt;
    }

    VideoReceive receive(VideoPacket& out, VideoCodecFailure* fail) override {
        int err = avcodec_receive_packet(ctx_, pkt_);
        if (err == AVERROR(EAGAIN)) return VideoReceive::again;
        if (err == AVERROR_EOF) return VideoReceive::ended;
        if (err < 0) {
            if (fail) *fail = failure("recibir paquete", err);
            return VideoReceive::failed;
        }
        out.bytes.assign(pkt_->data, pkt_->data + pkt_->size);
        out.pts = pkt_->pts;
        out.key = (pkt_->flags & AV_PKT_FLAG_KEY) != 0;
        std::size_t side = 0;
        out.stream_change = av_packet_get_side_data(pkt_, AV_PKT_DATA_NEW_EXTRADATA, &side) != nullptr;
        av_packet_unref(pkt_);
        return VideoReceive::packet;
    }

    std::vector<std::uint8_t> global_header() const override {
        if (codec_ != VideoCodecId::av1 || !ctx_->extradata || ctx_->extradata_size <= 0) return {};
        return {ctx_->extradata, ctx_->extradata + ctx_->extradata_size};
    }

private:
    // The picture as an AVFrame without a copy: the buffer keeps a reference
    // to the picture and counts itself in `holds` until the encoder lets go.
    AVFrame* wrap(std::shared_ptr<const Nv12Frame> frame) {
        AVFrame* f = av_frame_alloc();
        if (!f) return nullptr;
        const Nv12Frame& n = *frame;
        n.holds.fetch_add(1, std::memory_order_relaxed);
        auto* keep = new std::shared_ptr<const Nv12Frame>(std::move(frame));
        f->buf[0] = av_buffer_create(n.y, n.bytes, release_frame_hold, keep, AV_BUFFER_FLAG_READONLY);
        if (!f->buf[0]) {
            release_frame_hold(keep, nullptr);
            av_frame_free(&f);
            return nullptr;
        }
        fill_props(f);
        f->format = AV_PIX_FMT_NV12;
        f->data[0] = n.y;
        f->data[1] = n.uv;
        f->linesize[0] = static_cast<int>(n.y_stride);
        f->linesize[1] = static_cast<int>(n.uv_stride);
        return f;
    }

    // For encoders without NV12 input: split U and V into their own planes.
    AVFrame* planar_copy(const Nv12Frame& n) {
        AVFrame* f = av_frame_alloc();
        if (!f) return nullptr;
        fill_props(f);
        f->format = AV_PIX_FMT_YUV420P;
        if (av_frame_get_buffer(f, 0) < 0) {
            av_frame_free(&f);
            return nullptr;
        }
        for (std::uint32_t r = 0; r < n.height; ++r)
            std::memcpy(f->data[0] + r * f->linesize[0], n.y + r * n.y_stride, n.width);
        for (std::uint32_t r = 0; r < n.height / 2; ++r) {
            const std::uint8_t* s = n.uv + r * n.uv_stride;
            std::uint8_t* u = f->data[1] + r * f->linesize[1];
            std::uint8_t* v = f->data[2] + r * f->linesize[2];
            for (std::uint32_t x = 0; x < n.width / 2; ++x) {
                u[x] = s[2 * x];
                v[x] = s[2 * x + 1];
            }
        }
        return f;
    }

    void fill_props(AVFrame* f) const {
        f->width = ctx_->width;
        f->height = ctx_->height;
        f->color_primaries = AVCOL_PRI_BT709;
        f->color_trc = AVCOL_TRC_BT709;
        f->colorspace = AVCOL_SPC_BT709;
        f->color_range = AVCOL_RANGE_MPEG;
        f->sample_aspect_ratio = AVRational{1, 1};
    }

    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVBufferRef* hw_device_ = nullptr;
    AVBufferRef* hw_frames_ = nullptr;
    VideoCodecId codec_ = VideoCodecId::h264;
    bool vaapi_ = false;
    bool planar_ = false;
};

}  // namespace

std::shared_ptr<Nv12Frame> nv12_frame_alloc(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0 || width % 2 || height % 2) return nullptr;
    auto f = std::make_shared<Nv12Frame>();
    f->width = width;
    f->height = height;
    f->y_stride = align64(width);
    f->uv_stride = align64(width);
    std::size_t y_bytes = f->y_stride * height;
    std::size_t uv_bytes = f->uv_stride * (height / 2);
    f->bytes = y_bytes + uv_bytes;
    // 64 bytes of slack to align the start, 64 of padding past the end for SIMD reads.
    f->storage.reset(new std::uint8_t[f->bytes + 128]());
    auto base = reinterpret_cast<std::uintptr_t>(f->storage.get());
    f->y = f->storage.get() + (align64(base) - base);
    f->uv = f->y + y_bytes;
    return f;
}

Nv12ScalerResult nv12_scaler_create(std::uint32_t src_w, std::uint32_t src_h, std::uint32_t dst_w,
                                    std::uint32_t dst_h) {
    Nv12ScalerResult r;
    if (!src_w || !src_h || !dst_w || !dst_h || dst_w % 2 || dst_h % 2) {
        r.error = PlatformError{AVERROR(EINVAL), "tamaño no válido"};
        return r;
    }
    SwsContext* ctx = sws_getContext(static_cast<int>(src_w), static_cast<int>(src_h), AV_PIX_FMT_BGR0,
                                     static_cast<int>(dst_w), static_cast<int>(dst_h), AV_PIX_FMT_NV12,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!ctx) {
        r.error = PlatformError{AVERROR(EINVAL), "sws_getContext"};
        return r;
    }
    // swscale's default matrix is BT.601; the stream is tagged BT.709 studio range.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    if (sws_setColorspaceDetails(ctx, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
        sws_freeContext(ctx);
        r.error = PlatformError{AVERROR(ENOSYS), "sws_setColorspaceDetails"};
        return r;
    }
    r.scaler = std::make_unique<SwsNv12Scaler>(ctx, src_h, dst_w, dst_h);
    return r;
}

std::vector<VideoEncoderCandidate> video_encoder_candidates(VideoCodecId codec) {
    std::vector<const char*> names;
    bool soft = g_allow_software.load();
    switch (codec) {
        case VideoCodecId::h264:
            names = {"h264_vaapi", "h264_nvenc", "h264_qsv", "libx264"};
            break;
        case VideoCodecId::hevc:
            names = {"hevc_vaapi", "hevc_nvenc", "hevc_qsv"};
            if (soft) names.push_back("libx265");
            break;
        case VideoCodecId::av1:
            names = {"av1_vaapi", "av1_nvenc", "av1_qsv"};
            if (soft) names.push_back("libsvtav1");
            break;
    }
    std::vector<VideoEncoderCandidate> out;
    for (const char* n : names) {
        const AVCodec* c = avcodec_find_encoder_by_name(n);
        if (!c) continue;
        std::string friendly = c->long_name && *c->long_name ? c->long_name : "(sin nombre)";
        out.push_back({friendly, n, (c->capabilities & AV_CODEC_CAP_HARDWARE) != 0});
    }
    return out;
}

VideoEncoderOpen video_encoder_open(const VideoEncoderCandidate& candidate,
                                    const VideoEncoderConfig& config) {
    VideoEncoderOpen r;
    auto enc = std::make_unique<FfmpegVideoEncoder>();
    // A hardware encoder (VA-API, NVENC, QSV) is a guess: no card, no
    // driver. Its library's complaints stay out of the log; the failure text
    // says what went wrong. The software encoders ("lib...") keep theirs.
    std::optional<MediaLogQuiet> quiet;
    if (candidate.id.rfind("lib", 0) != 0) quiet.emplace();
    if (auto f = enc->open(candidate, config)) {
        r.failure = *f;
        enc.reset();
        return r;
    }
    r.encoder = std::move(enc);
    return r;
}

VideoSpeedOption video_encoder_speed_option(std::string_view id, std::uint32_t q) {
    const int step = speed_step(q);
    auto has = [&](std::string_view part) { return id.find(part) != std::string_view::npos; };
    if (id == "libx264" || id == "libx265") {
        static const char* const names[] = {"fast", "faster", "veryfast", "superfast", "ultrafast"};
        return {"preset", names[step]};
    }
    if (id == "libsvtav1") return {"preset", std::to_string(8 + step)};
    if (has("_nvenc")) {
        static const char* const names[] = {"p5", "p4", "p3", "p2", "p1"};
        return {"preset", names[step]};
    }
    if (has("_qsv")) {
        static const char* const names[] = {"slow", "medium", "fast", "faster", "veryfast"};
        return {"preset", names[step]};
    }
    // VA-API drivers read a higher level as faster (1 is their best quality).
    if (has("_vaapi")) return {"compression_level", std::to_string(1 + step)};
    return {};
}

void video_codec_allow_software_for_tests(bool allow) { g_allow_software.store(allow); }

}  // namespace corvane
