#include "recording/audio_capture.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(AudioCapture, EndpointFoundByNameWithAsciiCaseFolded) {
    const std::vector<SoundEndpoint> list = {
        {"alsa.1", "Altavoces"},
        {"usb.2", "Auriculares ÁRTICO"},
        {"usb.3", "auriculares ártico"},
        {"bt.4", "Cascos"},
        {"bt.5", "CASCOS"},
    };
    struct Row {
        const char* wanted;
        const char* id;  // nullptr: none
    } rows[] = {
        {"altavoces", "alsa.1"},
        {"  Altavoces \t", "alsa.1"},     // the wanted name is trimmed
        {"AURICULARES ÁRTICO", "usb.2"},  // Á is not folded: only the exact bytes match
        {"auriculares ártico", "usb.3"},
        {"AURICULARES ártico", "usb.3"},
        {"cascos", "bt.4"},  // the first match wins
        {"Altavoz", nullptr},
        {"", nullptr},
        {"   ", nullptr},
    };
    for (const Row& r : rows) {
        auto e = audio_endpoint_query(list, r.wanted);
        if (!r.id) {
            EXPECT_FALSE(e) << r.wanted;
        } else {
            ASSERT_TRUE(e) << r.wanted;
            EXPECT_EQ(e->id, r.id) << r.wanted;
        }
    }
}

TEST(AudioCapture, ErrorTextsCarryTheDescriptionOrTheCode) {
    EXPECT_EQ(audio_error_text("sin acceso al audio", PlatformError{-3, "Connection refused\n"}),
              "sin acceso al audio (Connection refused)");
    EXPECT_EQ(audio_error_text("no se pudo arrancar", PlatformError{0x88890004, "  "}),
              "no se pudo arrancar (código 0x88890004)");
    EXPECT_EQ(audio_error_text("no hay dispositivo predeterminado", PlatformError{}),
              "no hay dispositivo predeterminado (código 0x00000000)");
    EXPECT_EQ(audio_source_label(kSourceGame), "audio del juego");
    EXPECT_EQ(audio_source_label(kSourceMic), "micrófono");
    EXPECT_EQ(audio_source_id_key(kSourceGame), "salida_id");
    EXPECT_EQ(audio_source_id_key(kSourceMic), "microfono_id");
}

}  // namespace
}  // namespace corvane
