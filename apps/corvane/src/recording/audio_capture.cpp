#include "recording/audio_capture.h"

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "base/config_file.h"
#include "base/log.h"
#include "base/text.h"
#include "platform/thread.h"

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr auto kCheckEvery = std::chrono::seconds(2);
constexpr auto kRetryWait = std::chrono::seconds(2);

bool quitting(const AudioCaptureParams& p) {
    return p.quit && p.quit->set.load();
}

// Sleeps in short slices; true when the quit flag was seen.
bool sleep_or_quit(const AudioCaptureParams& p, Clock::duration d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
        if (quitting(p)) return true;
        auto left = end - Clock::now();
        std::this_thread::sleep_for(left < kPoll ? left : Clock::duration(kPoll));
    }
    return quitting(p);
}

std::string name_or_unnamed(const std::string& name) {
    return name.empty() ? "(sin nombre)" : name;
}

std::string_view step_text(SoundInStep s) {
    switch (s) {
        case SoundInStep::connect:
            return "sin acceso al audio";
        case SoundInStep::open:
            return "no se pudo abrir el dispositivo";
        case SoundInStep::format:
            return "no se pudo leer el formato";
        case SoundInStep::init:
            return "no se pudo iniciar la captura";
        case SoundInStep::start:
            return "no se pudo arrancar";
        case SoundInStep::disconnected:
            return "se desconectó el dispositivo";
        case SoundInStep::read:
            return "error leyendo audio";
        case SoundInStep::release:
            return "error liberando audio";
    }
    return "error de audio";
}

// How one connection attempt ended.
struct Outcome {
    enum Kind { quit, failure, reconnect } kind = quit;
    std::string text;
};

Outcome fail(std::string text) {
    return Outcome{Outcome::failure, std::move(text)};
}

// State that outlives one connection.
struct ThreadState {
    std::string last_failure;
    VoiceLeveller leveller;
};

// The default endpoint, or the failure text.
std::optional<SoundEndpoint> default_endpoint(SoundInConnection& c, SoundInKind kind,
                                              std::string& failure) {
    std::optional<std::string> id = c.default_id(kind);
    std::optional<SoundEndpoint> e;
    if (id && !id->empty()) e = c.endpoint(kind, *id);
    if (!e) failure = audio_error_text("no hay dispositivo predeterminado", PlatformError{});
    return e;
}

Outcome attempt(AudioCaptureParams& p, ThreadState& ts) {
    const std::string_view label = audio_source_label(p.source);
    const SoundInKind kind =
        p.source == kSourceGame ? SoundInKind::output : SoundInKind::microphone;

    SoundInConnect conn = sound_in_connect();
    if (!conn.connection) return fail(audio_error_text("sin acceso al audio", conn.error));
    SoundInConnection& c = *conn.connection;

    // The device.
    std::optional<SoundEndpoint> dev;
    bool fallback = false;
    std::string failure;
    if (p.device_id.empty()) {
        dev = default_endpoint(c, kind, failure);
        if (!dev) return fail(failure);
    } else if ((dev = c.endpoint(kind, p.device_id))) {
    } else if (auto list = c.endpoints(kind);
               list && (dev = audio_endpoint_query(*list, p.device_name))) {
        log_line(fmt::format("[AUDIO] {}: «{}» cambió de puerto ({}); se usa el nuevo y se guarda.",
                             label, p.device_name, sound_in_id_change_words()));
        config_write_key("audio", audio_source_id_key(p.source),
                         dev->id);  // a failed write changes nothing here
        p.device_id = dev->id;
    } else {
        dev = default_endpoint(c, kind, failure);
        if (!dev) return fail(failure);
        log_line(
            fmt::format("[AVISO] {}: «{}» no está conectado; mientras vuelve se usa {} («{}»).",
                        label, p.device_name.empty() ? std::string("el elegido") : p.device_name,
                        sound_in_default_device_words(), name_or_unnamed(dev->name)));
        fallback = true;
    }
    const std::string dev_name = name_or_unnamed(dev->name);

    SoundInOpen open = c.open(kind, dev->id);
    if (!open.stream)
        return fail(audio_error_text(step_text(open.failure.step), open.failure.error));
    const AudioDeviceFormat format = audio_device_format(open.format);
    const std::optional<std::uint8_t> code = audio_sample_code(format);
    if (!code)
        return fail(fmt::format("formato de audio no soportado (tipo {}, {} bits)", format.tag,
                                format.bits));

    log_line(fmt::format("\n[AUDIO] {} conectado: {} ({} Hz, {} canales)", label, dev_name,
                         format.rate, format.channels));

    AudioResampler resampler;
    resampler.rate = format.rate;
    std::vector<float> decoded, out;
    auto last_check = Clock::now();
    for (;;) {
        if (sleep_or_quit(p, kPoll)) return Outcome{Outcome::quit, {}};
        std::optional<SoundInFailure> f = open.stream->read([&](const SoundInPacket& pk) {
            decoded.clear();
            if (pk.silent || !pk.data)
                decoded.assign(pk.frames * 2, 0.0f);
            else
                audio_decode_frames(pk.data, pk.frames, format, *code, decoded);
            std::vector<float>* values = &decoded;
            if (!resampler.passthrough()) {
                out.clear();
                resampler.process(decoded, out);
                values = &out;
            }
            std::vector<float>& v = *values;
            if (p.leveller) ts.leveller.process(v);
            p.ring->append(v.data(), v.size());
        });
        if (f) return fail(audio_error_text(step_text(f->step), f->error));

        if (Clock::now() - last_check >= kCheckEvery) {
            last_check = Clock::now();
            if (p.device_id.empty()) {
                std::optional<std::string> now_default = c.default_id(kind);
                if (now_default && !now_default->empty() && *now_default != dev->id)
                    return fail("cambió el dispositivo predeterminado");
            } else if (fallback) {
                bool back = c.endpoint(kind, p.device_id).has_value();
                if (!back) {
                    auto list = c.endpoints(kind);
                    back = list && audio_endpoint_query(*list, p.device_name);
                }
                if (back) {
                    log_line(fmt::format("[AUDIO] {}: «{}» regresó.", label, p.device_name));
                    return Outcome{Outcome::reconnect, {}};
                }
            }
        }
    }
}

}  // namespace

std::string_view audio_source_label(std::uint8_t source) {
    return source == kSourceGame ? "audio del juego" : "micrófono";
}

std::string_view audio_source_id_key(std::uint8_t source) {
    return source == kSourceGame ? "salida_id" : "microfono_id";
}

std::optional<SoundEndpoint> audio_endpoint_query(const std::vector<SoundEndpoint>& endpoints,
                                                  std::string_view wanted) {
    const std::string w = ascii_lower(utf8_trim(wanted));
    if (w.empty()) return std::nullopt;
    for (const SoundEndpoint& e : endpoints) {
        if (ascii_lower(e.name) == w) return e;
    }
    return std::nullopt;
}

std::string audio_error_text(std::string_view message, const PlatformError& error) {
    const std::string desc = utf8_trim(error.text);
    if (!desc.empty()) return fmt::format("{} ({})", message, desc);
    return fmt::format("{} (código 0x{:08X})", message, static_cast<std::uint32_t>(error.code));
}

AudioDeviceFormat audio_device_format(const SoundInFormat& f) {
    AudioDeviceFormat d;
    d.tag = f.tag;
    d.bits = f.bits;
    d.channels = f.channels ? f.channels : 1;
    d.block = f.block;
    d.rate = f.rate;
    return d;
}

void audio_capture_thread_main(AudioCaptureParams p) {
    ThreadState ts;
    if (p.leveller)
        log_line("[AUDIO] Micrófono: voz nivelada (mono centrado + volumen automático).");
    while (!quitting(p)) {
        Outcome o = attempt(p, ts);
        if (o.kind == Outcome::quit) break;
        if (o.kind == Outcome::reconnect) continue;
        if (o.text != ts.last_failure) {
            log_line(fmt::format("\n[AVISO] {}: {}. Reintentando…", audio_source_label(p.source),
                                 o.text));
            ts.last_failure = o.text;
        }
        if (sleep_or_quit(p, kRetryWait)) break;
    }
}

AudioSpawnResult audio_spawn_capture_thread(AudioCaptureParams params) {
    AudioSpawnResult r;
    const char* name = params.source == kSourceGame ? "crvn-audio-juego" : "crvn-audio-mic";
    const std::string error = thread_start_detached(
        name, [p = std::move(params)]() mutable { audio_capture_thread_main(std::move(p)); });
    r.ok = error.empty();
    if (!r.ok) r.error = error;
    return r;
}

}  // namespace corvane
