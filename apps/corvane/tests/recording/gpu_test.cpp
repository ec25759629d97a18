#include "recording/gpu.h"

#include <set>

#include <gtest/gtest.h>

#include <cmath>

namespace corvane {
namespace {

TEST(HdrToneMap, MultiplierAndWhiteLevel) {
    EXPECT_DOUBLE_EQ(hdr_multiplier(80), 1.0);
    EXPECT_DOUBLE_EQ(hdr_multiplier(40), 1.0);
    EXPECT_DOUBLE_EQ(hdr_multiplier(200), 0.4);
    EXPECT_DOUBLE_EQ(hdr_multiplier(1000), 0.08);
    EXPECT_DOUBLE_EQ(sdr_white_from_units(1000), 80.0);
    EXPECT_DOUBLE_EQ(sdr_white_from_units(3000), 240.0);
    SdrWhite ini = sdr_white_level(250.0f);
    EXPECT_DOUBLE_EQ(ini.nits, 250.0);
    EXPECT_TRUE(ini.from_settings);
    SdrWhite automatic = sdr_white_level(std::nullopt);
    EXPECT_DOUBLE_EQ(automatic.nits, 200.0);
    EXPECT_FALSE(automatic.from_settings);
}

TEST(HdrToneMap, KneeAndCurve) {
    auto byte = [](double v) { return static_cast<int>(std::lround(v * 255.0)); };
    RgbF half = hdr_tonemap_pixel({0.5, 0.5, 0.5}, 1.0);
    EXPECT_NEAR(half.r, 0.7354, 1e-4);
    EXPECT_EQ(byte(half.g), 188);
    RgbF knee = hdr_tonemap_linear({0.8, 0.8, 0.8}, 1.0);
    EXPECT_DOUBLE_EQ(knee.b, 0.8);  // not compressed
    RgbF white = hdr_tonemap_linear({1.0, 1.0, 1.0}, 1.0);
    EXPECT_NEAR(white.r, 0.9264, 1e-4);
    EXPECT_EQ(byte(srgb_encode(white.r)), 247);
    RgbF hot = hdr_tonemap_linear({3.0, 1.5, 0.3}, 1.0);
    EXPECT_NEAR(hot.r, 0.9999967, 1e-7);
    EXPECT_LT(hot.r, 1.0);
    EXPECT_NEAR(hot.g / hot.r, 0.5, 1e-12);  // the hue is kept
    EXPECT_NEAR(hot.b / hot.r, 0.1, 1e-12);
    // The multiplier applies first: 2.5 at a 200-nit white is 1.0.
    EXPECT_NEAR(hdr_tonemap_linear({2.5, 0, 0}, hdr_multiplier(200)).r, 0.9264, 1e-4);
    // Negative scRGB values are clamped to black; the curve is linear near 0.
    EXPECT_DOUBLE_EQ(hdr_tonemap_pixel({-0.2, 0.001, 0}, 1.0).r, 0.0);
    EXPECT_NEAR(hdr_tonemap_pixel({-0.2, 0.001, 0}, 1.0).g, 0.01292, 1e-9);
}

TEST(HdrToneMap, NoBannerLineWithoutHdr) {
    EXPECT_FALSE(hdr_detect());
    EXPECT_EQ(hdr_banner_line(false, true, SdrWhite{}), "");
    EXPECT_EQ(hdr_banner_line(true, false, SdrWhite{}),
              "  HDR        : monitor en HDR, corrección APAGADA (los clips pueden verse lavados)\n");
    EXPECT_EQ(hdr_banner_line(true, true, SdrWhite{250, true}),
              "  HDR        : monitor en HDR -> corrección a SDR activa (blanco 250 nits, del .ini)\n");
}

void fill(DeviceContextLock& d, std::uint32_t x0, std::uint32_t x1, std::uint8_t b, std::uint8_t g,
          std::uint8_t r) {
    FrameStore& f = d.frame;
    for (std::uint32_t y = 0; y < f.height; ++y)
        for (std::uint32_t x = x0; x < x1; ++x) {
            std::uint8_t* p = f.pixels.data() + y * f.stride + 4 * x;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
}

TEST(Nv12Conversion, Bt709StudioRangeColours) {
    struct Case {
        const char* name;
        std::uint8_t b, g, r;
        int y, u, v;
    } cases[] = {
        {"white", 255, 255, 255, 235, 128, 128}, {"black", 0, 0, 0, 16, 128, 128},
        {"red", 0, 0, 255, 63, 102, 240},  // BT.601 would give Y 82
        {"green", 0, 255, 0, 173, 42, 26},       {"blue", 255, 0, 0, 32, 240, 118},
    };
    ScreenSize size{64, 32};
    auto dev = gpu_device_create(size);
    ConverterResult c = gpu_converter_create(size, size);
    ASSERT_TRUE(c.converter) << c.error;
    for (const Case& k : cases) {
        fill(*dev, 0, size.width, k.b, k.g, k.r);
        ConvertResult r = gpu_convert_frame(*c.converter, *dev);
        ASSERT_TRUE(r.frame) << r.error.text;
        EXPECT_NEAR(r.frame->y_at(20, 10), k.y, 1) << k.name;
        EXPECT_NEAR(r.frame->u_at(20, 10), k.u, 1) << k.name;
        EXPECT_NEAR(r.frame->v_at(20, 10), k.v, 1) << k.name;
    }
}

TEST(Nv12Conversion, ScalingMovesAnEdgeInProportion) {
    ScreenSize capture{2560, 16}, output{1920, 12};
    auto dev = gpu_device_create(capture);
    fill(*dev, 0, 1280, 0, 0, 0);
    fill(*dev, 1280, 2560, 255, 255, 255);
    ConverterResult c = gpu_converter_create(capture, output);
    ASSERT_TRUE(c.converter);
    ConvertResult r = gpu_convert_frame(*c.converter, *dev);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.frame->width, 1920u);
    int edge = -1;
    for (std::uint32_t x = 1; x < 1920; ++x)
        if (r.frame->y_at(x - 1, 6) < 126 && r.frame->y_at(x, 6) >= 126) edge = static_cast<int>(x);
    EXPECT_NEAR(edge, 960, 1);
    EXPECT_NEAR(r.frame->y_at(900, 6), 16, 1);
    EXPECT_NEAR(r.frame->y_at(1000, 6), 235, 1);
}

TEST(Nv12Conversion, RingIsUsedInTurnAndHeldEntriesAreNotOverwritten) {
    ScreenSize size{32, 16};
    auto dev = gpu_device_create(size);
    ConverterResult c = gpu_converter_create(size, size);
    ASSERT_TRUE(c.converter);
    std::vector<std::size_t> used;
    std::shared_ptr<const Nv12Frame> held;
    for (int i = 0; i < 17; ++i) {
        ConvertResult r = gpu_convert_frame(*c.converter, *dev);
        ASSERT_TRUE(r.frame);
        used.push_back(r.ring_index);
        if (i == 1) held = r.frame;  // entry 1 stays with the "encoder"
    }
    std::vector<std::size_t> want;
    for (std::size_t i = 0; i < 16; ++i) want.push_back(i);
    want.push_back(0);
    EXPECT_EQ(used, want);
    // The next conversion would write entry 1, still held: refused, nothing written.
    fill(*dev, 0, size.width, 0, 0, 255);
    ConvertResult refused = gpu_convert_frame(*c.converter, *dev);
    EXPECT_FALSE(refused.frame);
    EXPECT_EQ(refused.ring_index, 1u);
    EXPECT_NEAR(held->y_at(0, 0), 16, 1);  // still the black picture
    held.reset();
    // Entry 2 is free again, and so is 1 on the next round.
    EXPECT_TRUE(gpu_convert_frame(*c.converter, *dev).frame);
}

// The ring keeps pictures only where one may still be read: written entries
// that the encoder has let go of hand their pixels on, so a ring whose
// entries are released at once holds one picture, and one with three held
// holds four, not sixteen.
TEST(Nv12Conversion, RingHoldsOnlyThePicturesInFlight) {
    ScreenSize size{64, 32};
    auto dev = gpu_device_create(size);
    ConverterResult c = gpu_converter_create(size, size);
    ASSERT_TRUE(c.converter);
    auto pictures = [&] {
        std::set<const std::uint8_t*> distinct;
        for (const auto& e : c.converter->ring)
            if (e->storage) distinct.insert(e->storage.get());
        return distinct.size();
    };
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(gpu_convert_frame(*c.converter, *dev).frame);
    EXPECT_EQ(pictures(), 1u);
    std::vector<std::pair<std::shared_ptr<const Nv12Frame>, std::uint8_t>> held;  // with its luma when written
    for (int i = 0; i < 40; ++i) {
        fill(*dev, 0, size.width, static_cast<std::uint8_t>(i * 6), 0, 0);
        ConvertResult r = gpu_convert_frame(*c.converter, *dev);
        ASSERT_TRUE(r.frame);
        held.emplace_back(r.frame, r.frame->y_at(3, 3));
        if (held.size() > 3) held.erase(held.begin());
        // What is held keeps its own picture, untouched by later conversions.
        for (const auto& [frame, luma] : held) EXPECT_EQ(frame->y_at(3, 3), luma) << i;
        EXPECT_LE(pictures(), 4u);
    }
    std::set<const std::uint8_t*> own;
    for (const auto& h : held) own.insert(h.first->y);
    EXPECT_EQ(own.size(), held.size());  // never two held frames on one picture

    // An encoder that fell behind by the backlog's limit, then caught up:
    // the pictures it held are given back but for one spare.
    held.clear();
    std::vector<std::shared_ptr<const Nv12Frame>> behind;
    for (int i = 0; i < 14; ++i) {
        behind.push_back(gpu_convert_frame(*c.converter, *dev).frame);
        ASSERT_TRUE(behind.back());
    }
    EXPECT_EQ(pictures(), 14u);
    behind.clear();
    for (int i = 0; i < 40; ++i) {
        ConvertResult r = gpu_convert_frame(*c.converter, *dev);
        ASSERT_TRUE(r.frame);
        EXPECT_LE(pictures(), 2u) << i;
    }
}

TEST(Nv12Conversion, BadSizesAreRefusedWithTheText) {
    ConverterResult c = gpu_converter_create(ScreenSize{64, 32}, ScreenSize{0, 0});
    EXPECT_FALSE(c.converter);
    EXPECT_EQ(c.error.rfind("La GPU no permite convertir a NV12: ", 0), 0u) << c.error;
}

}  // namespace
}  // namespace corvane
