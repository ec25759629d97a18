// MP4 / M4A writing through libavformat (mp4 and ipod muxers).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/mp4.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace corvane {

namespace {

constexpr AVRational kUnits{1, 10'000'000};

std::string av_text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(err, buf, sizeof buf) < 0) return "error " + std::to_string(err);
    return buf;
}

Mp4Error fail(Mp4Step step, int err) {
    return Mp4Error{step, av_text(err)};
}

AVCodecID codec_id(Mp4Codec c) {
    switch (c) {
        case Mp4Codec::h264:
            return AV_CODEC_ID_H264;
        case Mp4Codec::hevc:
            return AV_CODEC_ID_HEVC;
        case Mp4Codec::av1:
            return AV_CODEC_ID_AV1;
        case Mp4Codec::aac:
            return AV_CODEC_ID_AAC;
    }
    return AV_CODEC_ID_NONE;
}

// Keeps a sample's bytes alive for as long as libavformat holds the packet.
using PayloadRef = std::shared_ptr<const std::vector<std::uint8_t>>;

void release_payload(void* opaque, std::uint8_t*) {
    delete static_cast<PayloadRef*>(opaque);
}

class FfmpegMuxer final : public ClipMuxer {
  public:
    FfmpegMuxer(AVFormatContext* ctx, std::string path) : ctx_(ctx), path_(std::move(path)) {}

    ~FfmpegMuxer() override {
        if (ctx_->pb) avio_closep(&ctx_->pb);
        avformat_free_context(ctx_);
    }

    std::optional<Mp4Error> add_track(const Mp4Track& t, int* index) override {
        AVStream* st = avformat_new_stream(ctx_, nullptr);
        if (!st) return fail(Mp4Step::track, AVERROR(ENOMEM));
        AVCodecParameters* p = st->codecpar;
        p->codec_id = codec_id(t.codec);
        p->bit_rate = t.bit_rate;
        if (t.codec == Mp4Codec::aac) {
            p->codec_type = AVMEDIA_TYPE_AUDIO;
            p->sample_rate = static_cast<int>(t.sample_rate);
            av_channel_layout_default(&p->ch_layout, static_cast<int>(t.channels ? t.channels : 2));
            p->frame_size = 1024;
        } else {
            p->codec_type = AVMEDIA_TYPE_VIDEO;
            p->width = static_cast<int>(t.width);
            p->height = static_cast<int>(t.height);
            p->color_primaries = static_cast<AVColorPrimaries>(t.primaries);
            p->color_trc = static_cast<AVColorTransferCharacteristic>(t.transfer);
            p->color_space = static_cast<AVColorSpace>(t.matrix);
            p->color_range = t.full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
            // "hvc1": parameter sets only in the sample description, which is
            // what browsers and most players accept.
            if (t.codec == Mp4Codec::hevc) p->codec_tag = MKTAG('h', 'v', 'c', '1');
            if (t.fps) {
                st->avg_frame_rate = AVRational{static_cast<int>(t.fps), 1};
                st->r_frame_rate = st->avg_frame_rate;
            }
        }
        if (!t.extradata.empty()) {
            if (t.extradata.size() > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
                return fail(Mp4Step::track, AVERROR(EINVAL));
            p->extradata = static_cast<std::uint8_t*>(
                av_mallocz(t.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!p->extradata) return fail(Mp4Step::track, AVERROR(ENOMEM));
            std::memcpy(p->extradata, t.extradata.data(), t.extradata.size());
            p->extradata_size = static_cast<int>(t.extradata.size());
        }
        // Exact 100-ns times; the muxer may pick its own time base at begin().
        st->time_base = kUnits;
        last_dts_.push_back(INT64_MIN);
        *index = st->index;
        return std::nullopt;
    }

    std::optional<Mp4Error> begin() override {
        const int r = avformat_write_header(ctx_, nullptr);
        if (r < 0) return fail(Mp4Step::begin, r);
        return std::nullopt;
    }

    std::optional<Mp4Error> write(int index, const Mp4Sample& s) override {
        if (index < 0 || static_cast<unsigned>(index) >= ctx_->nb_streams)
            return fail(Mp4Step::write, AVERROR(EINVAL));
        AVPacket* pkt = av_packet_alloc();
        if (!pkt) return fail(Mp4Step::prepare, AVERROR(ENOMEM));
        if (s.payload && !s.payload->empty()) {
            if (s.payload->size() > static_cast<std::size_t>(INT_MAX)) {
                av_packet_free(&pkt);
                return fail(Mp4Step::prepare, AVERROR(EINVAL));
            }
            // The packet borrows the shared bytes: no copy is made.
            auto* ref = new PayloadRef(s.payload);
            std::uint8_t* data = const_cast<std::uint8_t*>(s.payload->data());
            pkt->buf = av_buffer_create(data, s.payload->size(), release_payload, ref,
                                        AV_BUFFER_FLAG_READONLY);
            if (!pkt->buf) {
                delete ref;
                av_packet_free(&pkt);
                return fail(Mp4Step::prepare, AVERROR(ENOMEM));
            }
            pkt->data = data;
            pkt->size = static_cast<int>(s.payload->size());
        }
        const AVStream* st = ctx_->streams[index];
        const AVRational tb = st->time_base;
        std::int64_t dts = av_rescale_q(s.timestamp, kUnits, tb);
        const std::int64_t end = av_rescale_q(s.timestamp + s.duration, kUnits, tb);
        std::int64_t& last = last_dts_[static_cast<std::size_t>(index)];
        // Rescaling can map two nearby stamps onto one tick; the container
        // needs strictly increasing decode times.
        if (last != INT64_MIN && dts <= last) dts = last + 1;
        last = dts;
        pkt->dts = dts;
        pkt->pts = dts;
        pkt->duration = end > dts ? end - dts : 0;
        pkt->stream_index = index;
        if (s.keyframe) pkt->flags |= AV_PKT_FLAG_KEY;
        const int r = av_write_frame(ctx_, pkt);
        av_packet_free(&pkt);
        if (r < 0) return fail(Mp4Step::write, r);
        return std::nullopt;
    }

    std::optional<Mp4Error> finish() override {
        int r = av_write_trailer(ctx_);
        const int c = avio_closep(&ctx_->pb);
        if (r >= 0) r = c;
        // On the disk before the caller renames it into place: after a crash
        // or a power cut the clip is whole or absent, never an empty name.
        if (r >= 0) r = sync_file(path_);
        if (r < 0) return fail(Mp4Step::finish, r);
        return std::nullopt;
    }

  private:
    static int sync_file(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return AVERROR(errno);
        const int r = ::fsync(fd) == 0 ? 0 : AVERROR(errno);
        ::close(fd);
        return r;
    }

    AVFormatContext* ctx_;
    std::string path_;
    std::vector<std::int64_t> last_dts_;
};

}  // namespace

ClipMuxerOpen clip_muxer_open(const std::filesystem::path& path, Mp4Container container) {
    ClipMuxerOpen out;
    AVFormatContext* ctx = nullptr;
    const char* format = container == Mp4Container::mp4 ? "mp4" : "ipod";
    int r = avformat_alloc_output_context2(&ctx, nullptr, format, nullptr);
    if (r < 0 || !ctx) {
        out.error = fail(Mp4Step::create, r < 0 ? r : AVERROR(ENOMEM));
        return out;
    }
    // The muxers read the name only to warn about an unusual extension:
    // give them the name the file will have once complete.
    std::string name = path.string();
    if (name.size() > 5 && name.ends_with(".part")) name.resize(name.size() - 5);
    av_freep(&ctx->url);
    ctx->url = av_strdup(name.c_str());
    // "file:" keeps a colon in the name from being read as a protocol.
    const std::string url = "file:" + path.string();
    r = avio_open(&ctx->pb, url.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        avformat_free_context(ctx);
        out.error = fail(Mp4Step::create, r);
        return out;
    }
    out.muxer = std::make_unique<FfmpegMuxer>(ctx, path.string());
    return out;
}

}  // namespace corvane
