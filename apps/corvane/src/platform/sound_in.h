// Sound in: what an output device plays (the game's sound) and what a
// microphone records. One connection belongs to one thread; every call on it
// returns within a few seconds, also when the sound server hangs or is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace corvane {

enum class SoundInKind : std::uint8_t {
    output = 0,      // record what the device plays
    microphone = 1,  // a capture device (never the echo of an output)
};

struct SoundEndpoint {
    std::string id;    // stable while the device stays plugged where it is
    std::string name;  // its human name; empty when it has none
};

// The step that failed, so that the caller can say it in its own words.
enum class SoundInStep : std::uint8_t {
    connect,       // no sound server
    open,          // the device cannot be opened (gone, refused)
    format,        // its format cannot be read or used
    init,          // the recording could not be set up
    start,         // the recording did not start
    disconnected,  // the device went away while recording
    read,          // reading a packet failed
    release,       // handing a packet back failed
};

struct SoundInFailure {
    SoundInStep step = SoundInStep::connect;
    PlatformError error;
};

// How the packets of an open stream are laid out. Channels follow the
// extensible order (L, R, centre, low frequency, back pair, side pair); devices
// with 3 to 5 channels are delivered as stereo.
struct SoundInFormat {
    std::uint16_t tag = 3;  // 1 integer PCM, 3 float
    std::uint16_t bits = 32;
    std::uint16_t channels = 2;
    std::uint32_t block = 8;  // bytes per frame
    std::uint32_t rate = 48000;
};

struct SoundInPacket {
    const std::uint8_t* data = nullptr;  // null when silent
    std::size_t frames = 0;
    bool silent = false;  // a gap in the recording: `frames` frames of silence
};

class SoundInStream {
  public:
    virtual ~SoundInStream() = default;
    // Hands every whole packet that is ready to `each`, in order, without
    // waiting for more. A failure (disconnected, read, release) ends the stream.
    virtual std::optional<SoundInFailure> read(
        const std::function<void(const SoundInPacket&)>& each) = 0;
};

struct SoundInOpen {
    std::unique_ptr<SoundInStream> stream;  // null on failure
    SoundInFormat format;
    SoundInFailure failure;  // when !stream
};

class SoundInConnection {
  public:
    virtual ~SoundInConnection() = default;
    // The id of the default endpoint of the kind: "" when there is none (an
    // output's echo as the default microphone is none); nothing when the
    // question failed.
    virtual std::optional<std::string> default_id(SoundInKind kind) = 0;
    // The active endpoints in the server's order; nothing when the list failed.
    virtual std::optional<std::vector<SoundEndpoint>> endpoints(SoundInKind kind) = 0;
    // The endpoint with this id when it exists and is active.
    virtual std::optional<SoundEndpoint> endpoint(SoundInKind kind, const std::string& id) = 0;
    // Starts recording the endpoint. The stream must be dropped before the
    // connection and used on the connection's thread.
    virtual SoundInOpen open(SoundInKind kind, const std::string& id) = 0;
};

struct SoundInConnect {
    std::unique_ptr<SoundInConnection> connection;  // null on failure
    PlatformError error;
};

// Connects to the session's sound server (waits at most about two seconds).
SoundInConnect sound_in_connect();

// The words for the default device, as the system calls it ("el predeterminado
// de ..."), and the reason a device changed its id.
const char* sound_in_default_device_words();
const char* sound_in_id_change_words();

}  // namespace corvane
