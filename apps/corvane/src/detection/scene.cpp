// Scenes: grouping committed events, writing them to the history when the
// scene closes, and the automatic clip request that covers them.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "detection/events.h"

namespace corvane {

namespace {

bool wants_clip(AutoClipMode mode, const Scene& scene) {
    switch (mode) {
        case AutoClipMode::Todo:
            return true;
        case AutoClipMode::Muertes:
            return scene.death || scene.knock_down;
        case AutoClipMode::Ninguno:
            return false;
    }
    return false;
}

struct WordFolder {
    std::string word;
    const char* folder;
};

WordFolder scene_word(const Scene& scene) {
    if (scene.death) return {"muerte", "Muertes"};
    if (scene.knock_down) return {"derribo", "Muertes"};
    if (scene.kills < 2) return {"baja", "Bajas"};
    return {fmt::format("bajas-x{}", scene.kills), "Bajas"};
}

// The scene's lines closed with their "clip" member and appended in one go.
void write_history(const EventEngineState& state, const Scene& scene,
                   const std::optional<std::string>& clip) {
    if (scene.lines.empty()) return;
    std::string text;
    for (const auto& line : scene.lines) {
        text += history_line_close(line, clip);
        text += '\n';
    }
    if (auto error = history_append(state.history_path, text))
        state.log(fmt::format("\n[AVISO] No se pudo guardar el registro de eventos: {}", *error));
}

}  // namespace

std::string events_context_json(const EventEngineState& state) {
    HistoryContext context;
    if (state.game_title) context.game = state.game_title();
    context.mode = state.mode_text;
    context.map = state.map_text;
    context.place = state.place_text;
    return events_context_json(context);
}

void events_scene_add(EventEngineState& state, Instant event_instant, Instant now,
                      std::string history_line, std::string scene_event, SceneKind kind) {
    if (!state.scene) {
        Scene scene;
        scene.first_event = scene.last_activity = event_instant;
        state.scene = std::move(scene);
    }
    Scene& scene = *state.scene;
    scene.first_event = std::min(scene.first_event, event_instant);
    scene.last_activity = now;
    switch (kind) {
        case SceneKind::kill:
            ++scene.kills;
            break;
        case SceneKind::knock_down:
            scene.knock_down = true;
            break;
        case SceneKind::death:
            scene.death = true;
            break;
    }
    scene.lines.push_back(std::move(history_line));
    scene.events.push_back(SceneEvent{std::move(scene_event), event_instant});
}

void events_commit_scene(EventEngineState& state, Instant now) {
    if (!state.scene) return;
    Scene scene = std::move(*state.scene);
    state.scene.reset();

    const bool clip = wants_clip(state.auto_clips, scene);
    const WordFolder wf = scene_word(scene);

    std::optional<std::string> clip_path;
    if (clip) {
        const LocalDateTime dt = state.local_time();
        const std::string stem = fmt::format("CRVN_{}_{}_{}", dt.date, dt.time, wf.word);
        const std::string base = fmt::format("{}/{}/{}", dt.date, wf.folder, stem);
        // Same second, same word: the second clip must not overwrite the first.
        if (base == state.last_clip_base) {
            ++state.last_clip_repeats;
            clip_path = fmt::format("{}-{}.mp4", base, state.last_clip_repeats + 1);
        } else {
            state.last_clip_base = base;
            state.last_clip_repeats = 0;
            clip_path = base + ".mp4";
        }
    }

    write_history(state, scene, clip_path);

    if (!clip) return;
    const std::chrono::nanoseconds span = events_elapsed(scene.first_event, now);
    SaveRequest request;
    request.kind = wf.word;
    request.events = std::move(scene.events);
    request.clip_path = clip_path;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(span);
    request.span = SaveSpan{static_cast<std::uint64_t>(whole.count()) + state.clip_lead_secs,
                            static_cast<std::uint32_t>((span - whole).count())};
    request.automatic = 1;
    if (state.slot) save_request_submit(*state.slot, std::move(request));
    state.log(
        fmt::format("\n[CLIP] Escena con {} evento(s) -> {}", scene.lines.size(), *clip_path));
}

void events_close_at_quit(EventEngineState& state) {
    if (!state.scene) return;
    Scene scene = std::move(*state.scene);
    state.scene.reset();
    write_history(state, scene, std::nullopt);
}

}  // namespace corvane
