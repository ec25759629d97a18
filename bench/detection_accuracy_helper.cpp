// Driven by bench/detection_accuracy.py. Each frame of a set drawn by
// scripts/hud_frames.py (its manifest.json says what each frame shows) goes
// through the detector's real road on a simulated clock: the frame stays on
// screen for two seconds of passes (the slow pass every other one), then a
// plain dark screen lets the engine commit what it read. The events the
// engine logged and wrote are compared with the frame's truth.
//
//   detection_accuracy_helper DIR [PART COUNT]
//
// Prints one JSON line per frame: {"file","kind","shown","found","false",
// "fields_ok","fields","detail"}; PART/COUNT take every COUNT-th frame from
// PART, so that two processes can share a set.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../apps/corvane/tests/detection/hud_pipeline.h"
#include "detection/hud.h"

using namespace corvane;
using nlohmann::json;

namespace {

bool same_name(const json& got, const json& truth) {
    if (!got.is_string()) return false;
    const std::string g = got.get<std::string>();
    for (const char* key : {"enemigo", "enemigo_plano"}) {
        if (truth.contains(key) && truth[key].is_string() &&
            hud_fuzzy_eq(g, truth[key].get<std::string>()))
            return true;
    }
    return false;
}

// One field of a history row compared with the truth's; a field the truth
// does not give is not counted. Counts into `ok`/`all` and notes a miss.
void field(const json& got, const json& truth, const char* name, int& ok, int& all,
           std::string& detail) {
    if (!truth.contains(name) || truth[name].is_null()) return;
    const json& want = truth[name];
    ++all;
    if (got == want) {
        ++ok;
    } else {
        detail += std::string(" ") + name + "=" + got.dump() + "≠" + want.dump();
    }
}

struct Score {
    int shown = 0, found = 0, false_events = 0, fields_ok = 0, fields = 0;
    // Names of found kills and deaths, and how many were written exactly as
    // the frame shows them (accents and case included).
    int names = 0, names_exact = 0;
    std::string detail;
};

Score score(const json& truth, const test::HudPipeline& run) {
    Score s;
    std::vector<json> rows = run.history();
    std::vector<bool> used(rows.size(), false);
    const auto menu_lines = run.logged("[MENÚ]");
    const auto lobby_lines = run.logged("[PARTIDA] Lobby previo");
    bool menu_used = false, lobby_used = false;
    for (const json& e : truth["events"]) {
        ++s.shown;
        const std::string tipo = e["tipo"];
        if (tipo == "lobby") {
            if (!lobby_lines.empty()) {
                ++s.found;
                lobby_used = true;
            } else {
                s.detail += " sin_lobby";
            }
            continue;
        }
        if (tipo == "menu") {
            const std::string want = "[MENÚ] Modo seleccionado: " + e["modo"].get<std::string>();
            bool hit = false;
            for (const auto& l : menu_lines) {
                if (l.rfind(want, 0) != 0) continue;
                hit = true;
                ++s.fields;
                if (!e["mapa"].is_null() && l == want + " — " + e["mapa"].get<std::string>())
                    ++s.fields_ok;
                else
                    s.detail += " mapa:" + l;
            }
            if (hit) {
                ++s.found;
                menu_used = true;
            } else {
                s.detail += " sin_menu";
            }
            continue;
        }
        // A kill or a death: the matching history row.
        bool hit = false;
        for (std::size_t i = 0; i < rows.size() && !hit; ++i) {
            if (used[i] || !rows[i].is_object() || rows[i]["tipo"] != tipo) continue;
            const bool named = e["enemigo"].is_null() || same_name(rows[i]["enemigo"], e);
            if (tipo == "baja" && !named) continue;
            used[i] = hit = true;
            ++s.found;
            const json& r = rows[i];
            if (e["enemigo"].is_string()) {
                ++s.names;
                if (r["enemigo"] == e["enemigo"]) {
                    ++s.names_exact;
                } else {
                    s.detail += " nombre=" + r["enemigo"].dump() + "≠" + e["enemigo"].dump();
                }
            }
            if (tipo == "muerte") {
                ++s.fields;
                if (named) {
                    ++s.fields_ok;
                } else {
                    s.detail += " enemigo=" + r["enemigo"].dump();
                }
                field(r["rango"], e, "rango", s.fields_ok, s.fields, s.detail);
                field(r["atacantes"], e, "atacantes", s.fields_ok, s.fields, s.detail);
            } else {
                field(r["baja_en_partida"], e, "baja_en_partida", s.fields_ok, s.fields, s.detail);
                field(r["medallas"], e, "medallas", s.fields_ok, s.fields, s.detail);
            }
            field(r["nivel"], e, "nivel", s.fields_ok, s.fields, s.detail);
        }
        if (!hit) s.detail += " sin_" + tipo;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (used[i]) continue;
        ++s.false_events;
        s.detail += " falso:" + rows[i].dump();
    }
    if (!lobby_used && !lobby_lines.empty()) {
        ++s.false_events;
        s.detail += " falso:lobby";
    }
    if (!menu_used && !menu_lines.empty()) {
        ++s.false_events;
        s.detail += " falso:" + menu_lines[0];
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "uso: detection_accuracy_helper CARPETA [PARTE CUANTAS]\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const int part = argc == 4 ? std::atoi(argv[2]) : 0;
    const int count = argc == 4 ? std::atoi(argv[3]) : 1;
    std::ifstream in(dir / "manifest.json");
    const json manifest = json::parse(in, nullptr, false);
    if (!manifest.is_object()) {
        std::fprintf(stderr, "manifest.json ilegible\n");
        return 2;
    }
    // Simulated time: a loaded machine must not turn a slow recognition
    // into a failed reading.
    const OcrEngineOptions patient{60'000};
    std::unique_ptr<OcrEngine> fast = ocr_engine_create(patient);
    if (!fast) {
        std::fprintf(stderr, "no hay OCR\n");
        return 2;
    }
    const auto history = std::filesystem::temp_directory_path() /
                         ("hud-accuracy-" + std::to_string(::getpid()) + ".jsonl");
    const json& frames = manifest["frames"];
    for (std::size_t i = static_cast<std::size_t>(part); i < frames.size();
         i += static_cast<std::size_t>(count)) {
        const json& truth = frames[i];
        const test::PngFrame pic = test::load_png(dir / truth["file"].get<std::string>());
        std::filesystem::remove(history);
        test::HudPipeline run(pic.width, pic.height, *fast, ocr_engine_create(patient), history);
        run.state.gamertag = manifest["gamertag"].get<std::string>();
        // A failed reading (a recognition over its time limit on a loaded
        // machine) is counted and the passes go on, as the thread does.
        int errors = 0;
        std::string error_text;
        const auto passes = [&](int n) {
            for (int p = 0; p < n; ++p) {
                const DetectorReadResult r = run.passes(1, true);
                if (!r.ok) {
                    ++errors;
                    error_text = r.error.text;
                }
            }
        };
        run.show(pic);
        passes(8);
        run.show(test::flat_frame(pic.width, pic.height, 24));
        passes(30);
        LobbyFlag = false;
        Score s = score(truth, run);
        if (errors) s.detail += " errores:" + std::to_string(errors) + " " + error_text;
        json out = {
            {"file", truth["file"]},    {"kind", truth["kind"]}, {"height", truth["height"]},
            {"shown", s.shown},         {"found", s.found},      {"false", s.false_events},
            {"fields_ok", s.fields_ok}, {"fields", s.fields},    {"detail", s.detail},
            {"names", s.names},         {"names_exact", s.names_exact},
            {"traits", truth.value("traits", json::array())}};
        std::printf("%s\n", out.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
        std::fflush(stdout);
    }
    std::filesystem::remove(history);
    return 0;
}
