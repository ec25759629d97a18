// One complete analysis of a clip, and the request it sends.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

#include "ai/jobs.h"

namespace corvane {

struct AiRunOutcome {
    std::optional<nlohmann::ordered_json> result;  // the analysis object
    std::string error;                             // set when there is no result
};

AiRunOutcome ai_run_analysis(const std::string& clip_key, const std::filesystem::path& clip_path,
                             const AiSettings& settings);

struct AiVideoWindow {
    nlohmann::ordered_json metadata;  // "fps", and "startOffset"/"endOffset" when set
    std::string message;
};

// The part of the clip the model is to watch, from the sidecar's events.
AiVideoWindow ai_video_window(const nlohmann::ordered_json& sidecar, std::uint32_t fps_setting);

// The answer text as a JSON value, or none when it holds none.
std::optional<nlohmann::ordered_json> ai_extract_answer(std::string_view text);

struct AiRequestContext {
    std::string file_uri;
    nlohmann::ordered_json video_metadata;
    std::filesystem::path clip_path;
    nlohmann::ordered_json sidecar;  // null when missing
    std::optional<std::string> gamertag;
};

std::string ai_build_prompt(const AiRequestContext& ctx);
std::string ai_build_generate_request(const AiRequestContext& ctx, bool thinking);

inline constexpr const char* kAiDefaultModels[] = {"gemini-3.8-flash", "gemini-3.6-flash", "gemini-3-flash-preview",
                                                   "gemini-3.5-flash-lite", "gemini-3.1-flash-lite"};

}  // namespace corvane
