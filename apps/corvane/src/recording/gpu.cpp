#include "recording/gpu.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace corvane {

ConverterResult gpu_converter_create(ScreenSize capture, ScreenSize output) {
    ConverterResult r;
    Nv12ScalerResult s = nv12_scaler_create(capture.width, capture.height, output.width, output.height);
    if (!s.scaler) {
        r.error = fmt::format("La GPU no permite convertir a NV12: {}", platform_error_text(s.error));
        return r;
    }
    auto c = std::make_unique<Nv12Converter>();
    c->scaler = std::move(s.scaler);
    // Only the first entry gets its pixels now; the others take theirs when
    // their turn comes (see take_pixels).
    auto first = nv12_frame_alloc(output.width, output.height);
    if (!first) {
        r.error = fmt::format("La GPU no permite convertir a NV12: {}x{}", output.width, output.height);
        return r;
    }
    for (std::size_t i = 1; i < kNv12RingSize; ++i) {
        auto shell = std::make_shared<Nv12Frame>();
        shell->width = first->width;
        shell->height = first->height;
        shell->y_stride = first->y_stride;
        shell->uv_stride = first->uv_stride;
        shell->bytes = first->bytes;
        c->ring.push_back(std::move(shell));
    }
    c->ring.insert(c->ring.begin(), std::move(first));
    r.converter = std::move(c);
    return r;
}

namespace {

void move_pixels(Nv12Frame& to, Nv12Frame& from) {
    to.storage = std::move(from.storage);
    to.y = from.y;
    to.uv = from.uv;
    from.y = from.uv = nullptr;
}

// Gives `entry` pixels to write into. A picture of the output size is kept
// only while the encoder may still read it: an entry whose turn comes takes
// the pixels of one the encoder has let go of, so the ring holds as many
// pictures as are in flight (two or three), not sixteen, which at 1080p is
// some 45 MB. Only this thread moves pixels, and only between entries nobody
// holds, so the encoder never sees a picture change under it.
bool take_pixels(Nv12Converter& converter, Nv12Frame& entry) {
    if (entry.storage) return true;
    for (const std::shared_ptr<Nv12Frame>& other : converter.ring) {
        if (other.get() == &entry || !other->storage || other->holds.load(std::memory_order_acquire) != 0)
            continue;
        move_pixels(entry, *other);
        return true;
    }
    std::shared_ptr<Nv12Frame> fresh = nv12_frame_alloc(entry.width, entry.height);
    if (!fresh) return false;
    move_pixels(entry, *fresh);
    return true;
}

// After the encoder has fallen behind, up to the backlog's limit of pictures
// were in flight (some 45 MB at 1080p); once it has caught up, the entries
// would keep them all, each using its own at its turn. Pictures nobody holds
// beyond one spare are given back: while the encoder keeps up there is at
// most that one, so nothing is freed and allocated again frame after frame.
void drop_spare_pixels(Nv12Converter& converter, const Nv12Frame& entry) {
    bool spare = false;
    for (const std::shared_ptr<Nv12Frame>& other : converter.ring) {
        if (other.get() == &entry || !other->storage || other->holds.load(std::memory_order_acquire) != 0)
            continue;
        if (!spare) {
            spare = true;
            continue;
        }
        other->storage.reset();
        other->y = other->uv = nullptr;
    }
}

}  // namespace

ConvertResult gpu_convert_frame(Nv12Converter& converter, DeviceContextLock& device) {
    ConvertResult r;
    std::size_t index = converter.next_output % converter.ring.size();
    converter.next_output = (converter.next_output + 1) % converter.ring.size();
    r.ring_index = index;
    const std::shared_ptr<Nv12Frame>& entry = converter.ring[index];
    if (entry->holds.load(std::memory_order_acquire) != 0) {
        r.error = PlatformError{0, fmt::format("el cuadro NV12 {} sigue en uso por el codificador", index)};
        return r;
    }
    if (!take_pixels(converter, *entry)) {
        r.error = PlatformError{0, fmt::format("sin memoria para el cuadro NV12 {}", index)};
        return r;
    }
    drop_spare_pixels(converter, *entry);
    {
        std::lock_guard lock(device.context_lock);
        const FrameStore& f = device.frame;
        if (auto e = converter.scaler->convert(f.pixels.data(), f.stride, *entry)) {
            r.error = *e;
            return r;
        }
    }
    // Every holder of the returned reference keeps the entry marked in use.
    entry->holds.fetch_add(1, std::memory_order_relaxed);
    r.frame = std::shared_ptr<const Nv12Frame>(entry.get(), [keep = entry](const Nv12Frame* f) {
        f->holds.fetch_sub(1, std::memory_order_release);
    });
    return r;
}

double hdr_multiplier(double white_nits) { return 80.0 / std::max(white_nits, 80.0); }

double srgb_encode(double u) {
    return u <= 0.0031308 ? 12.92 * u : 1.055 * std::pow(u, 1.0 / 2.4) - 0.055;
}

RgbF hdr_tonemap_linear(RgbF c, double multiplier) {
    RgbF v{std::max(c.r * multiplier, 0.0), std::max(c.g * multiplier, 0.0),
           std::max(c.b * multiplier, 0.0)};
    double m = std::max({v.r, v.g, v.b});
    if (m > kHdrKnee) {
        double roll = kHdrKnee + (1.0 - kHdrKnee) * (1.0 - std::exp(-(m - kHdrKnee) / (1.0 - kHdrKnee)));
        double k = roll / m;
        v = RgbF{v.r * k, v.g * k, v.b * k};
    }
    return RgbF{std::clamp(v.r, 0.0, 1.0), std::clamp(v.g, 0.0, 1.0), std::clamp(v.b, 0.0, 1.0)};
}

RgbF hdr_tonemap_pixel(RgbF c, double multiplier) {
    RgbF v = hdr_tonemap_linear(c, multiplier);
    return RgbF{srgb_encode(v.r), srgb_encode(v.g), srgb_encode(v.b)};
}

double sdr_white_from_units(std::uint32_t units) {
    return static_cast<double>(static_cast<float>(units) * 80.0f / 1000.0f);
}

bool hdr_detect() { return false; }

SdrWhite sdr_white_level(std::optional<float> blanco_sdr) {
    if (blanco_sdr) return SdrWhite{static_cast<double>(*blanco_sdr), true};
    return SdrWhite{200.0, false};
}

std::string hdr_banner_line(bool monitor_hdr, bool correction_active, const SdrWhite& white) {
    if (!monitor_hdr) return {};
    if (!correction_active)
        return "  HDR        : monitor en HDR, corrección APAGADA (los clips pueden verse lavados)\n";
    return fmt::format("  HDR        : monitor en HDR -> corrección a SDR activa (blanco {:.0f} nits, {})\n",
                       white.nits, white.from_settings ? "del .ini" : "del sistema");
}

}  // namespace corvane
