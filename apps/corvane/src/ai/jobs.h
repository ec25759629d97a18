// Analysis jobs: one process-wide table of what every analysis shows while it
// runs, the worker thread "crvn-ia" and the result file beside the clip.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct AiUploadProgress {
    std::uint64_t sent_bytes = 0;
    std::uint64_t total_bytes = 0;
    double mbps = 0.0;
};

struct AiProgressEntry {
    std::string stage;  // "paso", "ok", "error", "aviso"
    float seconds = 0.0f;
    std::string message;
};

struct AiJob {
    std::optional<AiUploadProgress> upload;
    std::string step;
    std::vector<AiProgressEntry> progress;
    std::vector<std::string> thoughts;
    std::optional<std::string> error;
    std::optional<std::string> model;
    std::optional<nlohmann::ordered_json> usage;
    std::optional<std::chrono::steady_clock::time_point> started_at;
    std::uint64_t answer_bytes = 0;
    bool running = false;
    std::uint8_t percent = 0;
};

struct AiSettings {
    std::string api_key;
    std::string model;
    std::optional<std::string> gamertag;
    std::uint32_t fps = 3;
};

// The monotonic clock and the waits of the analysis; tests run them virtually.
struct AiClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::milliseconds)> sleep;
};
AiClock ai_clock();
void ai_set_clock_for_tests(AiClock clock);  // empty members: the real ones

inline constexpr std::size_t kAiProgressMax = 60;
inline constexpr std::size_t kAiThoughtsMax = 40;

// Refuses a blank key; does nothing while the clip's job runs; else resets the
// job and starts its worker. Empty on success, else the user's text.
std::string ai_start_analysis(std::string clip_key, std::filesystem::path clip_path, AiSettings settings);

// A deep copy of the key's job; never creates one.
std::optional<AiJob> ai_job_get(const std::string& clip_key);

// Runs `update` on the key's job (created when missing) under the table lock.
// Keep it short: no input, output or waits inside.
void ai_job_update(const std::string& clip_key, const std::function<void(AiJob&)>& update);

void ai_job_set_step(const std::string& clip_key, std::string_view step, std::uint8_t percent);
void ai_job_log(const std::string& clip_key, std::string_view stage, std::string message);
void ai_job_log_str(const std::string& clip_key, std::string_view stage, std::string_view message);

// Body of "crvn-ia": runs the analysis and stores its outcome.
void ai_worker_thread_main(std::string clip_key, std::filesystem::path clip_path, AiSettings settings);

// The result file's text: two-space indent, no final newline.
std::string ai_result_text(const nlohmann::ordered_json& result);

// Writes the result beside the clip by temporary file and rename; empty on
// success, else the system's text.
std::string ai_write_result(const std::filesystem::path& clip_path, const nlohmann::ordered_json& result);

// Tests only: starts the worker through this instead of a thread; returns the
// text a failed thread start would give (empty: start it for real).
void ai_set_thread_start_for_tests(std::function<std::string(std::function<void()>)> start);

}  // namespace corvane
