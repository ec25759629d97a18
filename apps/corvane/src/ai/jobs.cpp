#include "ai/jobs.h"

#include <fmt/format.h>

#include <map>
#include <mutex>
#include <thread>

#include "ai/run.h"
#include "base/log.h"
#include "base/text.h"
#include "clips/library.h"
#include "platform/thread.h"

namespace corvane {

using Json = nlohmann::ordered_json;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::mutex g_table_lock;
std::optional<std::map<std::string, AiJob>>& table() {
    static std::optional<std::map<std::string, AiJob>> t;
    return t;
}

std::mutex g_seam_lock;
AiClock& clock_slot() {
    static AiClock c;
    return c;
}
std::function<std::string(std::function<void()>)>& thread_start_slot() {
    static std::function<std::string(std::function<void()>)> f;
    return f;
}

// Under the table lock: the key's job, created when missing.
AiJob& job_locked(const std::string& key) {
    auto& t = table();
    if (!t) t.emplace();
    return (*t)[key];
}

float seconds_since(const std::optional<SteadyClock::time_point>& start, SteadyClock::time_point now) {
    if (!start || now < *start) return 0.0f;
    const auto d = now - *start;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - whole);
    return static_cast<float>(static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9);
}

}  // namespace

AiClock ai_clock() {
    AiClock c;
    {
        std::lock_guard lock(g_seam_lock);
        c = clock_slot();
    }
    if (!c.now) c.now = [] { return SteadyClock::now(); };
    if (!c.sleep) c.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    return c;
}

void ai_set_clock_for_tests(AiClock clock) {
    std::lock_guard lock(g_seam_lock);
    clock_slot() = std::move(clock);
}

void ai_set_thread_start_for_tests(std::function<std::string(std::function<void()>)> start) {
    std::lock_guard lock(g_seam_lock);
    thread_start_slot() = std::move(start);
}

std::optional<AiJob> ai_job_get(const std::string& clip_key) {
    std::lock_guard lock(g_table_lock);
    const auto& t = table();
    if (!t) return std::nullopt;
    auto it = t->find(clip_key);
    if (it == t->end()) return std::nullopt;
    return it->second;
}

void ai_job_update(const std::string& clip_key, const std::function<void(AiJob&)>& update) {
    std::lock_guard lock(g_table_lock);
    update(job_locked(clip_key));
}

void ai_job_log(const std::string& clip_key, std::string_view stage, std::string message) {
    log_line(fmt::format("[IA] {}", message));
    const auto now = ai_clock().now();
    std::lock_guard lock(g_table_lock);
    AiJob& job = job_locked(clip_key);
    job.progress.push_back(AiProgressEntry{std::string(stage), seconds_since(job.started_at, now), std::move(message)});
    if (job.progress.size() > kAiProgressMax) job.progress.erase(job.progress.begin());
}

void ai_job_log_str(const std::string& clip_key, std::string_view stage, std::string_view message) {
    ai_job_log(clip_key, stage, std::string(message));
}

void ai_job_set_step(const std::string& clip_key, std::string_view step, std::uint8_t percent) {
    {
        std::lock_guard lock(g_table_lock);
        AiJob& job = job_locked(clip_key);
        job.step = std::string(step);
        job.percent = std::max(job.percent, percent);
    }
    ai_job_log_str(clip_key, "paso", step);
}

std::string ai_start_analysis(std::string clip_key, std::filesystem::path clip_path, AiSettings settings) {
    if (utf8_trim(settings.api_key).empty()) return "Falta tu clave de Gemini: Configuración → IA.";
    const auto now = ai_clock().now();
    {
        std::lock_guard lock(g_table_lock);
        auto& t = table();
        if (t) {
            auto it = t->find(clip_key);
            if (it != t->end() && it->second.running) return {};
        }
        AiJob& job = job_locked(clip_key);
        job = AiJob{};
        job.step = "Preparando";
        job.started_at = now;
        job.running = true;
    }
    std::function<void()> body = [clip_key, clip_path = std::move(clip_path), settings = std::move(settings)]() mutable {
        ai_worker_thread_main(std::move(clip_key), std::move(clip_path), std::move(settings));
    };
    std::function<std::string(std::function<void()>)> start;
    {
        std::lock_guard lock(g_seam_lock);
        start = thread_start_slot();
    }
    std::string error = start ? start(body) : std::string{};
    if (error.empty() && !start) error = thread_start_detached("crvn-ia", std::move(body));
    if (!error.empty()) {
        // Without a worker nobody would ever end the job.
        std::lock_guard lock(g_table_lock);
        AiJob& job = job_locked(clip_key);
        job.running = false;
        job.error = error;
    }
    return error;
}

std::string ai_result_text(const Json& result) {
    return result.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string ai_write_result(const std::filesystem::path& clip_path, const Json& result) {
    std::string error;
    const auto target = clips_analysis_path(clip_path);
    auto temp = target;
    temp += ".tmp";
    if (file_write_atomic(target, ai_result_text(result), &error, temp) != FileWriteStep::none) {
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return error.empty() ? "error desconocido" : error;
    }
    return {};
}

void ai_worker_thread_main(std::string clip_key, std::filesystem::path clip_path, AiSettings settings) {
    const auto start = ai_clock().now();
    ai_job_log(clip_key, "paso", fmt::format("Análisis de {}", clip_key));
    AiRunOutcome outcome = ai_run_analysis(clip_key, clip_path, settings);
    if (outcome.result) {
        // A result that cannot be stored is lost: say so instead of "Listo".
        const std::string write_error = ai_write_result(clip_path, *outcome.result);
        if (write_error.empty()) {
            const auto now = ai_clock().now();
            const long long elapsed =
                now < start ? 0 : std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
            const auto m = outcome.result->find("_modelo");
            const std::string model =
                m != outcome.result->end() && m->is_string() ? m->get<std::string>() : std::string("?");
            ai_job_log(clip_key, "ok", fmt::format("Análisis listo en {} s con {}", elapsed, model));
            ai_job_update(clip_key, [](AiJob& job) {
                job.step = "Listo";
                job.running = false;
                job.percent = 100;
            });
            return;
        }
        outcome.error = fmt::format("no se pudo guardar el análisis ({})", write_error);
    }
    ai_job_log(clip_key, "error", fmt::format("No se pudo analizar: {}", outcome.error));
    ai_job_update(clip_key, [&](AiJob& job) {
        job.running = false;
        job.error = outcome.error;
    });
}

}  // namespace corvane
