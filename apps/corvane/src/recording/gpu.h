// Colour conversion of the shared picture into the NV12 frames the encoder
// takes, and the HDR → SDR correction rules.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/screen.h"
#include "platform/video_codec.h"
#include "recording/capture.h"

namespace corvane {

inline constexpr std::size_t kNv12RingSize = 16;

// Owned by the frame clock thread after start-up.
struct Nv12Converter {
    std::unique_ptr<Nv12Scaler> scaler;
    // kNv12RingSize targets, used in turn; pixels only where a picture may be in flight
    std::vector<std::shared_ptr<Nv12Frame>> ring;
    std::uint64_t next_output = 0;
};

struct ConverterResult {
    std::unique_ptr<Nv12Converter> converter;  // null on failure
    std::string error;                         // "La GPU no permite convertir a NV12: {}"
};
ConverterResult gpu_converter_create(ScreenSize capture, ScreenSize output);

struct ConvertResult {
    // The ring entry just written; it counts as in use until every copy of
    // this reference is gone. Null on failure.
    std::shared_ptr<const Nv12Frame> frame;
    std::size_t ring_index = 0;
    PlatformError error;
};

// Converts the shared picture into the next ring entry under the context lock.
// Fails without writing when that entry is still in use.
ConvertResult gpu_convert_frame(Nv12Converter& converter, DeviceContextLock& device);

// HDR correction. The capture is linear scRGB with 1.0 = 80 nits.
struct RgbF {
    double r = 0, g = 0, b = 0;
};
inline constexpr double kHdrKnee = 0.80;

// 80 ÷ max(white, 80).
double hdr_multiplier(double white_nits);
// One pixel: × multiplier, soft knee above 0.8 on the brightest channel (hue
// kept), clamp, sRGB curve. Returns the encoded values in 0..1.
RgbF hdr_tonemap_pixel(RgbF scrgb, double multiplier);
// The same before the sRGB curve (linear SDR, 1.0 = the SDR white).
RgbF hdr_tonemap_linear(RgbF scrgb, double multiplier);
double srgb_encode(double u);

// The system's SDR brightness in its own units (1000 = 80 nits) as nits.
double sdr_white_from_units(std::uint32_t units);

// Whether the primary monitor is in HDR. X11 has no HDR output: always false.
bool hdr_detect();

struct SdrWhite {
    double nits = 200;
    bool from_settings = false;
};
// [hdr] blanco_sdr: a number (80..1000) as it is; "auto" (absent) → 200 nits.
SdrWhite sdr_white_level(std::optional<float> blanco_sdr);

// The banner's HDR line, "" when the monitor is not in HDR.
std::string hdr_banner_line(bool monitor_hdr, bool correction_active, const SdrWhite& white);

}  // namespace corvane
