#include "base/tray.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "base/config_file.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/save_request.h"

namespace corvane {

namespace {

struct TrayShared {
    std::mutex balloons_mutex;
    std::deque<Balloon> balloons;
    std::mutex hooks_mutex;
    std::shared_ptr<const std::function<void()>> waker;
    std::shared_ptr<const std::function<void()>> remover;
    std::mutex context_mutex;
    std::unique_ptr<const TrayContext> context;
    std::vector<std::unique_ptr<const TrayContext>> retired;  // reset by tests, still pointed to
    std::mutex detector_mutex;
};

TrayShared& tray_shared() {
    // Leaked on purpose: detached threads may post while the process ends.
    static TrayShared* s = new TrayShared;
    return *s;
}

void call_hook(std::shared_ptr<const std::function<void()>> TrayShared::*member) {
    auto& s = tray_shared();
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard lock(s.hooks_mutex);
        hook = s.*member;
    }
    if (hook && *hook) (*hook)();
}

}  // namespace

void tray_post(std::string_view title, std::string_view body, std::uint8_t warning) {
    Balloon b{std::string(title), std::string(body), warning};
    auto& s = tray_shared();
    {
        std::lock_guard lock(s.balloons_mutex);
        while (s.balloons.size() >= kPendingBalloonsMax) s.balloons.pop_front();
        s.balloons.push_back(std::move(b));
    }
    call_hook(&TrayShared::waker);
}

std::vector<Balloon> tray_balloons_take() {
    auto& s = tray_shared();
    std::lock_guard lock(s.balloons_mutex);
    std::vector<Balloon> out(std::make_move_iterator(s.balloons.begin()),
                             std::make_move_iterator(s.balloons.end()));
    s.balloons.clear();
    return out;
}

void tray_balloons_clear_for_tests() {
    auto& s = tray_shared();
    std::lock_guard lock(s.balloons_mutex);
    s.balloons.clear();
}

void tray_set_waker(std::function<void()> wake) {
    auto& s = tray_shared();
    auto hook = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
    std::lock_guard lock(s.hooks_mutex);
    s.waker = std::move(hook);
}

void tray_set_remover(std::function<void()> remove) {
    auto& s = tray_shared();
    auto hook = remove ? std::make_shared<const std::function<void()>>(std::move(remove)) : nullptr;
    std::lock_guard lock(s.hooks_mutex);
    s.remover = std::move(hook);
}

void tray_remove_icon() {
    call_hook(&TrayShared::remover);
}

void tray_context_publish(TrayContext ctx) {
    auto& s = tray_shared();
    std::lock_guard lock(s.context_mutex);
    if (!s.context) s.context = std::make_unique<const TrayContext>(std::move(ctx));
}

void tray_context_reset_for_tests() {
    auto& s = tray_shared();
    std::lock_guard lock(s.context_mutex);
    if (s.context) s.retired.push_back(std::move(s.context));
}

const TrayContext* tray_context() {
    auto& s = tray_shared();
    std::lock_guard lock(s.context_mutex);
    return s.context.get();
}

std::string tray_save_key_name() {
    const TrayContext* ctx = tray_context();
    if (!ctx || ctx->save_key.empty()) return "la tecla de guardar";
    return ctx->save_key;
}

bool tray_save_clip() {
    auto slot = save_request_slot();
    if (!slot) return false;
    log_line("[BANDEJA] Guardando clip...");
    save_request_submit(*slot, save_request_manual());
    return true;
}

bool detector_set_enabled(bool on) {
    auto& s = tray_shared();
    std::lock_guard lock(s.detector_mutex);
    const bool was = DetectorEnabledFlag.exchange(on);
    if (was == on) return was;
    // A failed write leaves the change for this run only.
    (void)config_write_key("detector", "activo", on ? "si" : "no");
    log_line(on ? std::string("[DETECTOR] Encendido.")
                : fmt::format("[DETECTOR] Apagado (no lee la pantalla; la grabación y {} siguen "
                              "funcionando).",
                              tray_save_key_name()));
    return was;
}

}  // namespace corvane
