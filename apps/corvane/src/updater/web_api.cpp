#include "updater/web_api.h"

#include <memory>

#include <fmt/format.h>

#include "base/flags.h"
#include "base/version.h"
#include "updater/jobs.h"
#include "updater/updater.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

Json newer_json(const UpdateInfo& info) {
    Json n = Json::object();
    n["version"] = info.version;
    n["pagina"] = info.page;
    n["tamano"] = info.size;
    Json changes = Json::array();
    for (const auto& c : info.changes) {
        Json entry = Json::object();
        entry["version"] = c.version;
        entry["md"] = c.md;
        changes.push_back(std::move(entry));
    }
    n["cambios"] = std::move(changes);
    return n;
}

// Hands `job` to a worker; on failure the flag taken for it is released.
std::optional<std::string> start(UpdateJob job) {
    auto owned = std::make_shared<UpdateJob>(std::move(job));
    const std::string error =
        updater_hooks().start_worker([owned] { updater_job_thread_main(std::move(*owned)); });
    if (error.empty()) return std::nullopt;
    UpdaterBusy.store(false);
    return fmt::format("no se pudo iniciar la actualización ({})", error);
}

}  // namespace

Json updater_status_json() {
    const auto context = updater_context();
    Json out = Json::object();
    updater_status_read([&](const char* state, const std::string& message,
                            const std::optional<UpdateInfo>& info) {
        out["version"] = kVersionText;
        out["fecha"] = kBuildDateText;
        out["fase"] = state;
        out["mensaje"] = message;
        out["ocupado"] = UpdaterBusy.load();
        out["nueva"] = info ? newer_json(*info) : Json(nullptr);
        std::uint64_t last = 0;
        if (context && !context->program_folder.empty())
            last = updater_read_last_check(updater_data_dir(context->program_folder));
        out["ultima_busqueda"] = last;
        out["tecla"] = context ? context->hotkey_text : std::string();
        out["juego_al_frente"] = GameInFrontFlag.load();
    });
    return out;
}

std::optional<std::string> updater_handle_action(std::string_view action) {
    const auto context = updater_context();
    if (!context) return std::string("el actualizador todavía no arranca");
    if (UpdaterBusy.exchange(true))
        return std::string("ya se está buscando o instalando una actualización");
    if (action == "buscar") {
        UpdateJob job;
        job.kind = UpdateJob::Kind::check;
        job.program_folder = context->program_folder;
        job.hotkey_text = context->hotkey_text;
        return start(std::move(job));
    }
    if (action == "instalar") {
        if (GameInFrontFlag.load()) {
            UpdaterBusy.store(false);
            return std::string("estás jugando (el juego está al frente): termina primero");
        }
        auto info = updater_status_snapshot();
        if (!info) {
            UpdaterBusy.store(false);
            return std::string("primero busca actualizaciones");
        }
        UpdateJob job;
        job.kind = UpdateJob::Kind::install;
        job.program_folder = context->program_folder;
        job.info = std::move(*info);
        return start(std::move(job));
    }
    UpdaterBusy.store(false);
    return std::string("acción desconocida");
}

}  // namespace corvane
