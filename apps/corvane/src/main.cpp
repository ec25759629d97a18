// Entry routine: start-up order, main loop and shutdown. The only place that
// wires the subsystems together.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/app.h"
#include "base/avisos.h"
#include "base/config_file.h"
#include "base/flags.h"
#include "base/hotkey_pause.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/tray.h"
#include "base/ui_state.h"
#include "base/ui_window.h"
#include "base/version.h"
#include "detection/detect.h"
#include "detection/detect_engine.h"
#include "detection/detect_slow.h"
#include "detection/game_context.h"
#include "detection/hud.h"
#include "platform/foreground.h"
#include "platform/keys.h"
#include "platform/media_log.h"
#include "platform/memory.h"
#include "platform/net.h"
#include "platform/processes.h"
#include "platform/screen.h"
#include "platform/thread.h"
#include "recording/audio_capture.h"
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
#include "shell/notices.h"
#include "shell/sounds.h"
#include "shell/startup.h"
#include "shell/tray.h"
#include "shell/watcher.h"
#include "updater/apply_update.h"
#include "updater/install_job.h"
#include "updater/jobs.h"
#include "updater/updater.h"
#include "updater/web_api.h"
#include "web/app_hooks.h"
#include "web/server.h"

namespace {

using namespace corvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The display the recorder works on: the session's own.
const std::string kSessionDisplay;

// Set once this copy holds the instance lock. Before that the log file is the
// running copy's (this one may only be waiting for it, or showing "ya está
// abierto"): nothing of this copy may be written there.
std::atomic<bool> g_instance_held{false};

// SIGTERM, SIGINT and SIGHUP, on the signal thread.
void on_quit_signal(int signal_number) {
    if (!g_instance_held.load()) process_die_by_signal(signal_number);
    // Ctrl+C reaches the whole foreground group: a launcher that then passes
    // on its own SIGTERM (scripts/run does) would announce the same quit
    // twice. Once the quit is under way a further signal changes nothing.
    if (quit_requested()) return;
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
    std::shared_ptr<ClockStats> clock_stats;
    std::uint32_t fps = 0;
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

// The outcome of an update installed before this start, once.
void report_update_result(const fs::path& update_folder) {
    if (auto text = update_result_take(update_folder)) {
        const UpdateReport report = update_result_report(*text);
        log_line(report.log_line);
        tray_post(report.balloon_title, report.balloon_text, report.warning ? 1 : 0);
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
    if (auto b = config_warnings_balloon(settings.warnings)) {
        tray_post(b->title, b->body, b->warning);
    }
    return settings;
}

// What the status, settings and action routes reach on the desktop side.
NoticeSettings notice_settings_from(const Settings::Avisos& a) {
    return NoticeSettings{a.tamano, a.duracion, static_cast<std::uint8_t>(a.posicion), a.activo};
}

// The codec start-up asked for and the one that started; -1 until then.
std::atomic<int> g_codec_asked{-1};
std::atomic<int> g_codec_used{-1};

void set_interface_app_hooks() {
    UiAppHooks hooks;
    hooks.game_status = []() -> std::optional<UiGameStatus> {
        auto g = game_status_snapshot();
        if (!g) return std::nullopt;
        return UiGameStatus{g->title, g->exe, g->warzone};
    };
    hooks.notices_running = [] { return NoticesRunningFlag.load(); };
    hooks.warmup_lobby = [] { return LobbyFlag.load(); };
    hooks.notice_settings = [](const Settings::Avisos& a) {
        notice_settings_set(notice_settings_from(a));
    };
    hooks.detector_set_enabled = [](bool on) { detector_set_enabled(on); };
    hooks.save_clip = [] { return tray_save_clip(); };
    hooks.monitor = []() -> std::optional<UiMonitorSize> {
        ScreenSizeResult m = screen_primary_size(kSessionDisplay);
        if (!m.ok) return std::nullopt;
        return UiMonitorSize{m.size.width, m.size.height};
    };
    hooks.video_codec = []() -> std::optional<UiVideoCodec> {
        const int used = g_codec_used.load();
        if (used < 0) return std::nullopt;
        const auto word = [](int c) { return std::string(video_codec_info(static_cast<std::uint8_t>(c)).word); };
        return UiVideoCodec{word(g_codec_asked.load()), word(used)};
    };
    ui_set_app_hooks(std::move(hooks));
}

// The local web interface. Without it the program still records.
void start_web_interface() {
    set_interface_app_hooks();
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

// The tray: its context first, so that the menu works from the start.
void start_tray(const Settings& settings) {
    tray_context_publish(TrayContext{settings.teclas.guardar.text, settings.visor.tecla.text,
                                     settings.actualizaciones.tecla.text,
                                     settings.general.carpeta_clips});
    fatal_set_tray_icon_remover(tray_remove_icon);
    TrayThreadContext ctx;
    ctx.display = kSessionDisplay;
    ctx.actions.open_window = [](const std::string& tab) { ui_open_window(tab); };
    // The menu's "Buscar actualizaciones": a refusal has nowhere to go.
    ctx.actions.updater = [](const std::string& action) { (void)updater_handle_action(action); };
    ctx.actions.restart = [] { app_restart(false); };
    ctx.actions.quit = [] { app_quit(); };
    ctx.actions.open_folder = [](const std::string& path) {
        if (std::string error = tray_open_folder(path); !error.empty()) {
            log_line(fmt::format("[AVISO] No se pudo abrir la carpeta de clips: {}", error));
        }
    };
    thread_row_start(thread_rows::kTray,
                     [ctx = std::make_shared<TrayThreadContext>(std::move(ctx))] {
                         tray_thread_main(std::move(*ctx));
                     });
}

// A capture thread per enabled sound source, then the encoders.
AudioStarted start_audio(const Settings& settings, const std::shared_ptr<QuitFlag>& quit,
                         const std::shared_ptr<SampleSink>& sink) {
    AudioRecordingStarted started =
        audio_recording_start(settings.audio, settings.avanzado.fps, sink, quit);
    if (!started.spawn_error.empty()) {
        thread_row_failed(
            started.spawn_source == kSourceGame ? thread_rows::kAudioGame : thread_rows::kAudioMic,
            started.spawn_error, fatal);
    }
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
    VideoEncoderStartConfig ec_config = video_encoder_start_config(
        settings, sizes.sizes.output.width, sizes.sizes.output.height);
    ec_config.sink = sink;
    const std::uint8_t codec_asked = ec_config.codec;
    VideoEncoderStarted encoder = video_encoder_start(std::move(ec_config));
    if (!encoder.ok) fatal(encoder.error);
    g_codec_asked.store(codec_asked);
    g_codec_used.store(encoder.codec);
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
    r.clock_stats = clock.stats;
    r.fps = settings.avanzado.fps;
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

    // The capture is the top-left of the screen, so a notice card's screen
    // rectangle is also where it lies in the frame.
    CoveredRects covered = []() -> std::vector<Region> {
        const std::optional<ScreenRect> a = notice_card_area();
        if (!a) return {};
        const std::int32_t left = std::max(a->left, 0), top = std::max(a->top, 0);
        if (a->right <= left || a->bottom <= top) return {};
        return {Region{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                       static_cast<std::uint32_t>(a->right - left),
                       static_cast<std::uint32_t>(a->bottom - top)}};
    };

    SlowStart slow;
    slow.covered = covered;
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
    fast.engine = detector_engine_make(events_state_make(settings, r.slot, [] {
        std::optional<GameStatus> game = game_status_snapshot();
        return game ? std::optional<std::string>(game->title) : std::nullopt;
    }));
    fast.frame = frame;
    fast.covered = covered;
    fast.balloon = [](const std::string& title, const std::string& text) {
        tray_post(title, text, 1);
    };
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
    // The daily update check, then the update hotkey and the interface's
    // "actualizar" requests.
    const fs::path program_folder = app_dir();
    const std::string update_key = settings.actualizaciones.tecla.text;
    if (updater_check_due(settings.actualizaciones.buscar_al_abrir,
                          std::chrono::system_clock::now(),
                          updater_read_last_check(updater_data_dir(program_folder)))) {
        thread_row_start(thread_rows::kUpdateCheck, [program_folder, update_key] {
            updater_startup_check_thread(program_folder, update_key);
        });
    }
    UpdaterActionContext update_action;
    update_action.program_folder = program_folder;
    update_action.hotkey_text = update_key;
    update_action.quit = r.quit;
    auto update_keys = std::shared_ptr<KeyState>(open_keys());
    auto update_watch =
        std::make_shared<HotkeyWatch>(settings.actualizaciones.tecla.codes, update_keys.get());
    update_action.hotkey_pressed = [update_keys, update_watch] {
        return update_watch->poll(HotkeyPause.load(std::memory_order_relaxed), process_now_ms()) > 0;
    };
    thread_row_start(thread_rows::kUpdateKey,
                     [ctx = std::make_shared<UpdaterActionContext>(std::move(update_action))] {
                         updater_menu_action_thread(std::move(*ctx));
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

    thread_row_start(thread_rows::kGameWatch, [quit = r.quit] {
        game_watch_thread_main(
            GameWatchContext{quit, [](std::string_view name) -> std::optional<GameMatch> {
                                 auto t = game_title_for_exe(name);
                                 if (!t) return std::nullopt;
                                 return GameMatch{std::move(t->title), t->warzone};
                             }});
    });

    notice_settings_set(notice_settings_from(settings.avisos));
    thread_row_start(thread_rows::kNotices,
                     [ctx = NoticesContext{r.quit, kSessionDisplay}] { notices_thread_main(ctx); });

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

    thread_row_start(thread_rows::kStatus,
                     [ctx = StatusContext{r.quit, r.capture->signal(), r.clock_stats, r.buffer,
                                          r.fps}] { status_thread_main(ctx); });
}

// The files that hold this session's web-interface key: nobody may use it
// once the session is over.
void remove_session_files() {
    interfaz_remove(data_dir(), process_own_id());
    ui_launch_page_remove();
}

// The main loop, then shutdown.
[[noreturn]] void run_until_quit(Recorder r) {
    while (!r.quit->set.load(std::memory_order_relaxed)) std::this_thread::sleep_for(300ms);
    tray_remove_icon();
    visor_close_window(kUiWindowTitle);
    visor_close_window(fmt::format("{}{}", kUiWindowTitle, kUiTitleSeparator));
    remove_session_files();
    r.capture.reset();  // stops and waits for the capture thread
    // The detector writes the kills and deaths of a scene still open to the
    // history as it ends; leaving before that would lose them.
    detector_wait_closed(2s);
    // A clip still being written would stay a ".part" file: give it time.
    clipsaver_wait_idle(5s);
    log_line("[CORVANE] Cerrado.");
    app_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    // First, while this is the only thread: every later thread inherits the mask.
    process_route_quit_signals(on_quit_signal);
    memory_allocator_setup();

    const CommandLine cl = parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (cl.install) {
        const InstallRequest& r = *cl.install;
        ApplyUpdateArgs args;
        args.package = r.source;
        args.install_folder = r.target;
        args.version = r.version;
        args.from_version = r.from_version;
        args.pid = r.wait_pid;
        args.quiet = r.quiet;
        args.no_relaunch = r.no_relaunch;
        apply_update_main(args);
        app_exit(0);
    }
    if (cl.console) {
        ConsoleFlag.store(true);
        log_set_console(true);
    }
    {
        std::vector<std::string> mode;
        if (cl.console) mode.emplace_back("--consola");
        if (cl.no_window) mode.emplace_back("--no-window");
        app_set_restart_flags(std::move(mode));
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
    g_instance_held.store(true);
    log_open(/*rotate=*/true);
    // The encoders' and the muxer's own warnings belong in our log, and their
    // chatter on nobody's console.
    media_log_route([](std::string_view line) { log_line(line); });

    log_line(std::string(62, '='));
    log_line(fmt::format("[CORVANE] Iniciando v{} ({})", kVersionText, kBuildDateText));

    const fs::path update_folder = updater_data_dir(app_dir());
    finish_previous_update(update_folder);
    report_update_result(update_folder);

    const Settings settings = load_settings();
    updater_context_publish(UpdaterContext{app_dir(), settings.actualizaciones.tecla.text});
    // An install ends the program: the detector's open scene reaches the
    // history and a clip being written is finished first.
    updater_set_before_exit([] {
        detector_close_for_exit(2s);
        clipsaver_wait_idle(5s);
        remove_session_files();
    });
    start_web_interface();
    start_tray(settings);
    Recorder recorder = start_recording(settings);
    start_workers(settings, recorder);

    log_line("[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj.");

    std::string start_tab = cl.start_tab;
    if (FirstRunFlag.load()) {
        const Balloon b = first_run_balloon(settings.teclas.guardar.text);
        tray_post(b.title, b.body, b.warning);
        start_tab = "ajustes:audio";
    }
    if (!cl.no_window) ui_open_window(start_tab);

    run_until_quit(std::move(recorder));
}
