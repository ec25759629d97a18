#include "updater/check.h"

#include <chrono>
#include <optional>

#include <fmt/format.h>

#include "base/file_read.h"
#include "base/json.h"
#include "base/text.h"
#include "base/version.h"
#include "ed25519.h"
#include "manifest.h"
#include "platform/files.h"
#include "updater/updater.h"

#ifndef CORVANE_UPDATE_KEY
#define CORVANE_UPDATE_KEY ""
#endif

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kBodyLooked = 200000;
constexpr int kNestingLimit = 128;
constexpr std::size_t kKeyFileMax = 4096;
constexpr std::size_t kChangesKept = 12;

std::string no_attribute(const Json& v) {
    return fmt::format("'{}' object has no attribute 'get'", vessoria::py_type_name(v));
}

// A member read by truthiness: missing or false-like gives `fallback`.
Json truthy_member(const Json& obj, const char* key, Json fallback) {
    auto it = obj.find(key);
    if (it == obj.end() || !vessoria::py_truthy(*it)) return fallback;
    return *it;
}

std::optional<vessoria::UpdateKey> find_key(const std::filesystem::path& app_folder) {
    if (auto key = vessoria::key_from_hex(std::string(CORVANE_UPDATE_KEY) + "\n")) return key;
    for (const auto& dir : {app_folder, app_folder / "kv", app_folder / "zo"}) {
        auto text = file_read_up_to(dir / "clave_actualizaciones.pub", kKeyFileMax + 1);
        if (!text || text->size() > kKeyFileMax || !utf8_valid(*text)) continue;
        if (auto key = vessoria::key_from_hex(*text)) return key;
    }
    return std::nullopt;
}

std::string manifest_url() {
    const char* env = std::getenv("KV_UPDATE_URL");
    if (env != nullptr && *env != '\0' && utf8_valid(env)) return env;
    return fmt::format("https://{}/corvane/version.json", kUpdateServerHost);
}

// The message with the line and column of byte `offset` (0-based).
std::string at_position(const std::string& message, std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return fmt::format("{} at line {} column {}", message, line, offset - line_start + 1);
}

// One JSON value, nesting at most 128 deep, checked before parsing so that
// a hostile manifest never reaches the recursive parser's depth.
std::optional<Json> parse_manifest(std::string_view text, std::string& error) {
    if (auto deep = json_nesting_exceeded_at(text, kNestingLimit)) {
        error = at_position("maximum nesting depth exceeded", text, *deep);
        return std::nullopt;
    }
    try {
        return Json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        // The library's wording without its own prefix and position.
        std::string message = e.what();
        const auto pe = message.find("parse error");
        const auto colon = pe == std::string::npos ? std::string::npos : message.find(": ", pe);
        if (colon != std::string::npos) message = message.substr(colon + 2);
        if (e.byte == 0) {
            error = message;
        } else {
            error = at_position(message, text, e.byte - 1);
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    return std::nullopt;
}

UpdateCheckOutcome failed(std::string text) {
    UpdateCheckOutcome out;
    out.kind = UpdateCheckOutcome::Kind::error;
    out.error = std::move(text);
    return out;
}

UpdateCheckOutcome check(const std::filesystem::path& app_folder, const UpdateCheckConfig& config) {
    const auto key = find_key(app_folder);
    const std::string agent = fmt::format("Ostrevan/{} (actualizaciones)", kVersionText);
    auto got = vessoria::web_http_get(manifest_url(),
                                      {{"User-Agent", agent}, {"Cache-Control", "no-cache"}}, 10000,
                                      {}, config.web);
    if (!got) return failed(got.error());
    const auto& response = got.value();
    if (response.status >= 400) return failed(fmt::format("HTTP Error {}", response.status));

    const std::string_view body(reinterpret_cast<const char*>(response.body.data()),
                                std::min(response.body.size(), kBodyLooked));
    if (auto fault = utf8_fault_text(body); !fault.empty())
        return failed("'utf-8' codec can't decode bytes: " + fault);
    std::string parse_error;
    auto doc = parse_manifest(body, parse_error);
    if (!doc) return failed(parse_error);
    if (!doc->is_object()) return failed(no_attribute(*doc));

    const Json manifest = truthy_member(*doc, "manifest", Json::object());
    const Json sig = truthy_member(*doc, "sig", Json(""));
    std::string signed_text;
    vessoria::canonical_json(manifest, signed_text);

    bool valid = false;
    if (key && vessoria::py_truthy(sig)) {
        if (!sig.is_string())
            return failed(
                fmt::format("fromhex() argument must be str, not {}", vessoria::py_type_name(sig)));
        auto bytes = vessoria::py_fromhex(sig.get_ref<const std::string&>());
        if (!bytes) return failed(bytes.error());
        valid = bytes.value().size() == 64 &&
                vessoria::ed25519_verify(
                    *key,
                    {reinterpret_cast<const std::uint8_t*>(signed_text.data()), signed_text.size()},
                    bytes.value());
    }

    if (!key)
        return failed(fmt::format(
            "esta copia no trae la llave de actualizaciones: descarga Corvane desde {} una vez",
            kUpdateServerHost));
    if (!manifest.is_object()) return failed(no_attribute(manifest));
    if (!vessoria::py_truthy(truthy_member(manifest, "version", Json())))
        return failed("respuesta sin versión");
    if (!valid) return failed("la firma de la actualización no es válida; no se instalará nada");
    if (auto app = manifest.find("app");
        app != manifest.end() && !app->is_null() &&
        !(app->is_string() && app->get_ref<const std::string&>() == "corvane"))
        return failed("la actualización publicada no es de Corvane; no se instalará nada");

    const auto running = vessoria::version_tuple(kVersionText);
    const Json changes = truthy_member(manifest, "changes", Json::array());
    std::vector<Json> kept;
    if (changes.is_array()) {
        for (const auto& entry : changes) {
            if (!entry.is_object()) return failed(no_attribute(entry));
            auto v = entry.find("version");
            const std::string text = v == entry.end() ? "None" : vessoria::py_str(*v);
            if (vessoria::version_newer(vessoria::version_tuple(text), running))
                kept.push_back(entry);
        }
        if (kept.size() > kChangesKept) kept.resize(kChangesKept);
    } else if (changes.is_string() || changes.is_object()) {
        return failed("'str' object has no attribute 'get'");
    } else {
        return failed(fmt::format("'{}' object is not iterable", vessoria::py_type_name(changes)));
    }

    if (!vessoria::version_newer(vessoria::version_tuple(vessoria::py_str(manifest["version"])),
                                 running)) {
        UpdateCheckOutcome out;
        out.kind = UpdateCheckOutcome::Kind::up_to_date;
        return out;
    }

    UpdateCheckOutcome out;
    out.kind = UpdateCheckOutcome::Kind::newer;
    UpdateInfo& info = out.info;
    info.version = manifest_get_str(manifest, "version");
    // The version becomes part of file names and of the installer's command
    // line: anything beyond these characters could reach outside the folder.
    if (!update_version_text_safe(info.version)) return failed(kUnsafeVersionText);
    info.url = manifest_get_str(manifest, "url");
    info.sha256 = utf8_lower(manifest_get_str(manifest, "sha256"));
    const Json page = truthy_member(manifest, "page",
                                    Json(fmt::format("https://{}/corvane/", kUpdateServerHost)));
    info.page = vessoria::py_str(page);
    if (auto size = manifest.find("size"); size != manifest.end()) {
        if (size->is_number_unsigned())
            info.size = size->get<std::uint64_t>();
        else if (size->is_number_integer() && size->get<std::int64_t>() >= 0)
            info.size = static_cast<std::uint64_t>(size->get<std::int64_t>());
    }
    info.changes = manifest_collect_changes(kept);
    return out;
}

void record_attempt(const std::filesystem::path& app_folder) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const std::string text = std::to_string(secs > 0 ? secs : 0);
    (void)file_replace(updater_data_dir(app_folder) / "ultima_busqueda.txt", text);
}

}  // namespace

bool update_version_text_safe(std::string_view v) {
    if (v.empty()) return false;
    for (char c : v) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                        (c >= 'a' && c <= 'z') || c == '.' || c == '+' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string manifest_get_str(const Json& value, std::string_view key) {
    if (!value.is_object()) return {};
    auto it = value.find(std::string(key));
    if (it == value.end()) return {};
    std::string text = vessoria::py_str(*it);
    return text == "None" ? std::string() : text;
}

std::vector<ChangeEntry> manifest_collect_changes(const std::vector<Json>& values) {
    std::vector<ChangeEntry> out;
    for (const auto& v : values) {
        if (!v.is_object()) continue;
        auto version = v.find("version");
        auto md = v.find("md");
        if (version == v.end() || md == v.end() || !md->is_string()) continue;
        out.push_back({vessoria::py_str(*version), md->get<std::string>()});
    }
    return out;
}

std::string utf8_fault_text(std::string_view s) {
    const auto n = s.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t k, unsigned lo, unsigned hi) {
        return k < n && static_cast<unsigned char>(s[k]) >= lo &&
               static_cast<unsigned char>(s[k]) <= hi;
    };
    while (i < n) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        int need = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return fmt::format("invalid utf-8 sequence of 1 bytes from index {}", i);
        }
        // The maximal invalid subpart: the bytes that could still have begun
        // a character count, the first that cannot is not included.
        for (int k = 1; k <= need; ++k) {
            const std::size_t at = i + static_cast<std::size_t>(k);
            if (at >= n) return fmt::format("incomplete utf-8 byte sequence from index {}", i);
            const bool ok = k == 1 ? cont(at, lo, hi) : cont(at, 0x80, 0xBF);
            if (!ok) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", k, i);
        }
        i += static_cast<std::size_t>(need) + 1;
    }
    return {};
}

UpdateCheckOutcome update_check(const std::filesystem::path& app_folder,
                                const UpdateCheckConfig& config) {
    UpdateCheckOutcome out = check(app_folder, config);
    record_attempt(app_folder);
    return out;
}

}  // namespace corvane
