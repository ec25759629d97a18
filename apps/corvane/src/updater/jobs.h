// The application side of the updater: one status the web interface shows,
// one busy flag so that only one check or install runs at a time, the check
// job with its log banner, and the threads that start the jobs (the start-up
// check, the update hotkey and the web/tray workers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/flags.h"
#include "updater/check.h"
#include "web.h"

namespace corvane {

// The six states the status can be in.
namespace updater_state {
inline constexpr const char* kIdle = "idle";
inline constexpr const char* kSearching = "buscando";
inline constexpr const char* kUpToDate = "al_dia";
inline constexpr const char* kAvailable = "disponible";
inline constexpr const char* kDownloading = "descargando";
inline constexpr const char* kError = "error";
}  // namespace updater_state

// `UpdaterBusy`: true while a check or install runs. Taken only by exchange
// with true (an old true means somebody else runs a job), released by a store.
inline std::atomic<bool> UpdaterBusy{false};

// Under the status lock: replaces state and message; the stored info stays.
void updater_set_status(const char* state, std::string message);
// Under the status lock: a copy of the stored info of the newer version.
std::optional<UpdateInfo> updater_status_snapshot();
// Runs `read` while holding the status lock, so that what it builds is one
// consistent view. `read` must take no other lock of the updater.
void updater_status_read(const std::function<void(const char* state, const std::string& message,
                                                  const std::optional<UpdateInfo>& info)>& read);

// `UpdaterContext`: set once by start-up, never changed afterwards.
struct UpdaterContext {
    std::filesystem::path program_folder;
    std::string hotkey_text;  // the update hotkey as configured ("Ctrl+Shift+U")
};
// Only the first call has an effect; true when this call set it.
bool updater_context_publish(UpdaterContext context);
// The context, or null before start-up has set it.
std::shared_ptr<const UpdaterContext> updater_context();

// Where the jobs reach the network, other jobs and time; tests replace them.
struct UpdaterHooks {
    std::function<UpdateCheckOutcome(const std::filesystem::path& program_folder)> check;
    std::function<void(const std::filesystem::path& program_folder, const UpdateInfo& info)>
        install;
    std::function<void(std::chrono::milliseconds)> sleep;
    // Starts a detached worker; "" on success, else why not.
    std::function<std::string(std::function<void()> body)> start_worker;
};
// The hooks in force (the real ones unless replaced).
UpdaterHooks updater_hooks();
// Tests: replaces the non-empty members; an empty member keeps the real one.
void updater_set_hooks_for_tests(UpdaterHooks hooks);
// Tests: back to the start of the process (status idle, no info, no
// context, not busy, real hooks).
void updater_reset_for_tests();

// Certificates for the update server: the system's store unless a test
// points at its own server's certificate.
void updater_set_web_config_for_tests(vessoria::WebConfig config);
vessoria::WebConfig updater_web_config();

// The check job: "buscando", the check, then "al_dia" (the old info is
// dropped: the server no longer offers it), "error" (the info stays) or
// "disponible" with the new info and the banner. Balloons for "al día" and
// for errors only when `balloons`.
void updater_run_check(const std::filesystem::path& program_folder, const std::string& hotkey_text,
                       bool balloons);

// The new-version banner, one entry per log line, and its balloon.
std::vector<std::string> updater_banner_lines(const UpdateInfo& info,
                                              const std::string& hotkey_text);
void updater_print_banner(const UpdateInfo& info, const std::string& hotkey_text);

// A one-shot job for a worker thread.
struct UpdateJob {
    enum class Kind { check, install };
    Kind kind = Kind::check;
    std::filesystem::path program_folder;
    std::string hotkey_text;  // check only
    UpdateInfo info;          // install only
};
// Body of a worker: runs the job (a check without balloons, or the install),
// then releases UpdaterBusy.
void updater_job_thread_main(UpdateJob job);

// Whether start-up runs its update check: switched on, the clock at or past
// 1970, and more than a day since the last check (`last_check`, Unix
// seconds; 0 = never).
bool updater_check_due(bool enabled, std::chrono::system_clock::time_point now,
                       std::uint64_t last_check);

// Body of the start-up check thread: after 8 s, one check unless a job runs.
// Nothing is shown before it; a failure is only logged.
void updater_startup_check_thread(const std::filesystem::path& program_folder,
                                  const std::string& hotkey_text);

// One press of the update hotkey or one "actualizar" request: refused while
// the game is in front, nothing while a job runs, else a check with
// balloons or, once a newer version is known, its install, on the calling
// thread.
void updater_act(const std::filesystem::path& program_folder, const std::string& hotkey_text);

struct UpdaterActionContext {
    // True once per press of the update hotkey (pause rule and press
    // detection included); empty: no hotkey.
    std::function<bool()> hotkey_pressed;
    std::filesystem::path program_folder;
    std::string hotkey_text;
    std::shared_ptr<QuitFlag> quit;
};
inline constexpr std::chrono::milliseconds kUpdaterActionPeriod{50};
// One pass of the update action thread: the hotkey, then the request flag.
void updater_action_pass(const UpdaterActionContext& context);
// Body of "crvn-actualizar": a pass every 50 ms until quit.
void updater_menu_action_thread(UpdaterActionContext context);

}  // namespace corvane
