// The device lists of the settings page: the outputs whose sound can be
// recorded and the microphones, each entry {"id", "nombre", "pred"}.
#pragma once

#include <nlohmann/json.hpp>

namespace corvane {

// kind 1: outputs, 0: microphones. Enumerated afresh on every call; every
// failure shrinks the answer ([] without a sound server) and nothing waits
// more than a few seconds.
nlohmann::ordered_json audio_list_endpoints_json(int kind);

}  // namespace corvane
