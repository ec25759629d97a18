// Screen capture and the shared frame: the capture and output sizes, the one
// BGRA picture that capture writes and the frame clock and detectors read, and
// the capture thread "crvn-captura".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/flags.h"
#include "platform/screen.h"

namespace corvane {

// The newest picture, B G R A bytes, width × height, rows of `stride` bytes.
// Alpha is always 255.
struct FrameStore {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> pixels;
};

// The recorder's shared picture and the lock that every reader and writer of
// it takes: capture writes it, the frame clock converts it, the detectors copy
// regions of it. Hold the lock only for one copy or one conversion.
struct DeviceContextLock {
    std::mutex context_lock;
    FrameStore frame;  // guarded by context_lock
};

// Written only by the capture; read without a lock.
struct FrameSignal {
    std::atomic<std::uint64_t> frames_arrived{0};  // copied frames only
    std::atomic<std::uint8_t> frame_available{0};  // 1 from the first copy on, never cleared
};

struct SharedFrame {
    std::shared_ptr<DeviceContextLock> device;
    std::shared_ptr<FrameSignal> signal;
    std::uint32_t width = 0;   // the capture target's size
    std::uint32_t height = 0;
};

struct CaptureSizes {
    ScreenSize capture;  // the monitor's size rounded down to even
    ScreenSize output;   // the recorded video's size
};

// Pure size rule: the capture size is the monitor's, each side rounded down to
// even; with a target height below it, the output keeps the monitor's aspect.
CaptureSizes capture_sizes(ScreenSize monitor, std::optional<std::uint32_t> target_height);

struct CaptureSizesResult {
    bool ok = false;
    CaptureSizes sizes;
    std::string error;  // "No se encontró el monitor: {}"
};
CaptureSizesResult capture_monitor_size(const std::string& display,
                                        std::optional<std::uint32_t> target_height);

// The shared record with a black picture of the capture size.
std::shared_ptr<DeviceContextLock> gpu_device_create(ScreenSize capture);

// Copies the top-left part of `image` that fits the capture target into it,
// under the lock, alpha forced to 255; then raises the signal. An image with a
// side of 0 or less changes nothing.
void capture_on_frame_arrived(SharedFrame& shared, const ScreenImage& image);

// The running capture thread. Destroying it stops the thread and waits.
class RunningCapture {
public:
    RunningCapture(std::shared_ptr<FrameSignal> signal, std::shared_ptr<std::atomic<bool>> stop,
                   std::thread thread);
    ~RunningCapture();
    RunningCapture(const RunningCapture&) = delete;
    RunningCapture& operator=(const RunningCapture&) = delete;
    const std::shared_ptr<FrameSignal>& signal() const { return signal_; }

private:
    std::shared_ptr<FrameSignal> signal_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
};

struct CaptureStartResult {
    std::unique_ptr<RunningCapture> capture;  // null on failure
    std::string error;                        // "No se pudo iniciar la captura de pantalla: {}"
};

// Starts "crvn-captura": it grabs `display` at absolute deadlines every 1/fps s
// and copies each picture into the shared record, until `quit` is set. A lost
// display is logged and sets `quit`.
CaptureStartResult capture_start(const std::string& display, std::shared_ptr<DeviceContextLock> device,
                                 std::uint32_t fps, std::shared_ptr<QuitFlag> quit);

}  // namespace corvane
