// Sound out through PulseAudio's simple API on one player thread.
#include <pulse/error.h>
#include <pulse/sample.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/sound_out.h"
#include "platform/thread.h"

namespace corvane {

namespace {

struct Player {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<PcmSound> pending;
    bool busy = false;
    std::atomic<std::uint64_t> generation{0};  // bumped by every new sound
    std::once_flag started;
};

Player& player() {
    // Leaked on purpose: the detached player may run while the process ends.
    static Player* p = new Player;
    return *p;
}

// Plays one sound to its end, or until a newer sound arrives (then what is
// still buffered is dropped). Every failure just ends the sound.
void play_one(Player& p, const PcmSound& snd, std::uint64_t gen) {
    if (!snd.samples || snd.frames == 0 || snd.channels == 0) return;
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = snd.rate;
    spec.channels = snd.channels;
    if (!pa_sample_spec_valid(&spec)) return;

    // Half a second of buffer: a short sound goes to the server whole, so a
    // busy machine cannot starve it into gaps; a newer sound still cuts in at
    // once, since what is buffered is flushed. Playback starts after 10 ms.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(500'000, &spec));
    attr.prebuf = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &spec));
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);

    int err = 0;
    pa_simple* s = pa_simple_new(nullptr, "Corvane", PA_STREAM_PLAYBACK, nullptr, "aviso", &spec, nullptr,
                                 &attr, &err);
    if (!s) return;  // no sound server: skipped

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(snd.samples);
    const std::size_t frame_bytes = pa_frame_size(&spec);
    const std::size_t total = snd.frames * frame_bytes;
    const std::size_t chunk = std::max<std::size_t>(frame_bytes, pa_usec_to_bytes(20'000, &spec));
    auto cut_in = [&] {
        if (p.generation.load() == gen) return false;
        pa_simple_flush(s, &err);
        return true;
    };
    bool ok = true;
    for (std::size_t off = 0; off < total && ok; off += chunk) {
        if (cut_in()) {
            pa_simple_free(s);
            return;
        }
        ok = pa_simple_write(s, bytes + off, std::min(chunk, total - off), &err) == 0;
    }
    if (ok) {
        // Wait out the buffered tail where a newer sound can still cut in;
        // bounded by the sound's own length, then the drain finishes it.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(600) +
                           std::chrono::microseconds(pa_bytes_to_usec(total, &spec));
        while (std::chrono::steady_clock::now() < limit) {
            if (cut_in()) {
                pa_simple_free(s);
                return;
            }
            const pa_usec_t left = pa_simple_get_latency(s, &err);
            // The sink's own latency never goes away; the last few tens of
            // milliseconds are left to the drain.
            if (left == static_cast<pa_usec_t>(-1) || left < 30'000) break;
            std::this_thread::sleep_for(std::chrono::microseconds(std::min<pa_usec_t>(left, 10'000)));
        }
        pa_simple_drain(s, &err);
    }
    pa_simple_free(s);
}

void player_main() {
    thread_set_name("crvn-sonido");
    Player& p = player();
    for (;;) {
        PcmSound snd;
        std::uint64_t gen = 0;
        {
            std::unique_lock lock(p.mutex);
            p.changed.wait(lock, [&] { return p.pending.has_value(); });
            snd = *p.pending;
            p.pending.reset();
            gen = p.generation.load();
            p.busy = true;
        }
        play_one(p, snd, gen);
        {
            std::lock_guard lock(p.mutex);
            if (!p.pending) {
                p.busy = false;
                p.changed.notify_all();
            }
        }
    }
}

}  // namespace

void sound_out_play(const PcmSound& sound) {
    Player& p = player();
    try {
        std::call_once(p.started, [] { std::thread(player_main).detach(); });
    } catch (const std::system_error&) {
        return;  // no thread for the player: the sound is skipped (tried again next time)
    }
    std::lock_guard lock(p.mutex);
    p.pending = sound;
    p.generation.fetch_add(1);
    p.changed.notify_all();
}

bool sound_out_wait_idle(std::chrono::milliseconds timeout) {
    Player& p = player();
    std::unique_lock lock(p.mutex);
    return p.changed.wait_for(lock, timeout, [&] { return !p.pending && !p.busy; });
}

}  // namespace corvane
