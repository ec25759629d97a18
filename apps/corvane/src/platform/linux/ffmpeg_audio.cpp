// AAC with FFmpeg's native encoder: planar float in 1024-sample frames, fed
// from a FIFO so that blocks of any length can be handed in.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/audio_codec.h"
#include "platform/media_log.h"

namespace corvane {
namespace {

constexpr int kRate = 48000;
constexpr int kBitRate = 192000;

PlatformError av_audio_error(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return PlatformError{code, buf};
}

class FfmpegAac final : public AacEncoder {
  public:
    ~FfmpegAac() override {
        // The encoder is never drained (the recording just stops), which it
        // reports as frames left over: expected, not worth a log line.
        MediaLogQuiet quiet;
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (fifo_) av_audio_fifo_free(fifo_);
        avcodec_free_context(&ctx_);
    }

    AacFailure open() {
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) return AacFailure{"el sistema no tiene codificador AAC", {}, true};
        ctx_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!ctx_ || !frame_ || !packet_)
            return AacFailure{"formatos de audio", av_audio_error(AVERROR(ENOMEM))};
        ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        ctx_->sample_rate = kRate;
        av_channel_layout_default(&ctx_->ch_layout, 2);
        ctx_->bit_rate = kBitRate;
        ctx_->profile = FF_PROFILE_AAC_LOW;
        ctx_->time_base = AVRational{1, kRate};
        // Raw frames; the AudioSpecificConfig goes into the track header.
        ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(ctx_, codec, nullptr) < 0)
            return AacFailure{"el codificador AAC no aceptó 48 kHz estéreo", {}, true};
        frame_size_ = ctx_->frame_size > 0 ? ctx_->frame_size : 1024;
        priming_ = ctx_->initial_padding;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = kRate;
        frame_->nb_samples = frame_size_;
        int rc = av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout);
        if (rc >= 0) rc = av_frame_get_buffer(frame_, 0);
        if (rc < 0) return AacFailure{"formatos de audio", av_audio_error(rc)};
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, frame_size_ * 4);
        if (!fifo_) return AacFailure{"formatos de audio", av_audio_error(AVERROR(ENOMEM))};
        return AacFailure{};
    }

    std::optional<AacFailure> send(const std::int16_t* s, std::size_t frames,
                                   std::uint64_t start) override {
        if (frames == 0) return std::nullopt;
        if (start > next_pos_) {
            // Blocks were lost before this one: what waits for a whole frame
            // cannot be joined to it without moving it in time.
            av_audio_fifo_reset(fifo_);
            next_pos_ = start;
        }
        left_.resize(frames);
        right_.resize(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            left_[i] = static_cast<float>(s[2 * i]) * (1.0f / 32768.0f);
            right_[i] = static_cast<float>(s[2 * i + 1]) * (1.0f / 32768.0f);
        }
        void* planes[2] = {left_.data(), right_.data()};
        int rc = av_audio_fifo_write(fifo_, planes, static_cast<int>(frames));
        if (rc < 0) return AacFailure{"enviar audio", av_audio_error(rc)};
        next_pos_ += frames;
        while (av_audio_fifo_size(fifo_) >= frame_size_) {
            rc = av_frame_make_writable(frame_);
            if (rc < 0) return AacFailure{"enviar audio", av_audio_error(rc)};
            const std::uint64_t at = next_pos_ - static_cast<std::uint64_t>(av_audio_fifo_size(fifo_));
            rc = av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), frame_size_);
            if (rc < 0) return AacFailure{"enviar audio", av_audio_error(rc)};
            frame_->pts = static_cast<std::int64_t>(at);
            rc = avcodec_send_frame(ctx_, frame_);
            if (rc < 0) return AacFailure{"enviar audio", av_audio_error(rc)};
            // Collect at once: the encoder refuses input while output waits.
            if (auto f = collect()) return f;
        }
        return std::nullopt;
    }

    AacReceive receive(std::vector<std::uint8_t>& out, std::uint64_t* position,
                       AacFailure* failure) override {
        if (!ready_.empty()) {
            out = std::move(ready_.front().bytes);
            if (position) *position = ready_.front().position;
            ready_.pop_front();
            return AacReceive::packet;
        }
        if (failed_.stage.empty()) return AacReceive::again;
        if (failure) *failure = failed_;
        return AacReceive::failed;
    }

    std::vector<std::uint8_t> audio_specific_config() const override {
        if (!ctx_ || !ctx_->extradata || ctx_->extradata_size <= 0) return {};
        return std::vector<std::uint8_t>(ctx_->extradata, ctx_->extradata + ctx_->extradata_size);
    }

  private:
    std::optional<AacFailure> collect() {
        for (;;) {
            int rc = avcodec_receive_packet(ctx_, packet_);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return std::nullopt;
            if (rc < 0) {
                failed_ = AacFailure{"recibir AAC", av_audio_error(rc)};
                return std::nullopt;  // reported by receive(), after the frames before it
            }
            // The packet's time is its input's less the priming; adding the
            // priming back keeps the first frame at 0, and every frame as
            // late as the first, also after a gap.
            std::int64_t pos = packet_->pts == AV_NOPTS_VALUE ? 0 : packet_->pts + priming_;
            ready_.push_back(
                Ready{{packet_->data, packet_->data + packet_->size},
                      static_cast<std::uint64_t>(std::max<std::int64_t>(pos, 0))});
            av_packet_unref(packet_);
        }
    }

    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    int frame_size_ = 1024;
    int priming_ = 0;
    std::uint64_t next_pos_ = 0;  // time line position just past the last sample queued
    std::vector<float> left_, right_;
    struct Ready {
        std::vector<std::uint8_t> bytes;
        std::uint64_t position;
    };
    std::deque<Ready> ready_;
    AacFailure failed_;
};

}  // namespace

AacEncoderOpen aac_encoder_open() {
    AacEncoderOpen r;
    auto enc = std::make_unique<FfmpegAac>();
    AacFailure f = enc->open();
    if (f.stage.empty())
        r.encoder = std::move(enc);
    else
        r.failure = std::move(f);
    return r;
}

}  // namespace corvane
