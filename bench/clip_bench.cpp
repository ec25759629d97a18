// Clip saving: writing a buffered 60 s 1080p60 H.264 + AAC clip against
// `ffmpeg -i same.mp4 -c copy out.mp4` of the same stream, and the disk-use
// scan of 5,000 clips against `find`.
//
// The source is made once with ffmpeg (testsrc2, libx264 at about 14 Mb/s,
// GOP 60, no B pictures; a sine as AAC) and kept beside this program. Its
// packets are turned back into what the encoders hand the buffer (Annex-B
// access units with exact 100-ns stamps, raw AAC frames), pushed through the
// sink, and saved with the real saver. Printed lines:
//   clip_write_60s_1080p60_ms  ours = clipsaver_save, reference = ffmpeg -c copy
//   clip_scan_5000_ms          ours = clips_disk_usage_json, reference = find -printf
// Times are medians of several runs. Nothing passes or fails.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "base/log.h"
#include "base/paths.h"
#include "clips/library.h"
#include "recording/clip_saver.h"
#include "recording/replay_buffer.h"
#include "recording/video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;
using namespace corvane;

namespace {

constexpr int kRuns = 5;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double time_command_ms(const std::string& cmd) {
    const double t0 = now_ms();
    if (std::system(cmd.c_str()) != 0) return -1;
    return now_ms() - t0;
}

fs::path source_file(const fs::path& dir) {
    const fs::path src = dir / "clip_bench_source.mp4";
    if (fs::exists(src)) return src;
    const std::string cmd = fmt::format(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=60 -f lavfi "
        "-i sine=frequency=440:sample_rate=48000 -t 60 -c:v libx264 -preset ultrafast -tune "
        "zerolatency "
        "-b:v 14M -maxrate 21M -bufsize 21M -g 60 -keyint_min 60 -sc_threshold 0 -bf 0 -pix_fmt "
        "yuv420p "
        "-c:a aac -b:a 160k -ac 2 '{}.tmp.mp4' && mv '{}.tmp.mp4' '{}'",
        src.string(), src.string(), src.string());
    std::fprintf(stderr, "making the 60 s 1080p60 source (once)...\n");
    if (std::system(cmd.c_str()) != 0) return {};
    return src;
}

struct Loaded {
    std::vector<ReplaySample> samples;  // in file order
    TrackFormat video;
    TrackFormat audio;
};

// The source's packets as the encoders would have produced them.
bool load(const fs::path& src, Loaded& out) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, src.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(in, nullptr);
    const int v = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int a = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (v < 0 || a < 0) return false;
    const AVBitStreamFilter* f = av_bsf_get_by_name("h264_mp4toannexb");
    AVBSFContext* bsf = nullptr;
    av_bsf_alloc(f, &bsf);
    avcodec_parameters_copy(bsf->par_in, in->streams[v]->codecpar);
    bsf->time_base_in = in->streams[v]->time_base;
    av_bsf_init(bsf);
    const AVCodecParameters* ap = in->streams[a]->codecpar;
    out.audio.codec = TrackCodec::aac;
    out.audio.sample_rate = static_cast<std::uint32_t>(ap->sample_rate);
    out.audio.channels = static_cast<std::uint32_t>(ap->ch_layout.nb_channels);
    out.audio.extradata.assign(ap->extradata, ap->extradata + ap->extradata_size);
    const AVCodecParameters* vp = in->streams[v]->codecpar;
    out.video.codec = TrackCodec::h264;
    out.video.width = static_cast<std::uint32_t>(vp->width);
    out.video.height = static_cast<std::uint32_t>(vp->height);
    out.video.fps = 60;

    std::int64_t frame = 0;
    std::int64_t aac = 0;
    AVPacket* pkt = av_packet_alloc();
    auto push_video = [&](AVPacket* p) {
        ReplaySample s;
        s.timestamp = video_frame_stamp(frame, 60);
        s.duration = video_frame_stamp(frame + 1, 60) - s.timestamp;
        s.payload = std::make_shared<const std::vector<std::uint8_t>>(p->data, p->data + p->size);
        s.keyframe = (p->flags & AV_PKT_FLAG_KEY) != 0;
        s.track = kTrackVideo;
        if (s.keyframe && out.video.extradata.empty())
            out.video.extradata = encoder_build_sequence_header(kCodecH264, *s.payload);
        out.samples.push_back(std::move(s));
        ++frame;
    };
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == v) {
            av_bsf_send_packet(bsf, pkt);
            while (av_bsf_receive_packet(bsf, pkt) == 0) {
                push_video(pkt);
                av_packet_unref(pkt);
            }
        } else if (pkt->stream_index == a) {
            ReplaySample s;
            s.timestamp = aac * 1024 * 10'000'000 / 48000;
            s.duration = (aac + 1) * 1024 * 10'000'000 / 48000 - s.timestamp;
            s.payload =
                std::make_shared<const std::vector<std::uint8_t>>(pkt->data, pkt->data + pkt->size);
            s.keyframe = true;
            s.track = kTrackAudio;
            out.samples.push_back(std::move(s));
            ++aac;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_bsf_free(&bsf);
    avformat_close_input(&in);
    return !out.samples.empty() && !out.video.extradata.empty();
}

void bench_write(const fs::path& work) {
    const fs::path src = source_file(work);
    Loaded l;
    if (src.empty() || !load(src, l)) {
        std::fprintf(stderr, "no source clip\n");
        return;
    }
    auto buffer = std::make_shared<ReplayBuffer>();
    SampleSink sink{buffer, 120 * 10'000'000LL, 8ULL << 30};
    for (ReplaySample& s : l.samples) replay_buffer_push(sink, std::move(s));

    ClipSaverContext ctx;
    ctx.clips_folder = work / "clips";
    ctx.buffer = buffer;
    ctx.video_format = [&] { return std::optional<PublishedTrack>({clip_mp4_track(l.video), 0}); };
    ctx.audio_format = [&] { return std::optional<PublishedTrack>({clip_mp4_track(l.audio), 0}); };
    ctx.sound_on_save = false;
    std::vector<double> ours;
    std::vector<double> reference;
    for (int run = 0; run < kRuns; ++run) {
        std::error_code ec;
        fs::remove_all(ctx.clips_folder, ec);
        SaveRequest req = save_request_manual();
        req.clip_path = "bench/Manual/ours.mp4";
        const double t0 = now_ms();
        const ClipSaveResult r = clipsaver_save(ctx, req);
        ours.push_back(now_ms() - t0);
        if (r.outcome != ClipSaveResult::Outcome::saved) {
            std::fprintf(stderr, "save failed: %s\n", r.error.c_str());
            return;
        }
        const fs::path out = work / "reference.mp4";
        reference.push_back(time_command_ms(fmt::format(
            "ffmpeg -nostdin -v error -y -i '{}' -c copy '{}'", src.string(), out.string())));
    }
    const double o = median(ours);
    const double r = median(reference);
    std::printf("clip_write_60s_1080p60_ms ours=%.1f reference=%.1f ratio=%.3f\n", o, r, o / r);
}

void bench_scan(const fs::path& work) {
    const fs::path clips = work / "scan";
    std::error_code ec;
    fs::remove_all(clips, ec);
    for (int i = 0; i < 5000; ++i) {
        const char* folder = i % 3 == 0 ? "Manual" : (i % 3 == 1 ? "Bajas" : "Muertes");
        const fs::path clip = clips / fmt::format("2026-01-{:02}", 1 + i % 28) / folder /
                              fmt::format("CRVN_{}.mp4", i);
        fs::create_directories(clip.parent_path());
        std::ofstream(clip) << "x";
        std::ofstream(clips_sidecar_path(clip))
            << (i % 2 ? R"({"clip":"x","archivado":true})" : R"({"clip":"x"})");
    }
    std::vector<double> ours;
    std::vector<double> reference;
    for (int run = 0; run < kRuns; ++run) {
        const double t0 = now_ms();
        benchmark::DoNotOptimize(clips_disk_usage_json(clips, 50));
        ours.push_back(now_ms() - t0);
        reference.push_back(time_command_ms(fmt::format(
            "find '{}' -iname '*.mp4' -printf '%s %T@\\n' >/dev/null", clips.string())));
    }
    const double o = median(ours);
    const double r = median(reference);
    std::printf("clip_scan_5000_ms ours=%.1f reference=%.1f ratio=%.3f\n", o, r, o / r);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const fs::path work = fs::path(argv[0]).parent_path() / "clip_bench_work";
    fs::create_directories(work);
    paths_set_app_dir_for_tests(work);
    log_open();
    bench_write(work);
    bench_scan(work);
    std::fflush(stdout);
    return 0;
}
