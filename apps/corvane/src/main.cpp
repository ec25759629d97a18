// Entry routine: start-up order, main loop and shutdown. The only place that
// wires the subsystems together.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/app.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "base/ui_state.h"
#include "base/ui_window.h"
#include "base/version.h"
#include "detection/detect.h"
#include "detection/detect_slow.h"
#include "detection/game_context.h"
#include "platform/foreground.h"
#include "platform/keys.h"
#include "platform/net.h"
#include "platform/processes.h"
#include "platform/thread.h"
#include "recording/audio_encoder.h"
#include "recording/audio_ring.h"
#include "recording/capture.h"
#include "recording/clip_saver.h"
#include "recording/frame_clock.h"
#include "recording/gpu.h"
#include "recording/replay_buffer.h"
#include "recording/video_encoder.h"
#include "shell/command_line.h"
#include "shell/fatal.h"
#include "shell/hotkey.h"
#include "shell/instance.h"
#include "shell/sounds.h"
#include "shell/startup.h"
#include "updater/apply_update.h"
#include "updater/updater.h"
#include "web/server.h"

namespace {

using namespace corvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The display the recorder works on: the session's own.
const std::string kSessionDisplay;

// SIGTERM, SIGINT and SIGHUP, on the signal thread.
void on_quit_signal(int signal_number) {
    app_quit();
    if (quit_flag()) return;  // the main loop takes it from here
    // Before start-up has made the quit flag nothing would act on it: end the
    // way the signal would have ended us.
    log_flush();
    process_die_by_signal(signal_number);
}

[[noreturn]] void fatal(std::string_view message) {
    main_fatal_error(message);
}

// What start-up keeps until shutdown.
struct Recorder {
    std::shared_ptr<QuitFlag> quit;
    std::shared_ptr<SaveRequestSlot> slot;
    std::shared_ptr<ReplayBuffer> buffer;
    std::shared_ptr<DeviceContextLock> device;
    std::unique_ptr<RunningCapture> capture;
    std::shared_ptr<FormatSlot> video_format;
    std::shared_ptr<FormatSlot> audio_format;  // null: no sound track
    std::shared_ptr<FormatSlot> voice_format;  // null: the voice is not stored apart
};

// The leftovers of an update that has just been installed.
void finish_previous_update(const fs::path& update_folder) {
    std::error_code ec;
    fs::remove(app_dir() / kOldProgramFileName, ec);
    const fs::path installer_copy = update_folder / kProgramFileName;
    if (fs::exists(installer_copy, ec)) {
        thread_row_start(thread_rows::kCleanup,
                         [installer_copy] { updater_remove_old_exe(installer_copy); });
    }
}

// The outcome of an update installed before this start, once. The tray that
// would also show it as a balloon is not part of this build.
void report_update_result(const fs::path& update_folder) {
    if (auto text = update_result_take(update_folder)) {
        log_line(update_result_report(*text).log_line);
    }
}

// The settings, and whether this is the first run (no configuration file yet).
Settings load_settings() {
    std::error_code ec;
    FirstRunFlag.store(!fs::exists(config_ini_path(), ec));
    Settings settings = config_load();
    // At once, so that a detector toggle made while start-up goes on is not
    // overwritten later by the value read here.
    DetectorEnabledFlag.store(settings.detector.activo);
    for (const auto& warning : settings.warnings) {
        log_line(fmt::format("[AVISO] corvane.ini: {}", warning));
    }
    return settings;
}

// The local web interface. Without it the program still records.
void start_web_interface() {
    ui_set_hooks(UiHooks{
        .open_window = [](const std::string& tab) { ui_open_window(tab); },
        .quit = [] { app_quit(); },
        .restart = [](bool open_settings) { app_restart(open_settings); },
        .clips_saved = [] { return ClipsSavedCounter.load(); },
    });
    NetListenResult listener = net_listen_loopback(0, 128);
    if (!listener.socket.valid()) {
        log_line(fmt::format("[AVISO] No se pudo iniciar la pantalla de configuración: {}",
                             listener.error));
        return;
    }
    std::string token = ui_session_token_new();
    if (token.empty()) {
        net_close(listener.socket);
        log_line(
            "[AVISO] No se pudo iniciar la pantalla de configuración: no se pudo generar "
            "la clave de sesión");
        return;
    }
    interfaz_write(data_dir(), listener.port, token, process_own_id());
    ui_session_publish(std::move(token), listener.port);
    thread_row_start(thread_rows::kConfig,
                     [socket = listener.socket] { ui_server_thread_main(socket); });
}

// A capture thread per enabled sound source, then the encoders.
AudioStarted start_audio(const Settings& settings, const std::shared_ptr<QuitFlag>& quit,
                         const std::shared_ptr<SampleSink>& sink) {
    AudioRecordingStarted started =
        audio_recording_start(settings.audio, settings.avanzado.fps, sink, quit);
    if (!started.fatal.empty()) fatal(started.fatal);
    return std::move(started.audio);
}

// The monitor, the clips folder, the quit flag, the picture
// path and the video encoder, the banner and the screen capture; then the
// frame clock, first of the long-lived threads.
Recorder start_recording(const Settings& settings) {
    Recorder r;
    const CaptureSizesResult sizes =
        capture_monitor_size(kSessionDisplay, settings.grabacion.resolucion);
    if (!sizes.ok) fatal(sizes.error);

    std::error_code ec;
    fs::create_directories(settings.general.carpeta_clips, ec);
    if (ec || !fs::is_directory(settings.general.carpeta_clips)) {
        fatal(fmt::format("No se pudo crear la carpeta de clips: {}",
                          ec ? ec.message() : std::generic_category().message(ENOTDIR)));
    }

    r.quit = quit_flag_publish();
    r.slot = save_request_slot_publish();

    r.device = gpu_device_create(sizes.sizes.capture);
    ConverterResult converter = gpu_converter_create(sizes.sizes.capture, sizes.sizes.output);
    if (!converter.converter) fatal(converter.error);
    // X11 has no HDR output: the monitor is always SDR, nothing to correct.
    const bool monitor_hdr = hdr_detect();

    r.buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(
        r.buffer, static_cast<std::uint32_t>(settings.avanzado.buffer_segundos),
        static_cast<std::uint32_t>(settings.avanzado.buffer_max_mb));
    VideoEncoderStartConfig ec_config;
    ec_config.width = sizes.sizes.output.width;
    ec_config.height = sizes.sizes.output.height;
    ec_config.fps = settings.avanzado.fps;
    ec_config.bitrate_mbps = settings.avanzado.bitrate_mbps;
    ec_config.bits_per_pixel = settings.avanzado.bits_per_pixel;
    ec_config.bitrate_ceiling_mbps = settings.avanzado.bitrate_ceiling_mbps;
    ec_config.codec = static_cast<std::uint8_t>(settings.avanzado.codec);
    ec_config.sink = sink;
    VideoEncoderStarted encoder = video_encoder_start(std::move(ec_config));
    if (!encoder.ok) fatal(encoder.error);
    r.video_format = encoder.format;

    AudioStarted audio = start_audio(settings, r.quit, sink);
    r.audio_format = audio.main_format;
    r.voice_format = audio.voice_format;

    BannerFacts facts;
    facts.width = sizes.sizes.output.width;
    facts.height = sizes.sizes.output.height;
    facts.codec = encoder.codec;
    facts.encoder_name = encoder.encoder_name;
    facts.bit_rate = encoder.mean_bit_rate;
    facts.config_path = config_ini_path();
    facts.log_path = log_file_path();
    facts.hdr_line = hdr_banner_line(monitor_hdr, false, sdr_white_level(settings.hdr.blanco_sdr));
    for (const auto& line : startup_banner(settings, facts)) log_line(line);

    CaptureStartResult capture =
        capture_start(kSessionDisplay, r.device, settings.avanzado.fps, r.quit);
    if (!capture.capture) fatal(capture.error);
    r.capture = std::move(capture.capture);

    ClockParams clock;
    clock.fps = settings.avanzado.fps;
    clock.video = std::move(encoder.frames);
    clock.audio = std::move(audio.step);
    clock.convert = clock_convert_with(std::move(converter.converter), r.device);
    clock.signal = r.capture->signal();
    clock.backlog = encoder.backlog;
    clock.stats = std::make_shared<ClockStats>();
    clock.quit = r.quit;
    std::string clock_error;
    if (!clock_spawn(std::move(clock), &clock_error)) {
        thread_row_failed(thread_rows::kClock, clock_error, fatal);
    }
    return r;
}

// A private keyboard reader for one hotkey thread.
std::unique_ptr<KeyState> open_keys() {
    static bool warned = false;
    KeyStateResult keys = keys_open(kSessionDisplay);
    if (!keys.keys && !warned) {
        warned = true;
        log_line(fmt::format("[AVISO] Las teclas rápidas no responderán: {}", keys.error));
    }
    return std::move(keys.keys);
}

// The slow pass and the detector thread, sharing the game context and the
// menu state. The frame size is fixed from here on.
void start_detectors(const Settings& settings, const Recorder& r) {
    SharedFrame frame;
    frame.device = r.device;
    frame.signal = r.capture->signal();
    {
        std::lock_guard lock(r.device->context_lock);
        frame.width = r.device->frame.width;
        frame.height = r.device->frame.height;
    }
    auto game_context = std::make_shared<GameContext>();
    auto menu_state = std::make_shared<MenuState>();

    SlowStart slow;
    slow.frame = frame;
    slow.game_context = game_context;
    slow.menu_state = menu_state;
    slow.quit = r.quit;
    thread_row_start(thread_rows::kSlowDetector,
                     [ctx = std::make_shared<SlowStart>(std::move(slow))] {
                         detector_slow_run(std::move(*ctx));
                     });

    DetectorStart fast;
    fast.make_probe = [] {
        ForegroundProbeResult probe = foreground_probe_open(kSessionDisplay);
        if (!probe.probe) {
            log_line(fmt::format("[AVISO] Detector: {}", platform_error_text(probe.error)));
        }
        return std::move(probe.probe);
    };
    // The screen-text classifier and the event engine take this place when
    // they exist; until then the regions are read and counted only.
    fast.engine = detector_engine_regions_only(settings.general.gamertag);
    fast.frame = frame;
    fast.game_context = game_context;
    fast.menu_state = menu_state;
    fast.quit = r.quit;
    thread_row_start(thread_rows::kDetector,
                     [ctx = std::make_shared<DetectorStart>(std::move(fast))] {
                         detector_run(std::move(*ctx));
                     });
}

// The hotkeys and the other long-lived threads, in table order.
void start_workers(const Settings& settings, const Recorder& r) {
    thread_row_start(thread_rows::kSaveKey,
                     [ctx = std::make_shared<SaveHotkeyContext>(SaveHotkeyContext{
                          settings.teclas.guardar, r.quit, r.slot, open_keys()})] {
                         save_hotkey_thread_main(std::move(*ctx));
                     });
    thread_row_start(thread_rows::kViewerKey,
                     [ctx = std::make_shared<ViewerHotkeyContext>(
                          ViewerHotkeyContext{settings.visor.tecla.codes, r.quit, open_keys()})] {
                         viewer_hotkey_thread_main(std::move(*ctx));
                     });
    // Pages that older versions wrote into the clips folder.
    for (const char* old_page : {"Clips Corvane.html", "Clips Corvane.version.js",
                                 "Estadisticas Corvane.html", "Estadisticas Corvane.version.js"}) {
        std::error_code ec;
        fs::remove(settings.general.carpeta_clips / old_page, ec);
    }

    start_detectors(settings, r);

    ClipSaverContext saver;
    clipsaver_apply_settings(saver, settings_clone(settings));
    saver.quit = r.quit;
    saver.slot = r.slot;
    saver.buffer = r.buffer;
    saver.video_format = clip_format_source(r.video_format);
    saver.audio_format = clip_format_source(r.audio_format);
    saver.voice_format = clip_format_source(r.voice_format);
    saver.play_sound = [](ClipSound sound, float volume) {
        if (sound == ClipSound::chime) {
            sound_play_chime(volume);
        } else {
            sound_play_low_tone(volume);
        }
    };
    thread_row_start(thread_rows::kSaver,
                     [ctx = std::make_shared<ClipSaverContext>(std::move(saver))] {
                         clipsaver_thread_main(std::move(*ctx));
                     });
}

// The main loop, then shutdown.
[[noreturn]] void run_until_quit(Recorder r) {
    while (!r.quit->set.load(std::memory_order_relaxed)) std::this_thread::sleep_for(300ms);
    r.capture.reset();  // stops and waits for the capture thread
    // A clip still being written would stay a ".part" file: give it time.
    clipsaver_wait_idle(5s);
    log_line("[CORVANE] Cerrado.");
    app_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    // First, while this is the only thread: every later thread inherits the mask.
    process_route_quit_signals(on_quit_signal);

    const CommandLine cl = parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (cl.install) {
        const InstallRequest& r = *cl.install;
        apply_update_main(r.source, r.target, r.wait_pid, r.version, r.from_version, r.quiet,
                          r.no_relaunch);
        app_exit(0);
    }
    if (cl.console) {
        ConsoleFlag.store(true);
        log_set_console(true);
    }

    // Only the copy that holds the instance lock may rotate the log: a second
    // start would move the file from under the running copy.
    log_open(/*rotate=*/false);

    if (cl.wait_pid) {
        wait_for_pid(*cl.wait_pid);
        std::this_thread::sleep_for(500ms);
    }

    if (!instance_acquire()) {
        instance_hand_off(cl.start_tab);
        app_exit(0);
    }
    log_open(/*rotate=*/true);

    log_line(std::string(62, '='));
    log_line(fmt::format("[CORVANE] Iniciando v{} ({})", kVersionText, kBuildDateText));

    const fs::path update_folder = updater_data_dir(app_dir());
    finish_previous_update(update_folder);
    report_update_result(update_folder);

    const Settings settings = load_settings();
    start_web_interface();
    Recorder recorder = start_recording(settings);
    start_workers(settings, recorder);

    log_line("[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj.");

    std::string start_tab = cl.start_tab;
    if (FirstRunFlag.load()) start_tab = "ajustes:audio";
    if (!cl.no_window) ui_open_window(start_tab);

    run_until_quit(std::move(recorder));
}
