#include "recording/audio_encoder.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "base/log.h"
#include "platform/thread.h"
#include "recording/audio_level.h"
#include "recording/video_encoder.h"

namespace corvane {

std::int64_t audio_position_stamp(std::uint64_t position) {
    return static_cast<std::int64_t>(static_cast<unsigned __int128>(position) * 10'000'000u /
                                     kAudioRate);
}

std::int64_t aac_frame_stamp(std::uint64_t k) {
    return audio_position_stamp(k * 1024u);
}

AudioClockStep::AudioClockStep(AudioClockConfig config) : c_(std::move(config)) {
    if (c_.fps == 0) c_.fps = 1;
}

void AudioClockStep::start() {
    // Nothing captured before the first picture reaches the clip.
    audio_trim_rings(c_.game.get(), c_.mic.get(), 0);
}

void AudioClockStep::send(ChannelSender<PcmBlock>& to, PcmBlock block, bool& dropping) {
    if (!to) return;
    // While an encoder is stuck the clock must keep its pace: wait about two
    // periods once, then offer later blocks without waiting.
    auto wait =
        dropping ? std::chrono::nanoseconds(0) : std::chrono::nanoseconds(2'000'000'000 / c_.fps);
    switch (to.send_for(std::move(block), wait)) {
        case ChannelSender<PcmBlock>::Sent::sent:
            dropping = false;
            break;
        case ChannelSender<PcmBlock>::Sent::closed:
            break;  // the encoder has gone: the block is lost
        case ChannelSender<PcmBlock>::Sent::full:
            if (!dropping)
                log_line("\n[AVISO] El codificador de audio va atrasado: se descarta audio.");
            dropping = true;
            break;
    }
}

void AudioClockStep::step(std::uint64_t i) {
    const std::uint64_t expected = static_cast<std::uint64_t>(
        (static_cast<unsigned __int128>(i) * kAudioRate + kAudioRate) / c_.fps);
    std::uint64_t take = 0;
    if (expected > produced_) {
        const std::uint64_t need = expected - produced_;
        AudioRing* ref = c_.game ? c_.game.get() : c_.mic.get();
        const std::uint64_t available = ref ? ref->frames() : 0;
        take = need;
        if (need > available && need - available <= kAudioCarryFrames) take = available;
        // After a long stall the span owed can be minutes of silence: it goes
        // out in blocks of at most a second, never as one huge allocation.
        for (std::uint64_t at = produced_, left = take; left > 0;) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, kAudioMaxBlockFrames));
            const std::uint64_t start = at;
            left -= n;
            at += n;
            main_mix_.assign(2 * n, 0.0f);
            if (c_.game) audio_ring_take(*c_.game, c_.game_volume, n, main_mix_.data());
            const bool voice = c_.mic && c_.voice_apart;
            if (voice) {
                voice_mix_.assign(2 * n, 0.0f);
                audio_ring_take(*c_.mic, c_.mic_volume, n, voice_mix_.data());
            } else if (c_.mic) {
                audio_ring_take(*c_.mic, c_.mic_volume, n, main_mix_.data());
            }
            send(c_.main, PcmBlock{start, audio_f32_to_pcm16(main_mix_)}, main_dropping_);
            if (voice) send(c_.voice, PcmBlock{start, audio_f32_to_pcm16(voice_mix_)}, voice_dropping_);
        }
    }
    produced_ += take;
    audio_trim_rings(c_.game.get(), c_.mic.get(), kAudioKeepFrames);
}

namespace {

std::string failure_text(const AacFailure& f) {
    return f.bare ? f.stage : encoder_error_text(f.stage, f.error);
}

}  // namespace

void audio_encoder_thread_main(AudioEncoderParams p) {
    AacEncoderOpen opened = p.factory ? p.factory() : aac_encoder_open();
    if (!opened.encoder) {
        p.reply.send(AudioEncoderReply{false, failure_text(opened.failure)});
        return;
    }
    AacEncoder& enc = *opened.encoder;
    TrackFormat f;
    f.codec = TrackCodec::aac;
    f.sample_rate = kAudioRate;
    f.channels = 2;
    f.bit_rate = 192000;
    f.extradata = enc.audio_specific_config();
    p.format->store(std::move(f));
    p.reply.send(AudioEncoderReply{true, {}});
    p.reply.close();

    std::vector<std::int16_t> samples;
    std::vector<std::uint8_t> bytes;
    auto stop = [&](const AacFailure& failure) {
        log_line(
            fmt::format("\n[ERROR] El codificador de audio se detuvo: {}", failure_text(failure)));
        p.blocks.close();  // later blocks from the clock are refused
    };
    while (std::optional<PcmBlock> block = p.blocks.receive()) {
        const std::vector<std::uint8_t>& in = block->bytes;
        const std::size_t frames = in.size() / 4;
        samples.resize(frames * 2);
        for (std::size_t k = 0; k < frames * 2; ++k) {
            samples[k] = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(in[2 * k] | (in[2 * k + 1] << 8)));
        }
        if (std::optional<AacFailure> failure = enc.send(samples.data(), frames, block->start)) {
            stop(*failure);
            return;
        }
        for (;;) {
            AacFailure failure;
            std::uint64_t position = 0;
            AacReceive r = enc.receive(bytes, &position, &failure);
            if (r == AacReceive::again) break;
            if (r == AacReceive::failed) {
                stop(failure);
                return;
            }
            if (bytes.empty()) continue;
            ReplaySample s;
            s.timestamp = audio_position_stamp(position);
            s.duration = audio_position_stamp(position + kAacFrameSamples) - s.timestamp;
            s.payload = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
            s.track = p.track;
            s.keyframe = true;
            (*p.sink)(std::move(s));
            bytes = {};
        }
    }
}

AudioEncoderStarted encoder_start_audio_thread(std::shared_ptr<SampleSink> sink, std::uint8_t track,
                                               AacEncoderFactory factory) {
    AudioEncoderStarted r;
    auto [block_tx, block_rx] = make_channel<PcmBlock>(kAudioBlockSlots);
    auto [reply_tx, reply_rx] = make_channel<AudioEncoderReply>(1);
    auto slot = std::make_shared<FormatSlot>();
    AudioEncoderParams params{
        std::move(reply_tx), std::move(block_rx), slot, std::move(sink), track, std::move(factory)};
    // The thread body must be copyable; the channel ends are not.
    auto shared = std::make_shared<AudioEncoderParams>(std::move(params));
    // Both encoders carry the same name; the system shows it shortened.
    r.error = thread_start_detached("crvn-codificador-audio",
                                    [shared] { audio_encoder_thread_main(std::move(*shared)); });
    if (!r.error.empty()) return r;
    std::optional<AudioEncoderReply> reply = reply_rx.receive();
    if (!reply) {
        r.error = "el hilo de audio terminó";
    } else if (!reply->ok) {
        r.error = reply->text;
    } else {
        r.ok = true;
        r.blocks = std::move(block_tx);
        r.format = slot;
    }
    return r;
}

AudioStarted audio_start_encoders(AudioStartConfig c) {
    AudioStarted out;
    if (!c.game_ring && !c.mic_ring) return out;
    AudioEncoderStarted main = encoder_start_audio_thread(c.sink, kTrackAudio, c.factory);
    if (!main.ok) {
        log_line(fmt::format("[AVISO] Sin audio: {}", main.error));
        return out;
    }
    const bool voice_apart = c.mic_ring && !c.mic_in_video;
    AudioEncoderStarted voice;
    if (voice_apart) {
        voice = encoder_start_audio_thread(c.sink, kTrackVoice, c.factory);
        if (!voice.ok)
            log_line(fmt::format("[AVISO] Tu voz aparte no se podrá guardar: {}", voice.error));
    }
    AudioClockConfig cfg;
    cfg.game = c.game_ring;
    cfg.game_volume = c.game_volume;
    cfg.mic = c.mic_ring;
    cfg.mic_volume = c.mic_volume;
    cfg.voice_apart = voice_apart;
    cfg.main = std::move(main.blocks);
    cfg.voice = std::move(voice.blocks);
    cfg.fps = c.fps;
    out.main_format = main.format;
    out.voice_format = voice.ok ? voice.format : nullptr;
    out.step = std::make_unique<AudioClockStep>(std::move(cfg));
    return out;
}

AudioRecordingStarted audio_recording_start(const Settings::Audio& a, std::uint32_t fps,
                                            std::shared_ptr<SampleSink> sink,
                                            std::shared_ptr<QuitFlag> quit,
                                            AacEncoderFactory factory) {
    AudioRecordingStarted r;
    auto spawn = [&](std::uint8_t source, const std::string& id, const std::string& name,
                     bool leveller) {
        auto ring = std::make_shared<AudioRing>();
        AudioCaptureParams p{source, id, name, ring, quit, leveller};
        AudioSpawnResult s = audio_spawn_capture_thread(std::move(p));
        if (!s.ok) {
            r.spawn_error = s.error;
            r.spawn_source = source;
            return std::shared_ptr<AudioRing>();
        }
        return ring;
    };
    if (a.juego) {
        r.game_ring = spawn(kSourceGame, a.salida_id, a.salida_nombre, false);
        if (!r.spawn_error.empty()) return r;
    }
    if (a.microfono) {
        r.mic_ring = spawn(kSourceMic, a.microfono_id, a.microfono_nombre, a.nivelar_microfono);
        if (!r.spawn_error.empty()) return r;
    }
    AudioStartConfig c;
    c.game_ring = r.game_ring;
    c.game_volume = a.volumen_juego;
    c.mic_ring = r.mic_ring;
    c.mic_volume = a.volumen_microfono;
    c.mic_in_video = a.microfono_en_video;
    c.fps = fps;
    c.sink = std::move(sink);
    c.factory = std::move(factory);
    r.audio = audio_start_encoders(std::move(c));
    return r;
}

}  // namespace corvane
