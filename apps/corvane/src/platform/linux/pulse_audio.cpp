// Sound in through PulseAudio (also served by pipewire-pulse). Each connection
// runs its own main loop on the calling thread; every wait on the server is
// bounded. The game's sound is recorded from the monitor of a sink, the
// microphone from a source that is not a monitor. Streams are opened with
// DONT_MOVE: when their device goes away they fail instead of being moved
// silently, so the caller sees the loss and can fall back and come back.
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sound_in.h"

namespace corvane {

namespace {

constexpr auto kWait = std::chrono::seconds(2);

PlatformError pa_error(int code) {
    return PlatformError{code, pa_strerror(code)};
}

struct DeviceInfo {
    bool found = false;
    std::string name;
    std::string description;
    std::string monitor_source;  // sinks
    bool is_monitor = false;     // sources
    pa_sample_spec spec{};
    std::uint8_t channels = 0;
};

class PulseStream;

class PulseConnection final : public SoundInConnection {
  public:
    PulseConnection() = default;
    ~PulseConnection() override {
        if (ctx_) {
            pa_context_disconnect(ctx_);
            pa_context_unref(ctx_);
        }
        if (ml_) pa_mainloop_free(ml_);
    }

    bool connect(PlatformError& error) {
        ml_ = pa_mainloop_new();
        if (!ml_) {
            error = pa_error(PA_ERR_INTERNAL);
            return false;
        }
        ctx_ = pa_context_new(pa_mainloop_get_api(ml_), "Corvane");
        if (!ctx_) {
            error = pa_error(PA_ERR_INTERNAL);
            return false;
        }
        if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = pa_error(pa_context_errno(ctx_));
            return false;
        }
        bool ready = run_until([&] {
            pa_context_state_t s = pa_context_get_state(ctx_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        if (ready && pa_context_get_state(ctx_) == PA_CONTEXT_READY) return true;
        int code = ready ? pa_context_errno(ctx_) : PA_ERR_TIMEOUT;
        error = pa_error(code ? code : PA_ERR_CONNECTIONREFUSED);
        return false;
    }

    // Runs the loop until `done` holds, the context fails, or the wait ends.
    template <typename F>
    bool run_until(F done, std::chrono::steady_clock::duration limit = kWait) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (done()) return true;
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx_))) return false;
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (left > std::chrono::milliseconds(100)) left = std::chrono::milliseconds(100);
            if (pa_mainloop_prepare(ml_, static_cast<int>(left.count())) < 0) return false;
            if (pa_mainloop_poll(ml_) < 0) return false;
            if (pa_mainloop_dispatch(ml_) < 0) return false;
        }
    }

    // Dispatches whatever is pending without waiting.
    void pump() {
        for (int i = 0; i < 64; ++i) {
            if (pa_mainloop_iterate(ml_, 0, nullptr) <= 0) break;
        }
    }

    bool alive() const { return ctx_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx_)); }
    pa_context* ctx() const { return ctx_; }
    int errno_now() const {
        int e = ctx_ ? pa_context_errno(ctx_) : PA_ERR_INTERNAL;
        return e ? e : PA_ERR_UNKNOWN;
    }

    // Waits for an operation; on timeout it is cancelled (its callbacks never
    // run later against a dead frame).
    bool wait(pa_operation* op) {
        if (!op) return false;
        bool ok = run_until([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!ok) pa_operation_cancel(op);
        bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return ok && done;
    }

    struct ServerInfo {
        bool ok = false;
        std::string default_sink;
        std::string default_source;
    };

    ServerInfo server_info() {
        ServerInfo si;
        auto cb = [](pa_context*, const pa_server_info* i, void* u) {
            auto* s = static_cast<ServerInfo*>(u);
            if (!i) return;
            s->ok = true;
            s->default_sink = i->default_sink_name ? i->default_sink_name : "";
            s->default_source = i->default_source_name ? i->default_source_name : "";
        };
        if (!wait(pa_context_get_server_info(ctx_, cb, &si))) si.ok = false;
        return si;
    }

    static void fill_sink(DeviceInfo& d, const pa_sink_info* i) {
        d.found = true;
        d.name = i->name ? i->name : "";
        d.description = i->description ? i->description : "";
        d.monitor_source = i->monitor_source_name ? i->monitor_source_name : "";
        d.spec = i->sample_spec;
        d.channels = i->channel_map.channels ? i->channel_map.channels : i->sample_spec.channels;
    }
    static void fill_source(DeviceInfo& d, const pa_source_info* i) {
        d.found = true;
        d.name = i->name ? i->name : "";
        d.description = i->description ? i->description : "";
        d.is_monitor = i->monitor_of_sink != PA_INVALID_INDEX;
        d.spec = i->sample_spec;
        d.channels = i->channel_map.channels ? i->channel_map.channels : i->sample_spec.channels;
    }

    std::optional<DeviceInfo> device(SoundInKind kind, const std::string& id) {
        DeviceInfo d;
        if (id.empty()) return std::nullopt;
        pa_operation* op;
        if (kind == SoundInKind::output) {
            op = pa_context_get_sink_info_by_name(
                ctx_, id.c_str(),
                [](pa_context*, const pa_sink_info* i, int eol, void* u) {
                    if (eol == 0 && i) fill_sink(*static_cast<DeviceInfo*>(u), i);
                },
                &d);
        } else {
            op = pa_context_get_source_info_by_name(
                ctx_, id.c_str(),
                [](pa_context*, const pa_source_info* i, int eol, void* u) {
                    if (eol == 0 && i) fill_source(*static_cast<DeviceInfo*>(u), i);
                },
                &d);
        }
        wait(op);  // a missing device ends the operation with an error
        if (!d.found || d.is_monitor) return std::nullopt;
        return d;
    }

    std::optional<std::vector<DeviceInfo>> devices(SoundInKind kind) {
        struct List {
            std::vector<DeviceInfo> items;
        } list;
        pa_operation* op;
        if (kind == SoundInKind::output) {
            op = pa_context_get_sink_info_list(
                ctx_,
                [](pa_context*, const pa_sink_info* i, int eol, void* u) {
                    if (eol != 0 || !i) return;
                    DeviceInfo d;
                    fill_sink(d, i);
                    static_cast<List*>(u)->items.push_back(std::move(d));
                },
                &list);
        } else {
            op = pa_context_get_source_info_list(
                ctx_,
                [](pa_context*, const pa_source_info* i, int eol, void* u) {
                    if (eol != 0 || !i) return;
                    DeviceInfo d;
                    fill_source(d, i);
                    if (!d.is_monitor) static_cast<List*>(u)->items.push_back(std::move(d));
                },
                &list);
        }
        if (!wait(op)) return std::nullopt;
        return list.items;
    }

    std::optional<std::string> default_id(SoundInKind kind) override {
        ServerInfo si = server_info();
        if (!si.ok) return std::nullopt;
        if (kind == SoundInKind::output) {
            if (si.default_sink.empty() || !device(kind, si.default_sink)) return std::string();
            return si.default_sink;
        }
        // With no microphone the server picks an output's monitor as the
        // default source: that is no microphone.
        if (si.default_source.empty() || !device(kind, si.default_source)) return std::string();
        return si.default_source;
    }

    std::optional<std::vector<SoundEndpoint>> endpoints(SoundInKind kind) override {
        auto list = devices(kind);
        if (!list) return std::nullopt;
        std::vector<SoundEndpoint> out;
        for (auto& d : *list) out.push_back(SoundEndpoint{d.name, d.description});
        return out;
    }

    std::optional<SoundEndpoint> endpoint(SoundInKind kind, const std::string& id) override {
        auto d = device(kind, id);
        if (!d) return std::nullopt;
        return SoundEndpoint{d->name, d->description};
    }

    SoundInOpen open(SoundInKind kind, const std::string& id) override;

    pa_mainloop* ml_ = nullptr;
    pa_context* ctx_ = nullptr;
};

class PulseStream final : public SoundInStream {
  public:
    PulseStream(PulseConnection& c, pa_stream* s, std::size_t frame_bytes)
        : c_(c), s_(s), frame_bytes_(frame_bytes) {}
    ~PulseStream() override {
        pa_stream_disconnect(s_);
        pa_stream_unref(s_);
        c_.pump();
    }

    std::optional<SoundInFailure> read(
        const std::function<void(const SoundInPacket&)>& each) override {
        c_.pump();
        pa_stream_state_t st = pa_stream_get_state(s_);
        if (st != PA_STREAM_READY) {
            return SoundInFailure{SoundInStep::disconnected, pa_error(c_.errno_now())};
        }
        for (;;) {
            std::size_t ready = pa_stream_readable_size(s_);
            if (ready == static_cast<std::size_t>(-1)) {
                return SoundInFailure{SoundInStep::read, pa_error(c_.errno_now())};
            }
            if (ready == 0) return std::nullopt;
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa_stream_peek(s_, &data, &n) < 0) {
                return SoundInFailure{SoundInStep::read, pa_error(c_.errno_now())};
            }
            if (n == 0) return std::nullopt;  // nothing after all; nothing to drop
            if (!data) {
                // A hole in the recording: silence of its length.
                SoundInPacket p;
                p.frames = n / frame_bytes_;
                p.silent = true;
                if (p.frames) each(p);
            } else {
                deliver(static_cast<const std::uint8_t*>(data), n, each);
            }
            if (pa_stream_drop(s_) < 0) {
                return SoundInFailure{SoundInStep::release, pa_error(c_.errno_now())};
            }
        }
    }

  private:
    // Only whole frames go out; a split frame waits for its other half.
    void deliver(const std::uint8_t* p, std::size_t n,
                 const std::function<void(const SoundInPacket&)>& each) {
        if (carry_.empty() && n % frame_bytes_ == 0) {
            each(SoundInPacket{p, n / frame_bytes_, false});
            return;
        }
        carry_.insert(carry_.end(), p, p + n);
        std::size_t whole = carry_.size() / frame_bytes_;
        if (whole) {
            each(SoundInPacket{carry_.data(), whole, false});
            carry_.erase(carry_.begin(),
                         carry_.begin() + static_cast<std::ptrdiff_t>(whole * frame_bytes_));
        }
    }

    PulseConnection& c_;
    pa_stream* s_;
    std::size_t frame_bytes_;
    std::vector<std::uint8_t> carry_;
};

// The layouts the stream asks for, in the extensible order the downmix
// expects; the server remaps the device's own layout onto them.
void channel_map_for(std::uint8_t device_channels, pa_channel_map& map) {
    pa_channel_map_init(&map);
    static const pa_channel_position_t k51[] = {
        PA_CHANNEL_POSITION_FRONT_LEFT,   PA_CHANNEL_POSITION_FRONT_RIGHT,
        PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
        PA_CHANNEL_POSITION_REAR_LEFT,    PA_CHANNEL_POSITION_REAR_RIGHT,
        PA_CHANNEL_POSITION_SIDE_LEFT,    PA_CHANNEL_POSITION_SIDE_RIGHT};
    if (device_channels <= 1) {
        pa_channel_map_init_mono(&map);
    } else if (device_channels <= 5) {
        // 3 to 5 channels (2.1, quad, 4.0, 4.1, 5.0) have no fixed order that
        // the downmix could rely on: the server mixes them to stereo by position.
        pa_channel_map_init_stereo(&map);
    } else {
        map.channels = device_channels == 6 ? 6 : 8;
        for (unsigned i = 0; i < map.channels; ++i) map.map[i] = k51[i];
    }
}

SoundInOpen PulseConnection::open(SoundInKind kind, const std::string& id) {
    SoundInOpen r;
    auto d = device(kind, id);
    if (!d) {
        r.failure = {SoundInStep::open, pa_error(alive() ? PA_ERR_NOENTITY : errno_now())};
        return r;
    }
    pa_sample_spec spec{};
    spec.rate = d->spec.rate;
    switch (d->spec.format) {
        case PA_SAMPLE_S16LE:
            spec.format = PA_SAMPLE_S16LE;
            r.format.tag = 1;
            r.format.bits = 16;
            break;
        case PA_SAMPLE_S24LE:
            spec.format = PA_SAMPLE_S24LE;
            r.format.tag = 1;
            r.format.bits = 24;
            break;
        case PA_SAMPLE_S32LE:
            spec.format = PA_SAMPLE_S32LE;
            r.format.tag = 1;
            r.format.bits = 32;
            break;
        default:
            spec.format = PA_SAMPLE_FLOAT32LE;
            r.format.tag = 3;
            r.format.bits = 32;
            break;
    }
    pa_channel_map map;
    channel_map_for(d->channels, map);
    spec.channels = map.channels;
    if (!pa_sample_spec_valid(&spec) || !pa_channel_map_valid(&map)) {
        r.failure = {SoundInStep::format, pa_error(PA_ERR_NOTSUPPORTED)};
        return r;
    }
    r.format.channels = spec.channels;
    r.format.block = static_cast<std::uint32_t>(pa_frame_size(&spec));
    r.format.rate = spec.rate;

    pa_stream* s =
        pa_stream_new(ctx_, kind == SoundInKind::output ? "juego" : "micrófono", &spec, &map);
    if (!s) {
        r.failure = {SoundInStep::open, pa_error(errno_now())};
        return r;
    }
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(200'000, &spec));
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &spec));
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    const std::string& source = kind == SoundInKind::output ? d->monitor_source : d->name;
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s, source.c_str(), &attr, flags) < 0) {
        r.failure = {SoundInStep::init, pa_error(errno_now())};
        pa_stream_unref(s);
        return r;
    }
    bool settled = run_until([&] {
        pa_stream_state_t st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
    });
    if (!settled || pa_stream_get_state(s) != PA_STREAM_READY) {
        r.failure = {SoundInStep::start, pa_error(settled ? errno_now() : PA_ERR_TIMEOUT)};
        pa_stream_disconnect(s);
        pa_stream_unref(s);
        return r;
    }
    r.stream = std::make_unique<PulseStream>(*this, s, r.format.block);
    return r;
}

}  // namespace

SoundInConnect sound_in_connect() {
    SoundInConnect r;
    auto c = std::make_unique<PulseConnection>();
    if (c->connect(r.error)) r.connection = std::move(c);
    return r;
}

const char* sound_in_default_device_words() {
    return "el predeterminado del sistema";
}
const char* sound_in_id_change_words() {
    return "el sistema le dio otro id";
}

}  // namespace corvane
