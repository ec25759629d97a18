// The capture threads "crvn-audio-juego" (what the chosen output plays) and
// "crvn-audio-mic" (the microphone): each keeps its device open, converts what
// it delivers to 48 kHz stereo float, levels the voice when asked, and fills
// its AudioRing. They survive unplugged devices, changed defaults and devices
// that come back under another id, retrying every 2 s until the program quits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/flags.h"
#include "platform/error.h"
#include "platform/sound_in.h"
#include "recording/audio_level.h"
#include "recording/audio_ring.h"

namespace corvane {

inline constexpr std::uint8_t kSourceGame = 0;
inline constexpr std::uint8_t kSourceMic = 1;

// "audio del juego" / "micrófono".
std::string_view audio_source_label(std::uint8_t source);
// The [audio] key that holds the source's device id.
std::string_view audio_source_id_key(std::uint8_t source);

struct AudioCaptureParams {
    std::uint8_t source = kSourceGame;
    std::string device_id;    // empty: follow the default device
    std::string device_name;  // finds the device again when its id is gone
    std::shared_ptr<AudioRing> ring;
    std::shared_ptr<QuitFlag> quit;
    bool leveller = false;
};

// The thread body; returns when the quit flag is set.
void audio_capture_thread_main(AudioCaptureParams params);

// Starts the detached thread, "crvn-audio-juego" or "crvn-audio-mic". On
// failure `error` is the system's reason; start-up's thread table says what
// that failure means.
struct AudioSpawnResult {
    bool ok = false;
    std::string error;
};
AudioSpawnResult audio_spawn_capture_thread(AudioCaptureParams params);

// The first endpoint whose name equals `wanted` (trimmed; ASCII letters
// compared without case). Nothing for an empty name.
std::optional<SoundEndpoint> audio_endpoint_query(const std::vector<SoundEndpoint>& endpoints,
                                                  std::string_view wanted);

// "{message} ({description})", or "{message} (código 0x{:08X})" when the
// system had no description.
std::string audio_error_text(std::string_view message, const PlatformError& error);

// The device format as the decoder sees it.
AudioDeviceFormat audio_device_format(const SoundInFormat& f);

}  // namespace corvane
