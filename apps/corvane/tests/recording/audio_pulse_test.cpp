// The sound path against a real PulseAudio daemon of the test's own, with null
// sinks for outputs and a remapped sink monitor as the microphone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "audio_test_util.h"
#include "base/config_file.h"
#include "recording/audio_capture.h"
#include "recording/audio_devices.h"
#include "recording/audio_encoder.h"

namespace corvane {
namespace {

using test::CaptureThread;
using test::LogCapture;
using test::PulseDaemon;
using test::wait_for;

std::string null_sink(const std::string& name, const std::string& description, int rate = 48000,
                      int channels = 2) {
    return "module-null-sink sink_name=" + name + " rate=" + std::to_string(rate) +
           " channels=" + std::to_string(channels) +
           " sink_properties=device.description=" + description;
}

AudioCaptureParams capture(std::uint8_t source, std::string id, std::string name,
                           bool leveller = false) {
    AudioCaptureParams p;
    p.source = source;
    p.device_id = std::move(id);
    p.device_name = std::move(name);
    p.ring = std::make_shared<AudioRing>();
    p.leveller = leveller;
    return p;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(AudioPulse, DeviceListsAreExactAndNeverOfferMonitorsAsMicrophones) {
    PulseDaemon pa({null_sink("a", "A"), null_sink("b", "B")});
    ASSERT_EQ(pa.pactl({"set-default-sink", "b"}), 0);
    EXPECT_EQ(audio_list_endpoints_json(1).dump(),
              R"([{"id":"a","nombre":"A","pred":false},{"id":"b","nombre":"B","pred":true}])");
    // Only the sinks' monitors exist as sources: no microphone.
    EXPECT_EQ(audio_list_endpoints_json(0).dump(), "[]");

    // A microphone and a third output plugged in between two calls.
    ASSERT_FALSE(
        pa.load_module(
              "module-remap-source",
              "source_name=mic master=a.monitor source_properties=device.description=Micro")
            .empty());
    ASSERT_FALSE(
        pa.load_module("module-null-sink", "sink_name=c sink_properties=device.description=C")
            .empty());
    ASSERT_EQ(pa.pactl({"set-default-source", "mic"}), 0);
    EXPECT_EQ(audio_list_endpoints_json(0).dump(),
              R"([{"id":"mic","nombre":"Micro","pred":true}])");
    EXPECT_EQ(audio_list_endpoints_json(1).size(), 3u);
    EXPECT_EQ(audio_list_endpoints_json(1)[2]["id"], "c");
    // A monitor as the default source marks no microphone as the default.
    ASSERT_EQ(pa.pactl({"set-default-source", "a.monitor"}), 0);
    EXPECT_EQ(audio_list_endpoints_json(0).dump(),
              R"([{"id":"mic","nombre":"Micro","pred":false}])");
}

TEST(AudioPulse, AMonitorIsNoDefaultMicrophone) {
    LogCapture log;
    PulseDaemon pa({null_sink("a", "A")});
    CaptureThread mic(capture(kSourceMic, "", ""));
    ASSERT_TRUE(wait_for(
        [&] {
            return log.text().find(
                       "[AVISO] micrófono: no hay dispositivo predeterminado (código 0x00000000). "
                       "Reintentando…") != std::string::npos;
        },
        30))
        << log.text();
    EXPECT_EQ(log.text().find("conectado"), std::string::npos);
    EXPECT_EQ(mic.ring().frames(), 0u);
}

TEST(AudioPulse, NoServerGivesEmptyListsAtOnce) {
    test::TempAppDir dir;
    const std::string nowhere = "unix:" + (dir.dir() / "no-hay-servidor").string();
    setenv("PULSE_SERVER", nowhere.c_str(), 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(audio_list_endpoints_json(1).dump(), "[]");
    EXPECT_EQ(audio_list_endpoints_json(0).dump(), "[]");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(AudioPulse, AHungServerCannotHoldAListingLong) {
    PulseDaemon pa({null_sink("a", "A")});
    pa.freeze(true);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(audio_list_endpoints_json(1).dump(), "[]");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    pa.freeze(false);
    EXPECT_EQ(audio_list_endpoints_json(1).size(), 1u);
}

TEST(AudioPulse, GameAndVoiceTonesComeOutOfTheirAacTracks) {
    LogCapture log;
    PulseDaemon pa({null_sink("juego", "Juego"), null_sink("micsink", "MicSink", 44100, 1),
                    "module-remap-source source_name=mic master=micsink.monitor "
                    "source_properties=device.description=Micro"});
    PulseDaemon::Player game_tone(pa.server(), "juego",
                                  pa.tone_file("juego.wav", 48000, 2, 1000, 30));
    PulseDaemon::Player voice_tone(pa.server(), "micsink",
                                   pa.tone_file("voz.wav", 44100, 1, 600, 30));
    ASSERT_TRUE(game_tone.running() && voice_tone.running());

    CaptureThread game(capture(kSourceGame, "juego", "Juego"));
    CaptureThread mic(capture(kSourceMic, "mic", "Micro", true));
    ASSERT_TRUE(
        wait_for([&] { return game.ring().frames() > 4800 && mic.ring().frames() > 4800; }, 30))
        << log.text();
    const std::string text = log.text();
    EXPECT_NE(text.find("[AUDIO] audio del juego conectado: Juego (48000 Hz, 2 canales)"),
              std::string::npos);
    EXPECT_NE(text.find("[AUDIO] micrófono conectado: Micro (44100 Hz, 1 canales)"),
              std::string::npos);
    EXPECT_NE(text.find("[AUDIO] Micrófono: voz nivelada (mono centrado + volumen automático)."),
              std::string::npos);

    auto sink = test::audio_test_sink();
    AudioStartConfig c;
    c.game_ring = std::shared_ptr<AudioRing>(std::shared_ptr<AudioRing>{}, &game.ring());
    c.mic_ring = std::shared_ptr<AudioRing>(std::shared_ptr<AudioRing>{}, &mic.ring());
    c.mic_in_video = false;
    c.fps = 30;
    c.sink = sink;
    AudioStarted started = audio_start_encoders(c);
    ASSERT_TRUE(started.step);
    ASSERT_TRUE(started.voice_format);

    // Three seconds of clock ticks at 30 per second.
    started.step->start();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < 90; ++i) {
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(33'333 * (i + 1)));
        started.step->step(i);
    }
    started.step.reset();  // closes the encoders' input
    ASSERT_TRUE(wait_for(
        [&] {
            return test::track_payloads(*sink->buffer, kTrackAudio).size() >= 130 &&
                   test::track_payloads(*sink->buffer, kTrackVoice).size() >= 130;
        },
        30));

    const std::vector<double> tones = {400, 600, 800, 1000, 1200};
    for (auto [track, freq] : {std::pair{kTrackAudio, 1000.0}, {kTrackVoice, 600.0}}) {
        std::vector<float> pcm = test::decode_aac(test::track_payloads(*sink->buffer, track));
        ASSERT_GT(pcm.size(), 2u * 96000) << int(track);
        std::vector<float> tail(pcm.end() - 2 * 48000, pcm.end());
        EXPECT_EQ(test::strongest_tone(tail, tones), freq) << "track " << int(track);
        // The other source's tone stays out of this track.
        const double other = freq == 1000.0 ? 600.0 : 1000.0;
        EXPECT_GT(test::tone_power(tail, 0, freq), 100 * test::tone_power(tail, 0, other))
            << int(track);
    }
}

double rms_of(const AudioRing& ring, std::size_t channel) {
    std::lock_guard lock(ring.mutex);
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = channel; i < ring.values.size(); i += 2, ++n)
        sum += double(ring.values[i]) * ring.values[i];
    return n ? std::sqrt(sum / n) : 0.0;
}

TEST(AudioPulse, SurroundDevicesArriveInTheDownmixLayout) {
    LogCapture log;
    PulseDaemon pa(
        {"module-null-sink sink_name=quad rate=48000 channels=4 "
         "channel_map=front-left,front-right,rear-left,rear-right "
         "sink_properties=device.description=Cuadro",
         "module-null-sink sink_name=cine rate=48000 channels=6 "
         "channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right "
         "sink_properties=device.description=Cine"});
    // A tone on the back-left speaker of the quad device only.
    const std::string back_left = (pa.dir() / "atras.wav").string();
    ASSERT_EQ(test::run_quiet({"sox", "-n", "-r", "48000", "-b", "16", back_left, "synth", "30",
                               "sine", "1000", "vol", "0.5", "remix", "0", "0", "1", "0"}),
              0);
    PulseDaemon::Player tone(pa.server(), "quad", back_left);
    CaptureThread quad(capture(kSourceGame, "quad", "Cuadro"));
    CaptureThread cine(capture(kSourceGame, "cine", "Cine"));
    ASSERT_TRUE(wait_for([&] { return quad.ring().frames() > 24000; }, 30)) << log.text();
    const std::string text = log.text();
    // Quad is mixed to stereo by the server; 5.1 comes as it is for the downmix.
    EXPECT_NE(text.find("conectado: Cuadro (48000 Hz, 2 canales)"), std::string::npos) << text;
    ASSERT_TRUE(wait_for(
        [&] {
            return log.text().find("conectado: Cine (48000 Hz, 6 canales)") != std::string::npos;
        },
        30))
        << log.text();
    // The back-left tone stays on the left instead of leaking into both sides.
    audio_trim_rings(&quad.ring(), nullptr, 0);
    ASSERT_TRUE(wait_for([&] { return quad.ring().frames() > 24000; }, 30));
    EXPECT_GT(rms_of(quad.ring(), 0), 0.01);
    EXPECT_LT(rms_of(quad.ring(), 1), 0.1 * rms_of(quad.ring(), 0));
}

TEST(AudioPulse, StartUpFollowsTheAudioSettings) {
    LogCapture log;
    PulseDaemon pa({null_sink("juego", "Juego"),
                    "module-remap-source source_name=mic master=juego.monitor "
                    "source_properties=device.description=Micro"});
    auto quit = std::make_shared<QuitFlag>();
    Settings::Audio a;
    a.juego = true;
    a.salida_id = "juego";
    a.microfono = true;
    a.microfono_id = "mic";
    a.microfono_en_video = false;
    a.nivelar_microfono = true;
    AudioRecordingStarted r = audio_recording_start(a, 30, test::audio_test_sink(), quit);
    ASSERT_TRUE(r.spawn_error.empty()) << r.spawn_error;
    ASSERT_TRUE(r.game_ring && r.mic_ring);
    EXPECT_TRUE(r.audio.step && r.audio.main_format && r.audio.voice_format);
    EXPECT_TRUE(wait_for(
        [&] {
            const std::string t = log.text();
            return t.find("[AUDIO] audio del juego conectado: Juego") != std::string::npos &&
                   t.find("[AUDIO] micrófono conectado: Micro") != std::string::npos;
        },
        30))
        << log.text();
    EXPECT_NE(log.text().find("voz nivelada"), std::string::npos);
    // The capture threads end at the quit flag and let go of their rings.
    quit->set = true;
    r.audio.step.reset();
    EXPECT_TRUE(
        wait_for([&] { return r.game_ring.use_count() == 1 && r.mic_ring.use_count() == 1; }, 30));

    // Neither source on: no thread, no encoder.
    Settings::Audio off;
    off.juego = false;
    off.microfono = false;
    AudioRecordingStarted none = audio_recording_start(off, 30, test::audio_test_sink(), quit);
    EXPECT_TRUE(none.spawn_error.empty());
    EXPECT_FALSE(none.game_ring || none.mic_ring || none.audio.step);
}

TEST(AudioPulse, UnpluggedDeviceFallsBackAndIsAdoptedUnderItsNewId) {
    LogCapture log;
    PulseDaemon pa({null_sink("altavoces", "Altavoces")});
    const std::string headset = pa.load_module("module-null-sink",
                                               "sink_name=auriculares rate=48000 "
                                               "sink_properties=device.description=Auriculares");
    ASSERT_FALSE(headset.empty());
    ASSERT_EQ(pa.pactl({"set-default-sink", "altavoces"}), 0);

    CaptureThread game(capture(kSourceGame, "auriculares", "Auriculares"));
    ASSERT_TRUE(wait_for(
        [&] { return log.text().find("conectado: Auriculares") != std::string::npos; }, 30));

    ASSERT_EQ(pa.pactl({"unload-module", headset}), 0);
    ASSERT_TRUE(
        wait_for([&] { return log.text().find("conectado: Altavoces") != std::string::npos; }, 30))
        << log.text();
    std::string text = log.text();
    EXPECT_EQ(count(text, "[AVISO] audio del juego: se desconectó el dispositivo ("), 1u) << text;
    EXPECT_NE(
        text.find(
            "[AVISO] audio del juego: «Auriculares» no está conectado; mientras vuelve se usa el "
            "predeterminado del sistema («Altavoces»)."),
        std::string::npos)
        << text;
    // Sound keeps coming from the stand-in.
    audio_trim_rings(&game.ring(), nullptr, 0);
    EXPECT_TRUE(wait_for([&] { return game.ring().frames() > 4800; }, 30));

    // The headset comes back on another port: same name, new id.
    ASSERT_FALSE(pa.load_module("module-null-sink",
                                "sink_name=auriculares2 rate=48000 "
                                "sink_properties=device.description=Auriculares")
                     .empty());
    ASSERT_TRUE(wait_for([&] { return count(log.text(), "conectado: Auriculares") == 2; }, 30))
        << log.text();
    text = log.text();
    EXPECT_NE(text.find("[AUDIO] audio del juego: «Auriculares» regresó."), std::string::npos)
        << text;
    EXPECT_NE(text.find("[AUDIO] audio del juego: «Auriculares» cambió de puerto (el sistema le "
                        "dio otro id); se "
                        "usa el nuevo y se guarda."),
              std::string::npos)
        << text;
    std::string ini = test::read_file(config_ini_path());
    EXPECT_NE(ini.find("salida_id = auriculares2\r\n"), std::string::npos) << ini;
}

TEST(AudioPulse, FollowsTheDefaultAndWarnsOncePerDifferentFailure) {
    LogCapture log;
    PulseDaemon pa({null_sink("a", "A"), null_sink("b", "B")});
    ASSERT_EQ(pa.pactl({"set-default-sink", "a"}), 0);
    CaptureThread game(capture(kSourceGame, "", ""));
    ASSERT_TRUE(
        wait_for([&] { return log.text().find("conectado: A (") != std::string::npos; }, 30));

    ASSERT_EQ(pa.pactl({"set-default-sink", "b"}), 0);
    ASSERT_TRUE(
        wait_for([&] { return log.text().find("conectado: B (") != std::string::npos; }, 30));
    ASSERT_EQ(pa.pactl({"set-default-sink", "a"}), 0);
    ASSERT_TRUE(wait_for([&] { return count(log.text(), "conectado: A (") == 2; }, 30));
    const std::string text = log.text();
    // The same failure twice in a row is warned about once.
    EXPECT_EQ(
        count(text, "[AVISO] audio del juego: cambió el dispositivo predeterminado. Reintentando…"),
        1u)
        << text;
}

}  // namespace
}  // namespace corvane
