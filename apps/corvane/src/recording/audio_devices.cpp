#include "recording/audio_devices.h"

#include <optional>
#include <string>

#include "platform/sound_in.h"

namespace corvane {

nlohmann::ordered_json audio_list_endpoints_json(int kind) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    const SoundInKind k = kind == 1 ? SoundInKind::output : SoundInKind::microphone;
    SoundInConnect conn = sound_in_connect();
    if (!conn.connection) return out;
    std::optional<std::string> def = conn.connection->default_id(k);
    auto list = conn.connection->endpoints(k);
    if (!list) return out;
    for (const SoundEndpoint& e : *list) {
        nlohmann::ordered_json item = nlohmann::ordered_json::object();
        item["id"] = e.id;
        item["nombre"] = e.name.empty() ? std::string("(sin nombre)") : e.name;
        item["pred"] = def && !def->empty() && *def == e.id;
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace corvane
