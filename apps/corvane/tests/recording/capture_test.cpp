#include "recording/capture.h"

#include <gtest/gtest.h>

#include <array>

namespace corvane {
namespace {

TEST(CaptureSizes, Table) {
    struct Case {
        std::uint32_t mw, mh;
        std::optional<std::uint32_t> target;
        std::uint32_t cw, ch, ow, oh;
    } cases[] = {
        {2560, 1440, 1080, 2560, 1440, 1920, 1080},
        {3440, 1440, 1080, 3440, 1440, 2580, 1080},
        {1366, 768, 720, 1366, 768, 1280, 720},  // 1280.6 rounded down, then to even
        {1920, 1080, 1440, 1920, 1080, 1920, 1080},
        {1920, 1080, 1080, 1920, 1080, 1920, 1080},
        {1365, 767, std::nullopt, 1364, 766, 1364, 766},
        {1365, 767, 481, 1364, 766, 856, 480},  // odd target height rounded down too
    };
    for (const Case& c : cases) {
        CaptureSizes s = capture_sizes(ScreenSize{c.mw, c.mh}, c.target);
        EXPECT_EQ(s.capture.width, c.cw) << c.mw << "x" << c.mh;
        EXPECT_EQ(s.capture.height, c.ch) << c.mw << "x" << c.mh;
        EXPECT_EQ(s.output.width, c.ow) << c.mw << "x" << c.mh;
        EXPECT_EQ(s.output.height, c.oh) << c.mw << "x" << c.mh;
    }
}

struct Picture {
    std::int32_t w, h;
    std::vector<std::uint8_t> bytes;
    ScreenImage image() const {
        return ScreenImage{bytes.data(), w, h, static_cast<std::size_t>(w) * 4};
    }
};

// Pixel (x, y) = B x, G y, R tag, A 0 (the grabbed alpha is undefined).
Picture picture(std::int32_t w, std::int32_t h, std::uint8_t tag) {
    Picture p{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4)};
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            std::uint8_t* q = p.bytes.data() + (static_cast<std::size_t>(y) * w + x) * 4;
            q[0] = static_cast<std::uint8_t>(x), q[1] = static_cast<std::uint8_t>(y), q[2] = tag, q[3] = 0;
        }
    return p;
}

std::array<std::uint8_t, 4> at(const DeviceContextLock& d, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = d.frame.pixels.data() + y * d.frame.stride + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

TEST(CaptureFrameArrived, CopiesClipsAndSignals) {
    ScreenSize size{8, 6};
    SharedFrame s{gpu_device_create(size), std::make_shared<FrameSignal>(), 8, 6};
    EXPECT_EQ(s.signal->frame_available.load(), 0);

    // A side of 0 or less: nothing copied, nothing signalled.
    Picture same = picture(8, 6, 1);
    for (auto [w, h] : {std::pair{0, 6}, std::pair{8, 0}, std::pair{-3, 6}}) {
        ScreenImage img = same.image();
        img.width = w, img.height = h;
        capture_on_frame_arrived(s, img);
    }
    EXPECT_EQ(s.signal->frame_available.load(), 0);
    EXPECT_EQ(s.signal->frames_arrived.load(), 0u);
    EXPECT_EQ(at(*s.device, 3, 3), (std::array<std::uint8_t, 4>{0, 0, 0, 255}));

    capture_on_frame_arrived(s, same.image());
    EXPECT_EQ(s.signal->frame_available.load(), 1);
    EXPECT_EQ(s.signal->frames_arrived.load(), 1u);
    EXPECT_EQ(at(*s.device, 7, 5), (std::array<std::uint8_t, 4>{7, 5, 1, 255}));  // alpha forced

    // The monitor grew: only the top-left 8 × 6 is taken.
    capture_on_frame_arrived(s, picture(12, 9, 2).image());
    EXPECT_EQ(at(*s.device, 7, 5), (std::array<std::uint8_t, 4>{7, 5, 2, 255}));

    // It shrank: the top-left part is new, the rest keeps older pixels.
    capture_on_frame_arrived(s, picture(4, 3, 3).image());
    EXPECT_EQ(at(*s.device, 3, 2), (std::array<std::uint8_t, 4>{3, 2, 3, 255}));
    EXPECT_EQ(at(*s.device, 4, 2), (std::array<std::uint8_t, 4>{4, 2, 2, 255}));
    EXPECT_EQ(at(*s.device, 0, 3), (std::array<std::uint8_t, 4>{0, 3, 2, 255}));
    EXPECT_EQ(s.signal->frames_arrived.load(), 3u);
}

TEST(CaptureStart, NoDisplayGivesTheTexts) {
    CaptureSizesResult m = capture_monitor_size(":9876", std::nullopt);
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(m.error.rfind("No se encontró el monitor: ", 0), 0u) << m.error;
    CaptureStartResult c = capture_start(":9876", gpu_device_create(ScreenSize{64, 32}), 30, nullptr);
    EXPECT_FALSE(c.capture);
    EXPECT_EQ(c.error.rfind("No se pudo iniciar la captura de pantalla: ", 0), 0u) << c.error;
}

}  // namespace
}  // namespace corvane
