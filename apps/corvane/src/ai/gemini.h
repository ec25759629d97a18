// The service's operations: clip upload and file state, streamed generation,
// model list, and the user's text for an error reply.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ai/net.h"

namespace corvane {

struct GeminiFile {
    std::string name;
    std::string uri;
};

// Uploads the clip (body streamed from the file) and waits until the service
// has processed it; progress goes into the clip's job.
NetResult<GeminiFile> ai_upload_clip(const std::string& clip_key, const std::filesystem::path& clip_path,
                                     std::string_view api_key);

struct GeminiStreamResult {
    std::uint32_t status = 0;
    std::string text;  // 200: the answer; else the whole reply body
};

// Turns server-sent event bytes into thoughts, answer text and usage, piece by
// piece; the outcome does not depend on where the pieces are cut.
class SseAccumulator {
  public:
    explicit SseAccumulator(std::string clip_key) : key_(std::move(clip_key)) {}
    void feed(std::string_view piece);
    const std::string& answer() const { return answer_; }

  private:
    void handle_line(std::string_view line);
    std::string key_;
    std::string carry_;    // bytes of a character not yet complete
    std::string pending_;  // decoded text not yet ended by a line feed
    std::string answer_;
};

NetResult<GeminiStreamResult> ai_stream_generate(const std::string& clip_key, std::string_view model,
                                                 std::string_view api_key, const std::string& body);

// The next usable model name among entries[pos..], advancing pos; none at the end.
std::optional<std::string> ai_pick_generate_models(const nlohmann::ordered_json& entries, std::size_t& pos);

NetResult<std::vector<std::string>> ai_list_models(std::string_view api_key);

std::string ai_error_message(std::uint32_t status, std::string_view body);

// Deletes the uploaded file; true when the service answered 200.
bool ai_delete_file(std::string_view file_name, std::string_view api_key);

}  // namespace corvane
