#include "base/ui_window.h"

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/tray.h"
#include "base/ui_state.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/shell_open.h"

namespace corvane {

namespace {

struct LaunchTimes {
    std::mutex mutex;
    std::vector<UiLaunchEntry> entries;
};
LaunchTimes& launch_times() {
    static LaunchTimes* t = new LaunchTimes;  // leaked: detached threads may open the window at exit
    return *t;
}

struct BrowserOverride {
    std::mutex mutex;
    bool set = false;
    std::filesystem::path program;
};
BrowserOverride& browser_override() {
    static BrowserOverride* o = new BrowserOverride;
    return *o;
}

std::optional<std::filesystem::path> browser_to_start() {
    auto& o = browser_override();
    {
        std::lock_guard lock(o.mutex);
        if (o.set) {
            if (o.program.empty()) return std::nullopt;
            return o.program;
        }
    }
    return browser_program();
}

// A file address for a local path: every byte but the unreserved ones and "/"
// percent-encoded.
std::string file_url(const std::filesystem::path& p) {
    std::string out = "file://";
    for (unsigned char c : p.string()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~' || c == '/')
            out += static_cast<char>(c);
        else
            out += fmt::format("%{:02X}", c);
    }
    return out;
}

bool write_private_file(const std::filesystem::path& path, std::string_view text) {
    FileReplaceOptions options;
    options.mode = 0600;  // the page holds the session token
    return file_replace(path, text, options).failed == FileReplaceStep::none;
}

std::atomic<bool> g_no_browser_logged{false};

// A browser that ends this soon after its start, with a failure, never showed
// the window. One that ends well (it handed the address to a browser already
// running, or the user closed it) is not a failure at any time.
constexpr std::chrono::seconds kBrowserStartWindow{20};
// The browser's own log is set aside at the next launch once it passes this.
constexpr std::uintmax_t kBrowserLogLimit = 1u << 20;

void report_open_failure(const std::string& reason, const std::string& balloon) {
    log_line(fmt::format("[VENTANA] No se pudo abrir Corvane: {}.", reason));
    tray_post("No se pudo abrir Corvane", balloon, 1);
}

// The last line the browser wrote after `from` in its log: most often the
// reason it gave up.
std::string last_words(const std::filesystem::path& log, std::uintmax_t from) {
    std::ifstream in(log, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(from));
    std::string text(64 * 1024, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::string last;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = utf8_trim(utf8_lossy(std::string_view(text).substr(start, end - start)));
        if (!line.empty()) last = std::move(line);
        start = end + 1;
    }
    return utf8_cut_utf16(last, 300);
}

void browser_ended(const std::filesystem::path& program, const std::filesystem::path& log,
                   std::uintmax_t log_from, std::chrono::steady_clock::time_point started,
                   ProcessEnd end) {
    if (!end.signalled && end.code == 0) return;
    if (std::chrono::steady_clock::now() - started > kBrowserStartWindow) return;
    const std::string how = end.signalled ? fmt::format("por la señal {}", end.code)
                                          : fmt::format("con el código {}", end.code);
    std::string reason = fmt::format("el navegador ({}) se cerró al arrancar, {}", program.string(), how);
    if (const std::string words = last_words(log, log_from); !words.empty()) {
        reason += fmt::format(": «{}»", words);
    }
    reason += fmt::format(" (su salida está en {})", log.string());
    report_open_failure(reason, fmt::format("El navegador se cerró al arrancar ({}). Su salida está en "
                                            "{}, en la carpeta de datos de Corvane.",
                                            how, log.filename().string()));
}

// The browser's log, set aside as ".1" when it has grown too big: its
// output stays out of the user's terminal, and its size stays bounded over
// many starts.
std::uintmax_t browser_log_prepare(const std::filesystem::path& log) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(log, ec);
    if (ec) return 0;
    if (size <= kBrowserLogLimit) return size;
    std::filesystem::path old = log;
    old += ".1";
    std::filesystem::rename(log, old, ec);
    return ec ? size : 0;
}

// Starts `program` with `args`, its output in the browser's log, and reports
// it when it cannot start or ends at once with a failure.
void start_watched(const std::filesystem::path& program, const std::vector<std::string>& args) {
    const std::filesystem::path log = ui_browser_log_path();
    const std::uintmax_t from = browser_log_prepare(log);
    const auto started = std::chrono::steady_clock::now();
    const SpawnResult r = process_spawn_watched(
        program, args, data_dir(), log, [program, log, from, started](ProcessEnd end) {
            browser_ended(program, log, from, started, end);
        });
    if (!r.ok) {
        report_open_failure(
            fmt::format("no se pudo iniciar el navegador ({}): {}", program.string(), r.error),
            "No se pudo iniciar el navegador. Detalles en el registro.");
    }
}

void launch(const std::string& address) {
    const std::filesystem::path page = ui_launch_page_path();
    if (!write_private_file(page, ui_launch_page(address))) {
        report_open_failure(fmt::format("no se pudo escribir {}", page.string()),
                            "No se pudo preparar la ventana. Detalles en el registro.");
        return;
    }
    const std::string url = file_url(page);
    if (auto program = browser_to_start()) {
        start_watched(*program, {"--app=" + url,
                                 "--user-data-dir=" + (data_dir() / kUiWindowKey).string(),
                                 "--window-size=1360,920", "--no-first-run",
                                 "--no-default-browser-check"});
        return;
    }
    if (!g_no_browser_logged.exchange(true))
        log_line("[VENTANA] No se encontró Chromium: se usa el navegador predeterminado.");
    // The desktop's opener, watched like the browser: it fails at once when
    // it finds no browser either.
    if (auto opener = shell_find_program("xdg-open")) {
        start_watched(*opener, {url});
        return;
    }
    report_open_failure("no se encontró Chromium ni xdg-open para abrir la dirección",
                        "No se encontró ningún navegador. Instala Chromium para ver Corvane.");
}

}  // namespace

bool ui_window_title_matches(std::string_view wanted, std::string_view window_title) {
    if (window_title == wanted) return true;
    return wanted.find(kUiTitleSeparator) != std::string_view::npos && window_title.starts_with(wanted);
}

std::optional<BrowserWindow> visor_find_window(std::string_view title) {
    for (BrowserWindow& w : browser_windows()) {
        w.title = utf8_lossy(w.title);
        if (ui_window_title_matches(title, w.title)) return std::move(w);
    }
    return std::nullopt;
}

void visor_close_window(std::string_view title) {
    for (int attempt = 0; attempt < kUiCloseAttempts; ++attempt) {
        auto w = visor_find_window(title);
        if (!w) return;
        browser_window_close(w->id);
        std::this_thread::sleep_for(kUiClosePause);
    }
}

bool ui_launch_allowed(std::vector<UiLaunchEntry>& times, std::string_view key,
                       std::chrono::steady_clock::time_point now) {
    for (UiLaunchEntry& e : times) {
        if (e.key != key) continue;
        if (now < e.at || std::chrono::duration_cast<std::chrono::seconds>(now - e.at) < kUiLaunchThrottle)
            return false;
        e.at = now;
        return true;
    }
    times.push_back(UiLaunchEntry{std::string(key), now});
    return true;
}

std::filesystem::path ui_launch_page_path() { return data_dir() / "abrir.html"; }

void ui_launch_page_remove() {
    std::error_code ec;
    std::filesystem::remove(ui_launch_page_path(), ec);
}

std::filesystem::path ui_browser_log_path() { return data_dir() / "navegador.log"; }

std::string ui_launch_page(std::string_view address) {
    std::string literal = nlohmann::json(std::string(address)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string safe;
    for (char c : literal) {
        if (c == '<') safe += "\\u003c";
        else safe += c;
    }
    return fmt::format(
        "<!doctype html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
        "<meta name=\"referrer\" content=\"no-referrer\"><title>{}</title>"
        "<script>location.replace({});</script></head><body></body></html>\n",
        kUiWindowTitle, safe);
}

void ui_open_window(std::string_view tab) {
    const UiSession* session = ui_session();
    if (!session) return;
    ui_pending_tab_set(std::string(tab));
    log_line(fmt::format("[VENTANA] Abriendo Corvane ({}).", tab));
    const std::string address =
        fmt::format("{}#{}", fmt::format("http://127.0.0.1:{}/?t={}", session->port, session->token), tab);

    if (auto w = visor_find_window(kUiWindowTitle)) {
        browser_window_raise(w->id);
        return;
    }
    {
        auto& t = launch_times();
        std::lock_guard lock(t.mutex);
        if (!ui_launch_allowed(t.entries, kUiWindowKey, std::chrono::steady_clock::now())) return;
    }
    launch(address);
}

void ui_window_set_browser_for_tests(std::optional<std::filesystem::path> program) {
    auto& o = browser_override();
    std::lock_guard lock(o.mutex);
    o.set = program.has_value();
    o.program = program.value_or(std::filesystem::path());
}

void ui_window_reset_launch_times_for_tests() {
    auto& t = launch_times();
    std::lock_guard lock(t.mutex);
    t.entries.clear();
}

}  // namespace corvane
