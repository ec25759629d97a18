// Asks the update server whether a newer version is published: fetches the
// manifest, checks its Ed25519 signature and reads what the download needs.
// Never installs anything.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "web.h"

namespace corvane {

// Deployment value: where manifests, packages and release pages live.
inline constexpr const char* kUpdateServerHost = "corvane.example";

struct ChangeEntry {
    std::string version;
    std::string md;
};

struct UpdateInfo {
    std::string version;
    std::string url;
    std::string sha256;
    std::string page;
    std::vector<ChangeEntry> changes;
    std::uint64_t size = 0;
};

struct UpdateCheckOutcome {
    enum class Kind { error, up_to_date, newer };
    Kind kind = Kind::error;
    std::string error;  // error only
    UpdateInfo info;    // newer only
};

// Tests trust their own server's certificate through this; the program uses
// the system's store.
struct UpdateCheckConfig {
    vessoria::WebConfig web;
};

// Blocking: one request of at most 10 s. Every outcome, failures included,
// records the attempt's time in "ultima_busqueda.txt" of the update folder.
UpdateCheckOutcome update_check(const std::filesystem::path& app_folder,
                                const UpdateCheckConfig& config = {});

// The text form of member `key`; empty when `value` is not an object, the
// member is missing or its text form is "None".
std::string manifest_get_str(const nlohmann::ordered_json& value, std::string_view key);
// Entries with a "version" member and a text "md", in order.
std::vector<ChangeEntry> manifest_collect_changes(
    const std::vector<nlohmann::ordered_json>& values);

// The version text becomes part of file names and of the installer's command
// line: only [0-9A-Za-z.+_-], never empty.
bool update_version_text_safe(std::string_view version);
inline constexpr const char* kUnsafeVersionText =
    "la versión publicada no es válida; no se instalará nada";

// The decoder's description of the first fault in `bytes`, empty when they
// are valid UTF-8.
std::string utf8_fault_text(std::string_view bytes);

}  // namespace corvane
