#include "shell/instance.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "base/file_read.h"
#include "base/json.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/version.h"
#include "platform/files.h"
#include "platform/loopback.h"
#include "platform/message_box.h"
#include "platform/processes.h"
#include "platform/random.h"
#include "platform/texts.h"

namespace corvane {

namespace {

constexpr const char* kInterfaceFile = "interfaz.json";
constexpr size_t kMaxInterfaceFile = 64 * 1024;
constexpr size_t kMaxToken = 64;

bool is_token(std::string_view t) {
    if (t.empty() || t.size() > kMaxToken) return false;
    for (char c : t) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}


}  // namespace

bool instance_acquire() {
    return process_instance_lock(data_dir()) != InstanceLock::kOtherCopy;
}

std::optional<HandOffTarget> hand_off_parse_target(std::string_view json_text) {
    auto j = json_parse_untrusted(json_text);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    auto port = j.find("puerto");
    auto token = j.find("clave");
    if (port == j.end() || token == j.end()) return std::nullopt;
    // Ports beyond 16 bits are refused rather than wrapped onto another port.
    if (!port->is_number_unsigned()) return std::nullopt;
    auto p = port->get<std::uint64_t>();
    if (p < 1 || p > 65535) return std::nullopt;
    if (!token->is_string()) return std::nullopt;
    auto t = token->get<std::string>();
    if (!is_token(t)) return std::nullopt;
    return HandOffTarget{static_cast<std::uint16_t>(p), std::move(t)};
}

std::string hand_off_request(const HandOffTarget& target, std::string_view tab) {
    return fmt::format(
        "GET /api/abrir?t={}&tab={} HTTP/1.1\r\nHost: 127.0.0.1:{}\r\nConnection: close\r\n\r\n",
        target.token, tab, target.port);
}

bool hand_off_reply_ok(std::string_view reply) {
    return reply.size() >= 12 && reply.starts_with("HTTP/1.1 200") && utf8_valid(reply);
}

bool hand_off_to_running_copy(const std::filesystem::path& data_folder, std::string_view tab) {
    auto text = file_read_up_to(data_folder / kInterfaceFile, kMaxInterfaceFile + 1);
    if (!text || text->size() > kMaxInterfaceFile) return false;
    auto target = hand_off_parse_target(*text);
    if (!target) return false;
    std::string reply = loopback_exchange(target->port, hand_off_request(*target, tab));
    return hand_off_reply_ok(reply);
}

std::string instance_already_open_text() {
    return fmt::format("Corvane ya está abierto: búscalo en los íconos {}.", kTrayPlaceText);
}

void instance_hand_off(std::string_view tab) {
    if (hand_off_to_running_copy(data_dir(), tab)) return;
    message_box_show(kDisplayName, instance_already_open_text(), BoxIcon::kInformation);
}

std::string ui_session_token_new() {
    unsigned char bytes[16];
    if (!random_bytes(bytes, sizeof bytes)) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    token.reserve(32);
    for (unsigned char b : bytes) {
        token.push_back(kHex[b >> 4]);
        token.push_back(kHex[b & 0xF]);
    }
    return token;
}

bool interfaz_write(const std::filesystem::path& data_folder, std::uint16_t port,
                    std::string_view token, std::uint32_t pid) {
    nlohmann::ordered_json j;
    j["puerto"] = port;
    j["clave"] = std::string(token);
    j["pid"] = pid;
    const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

    // A second start reading it meanwhile sees either the old file or the new
    // one, never a half-written one. It holds the session key: 0600.
    FileReplaceOptions how;
    how.mode = 0600;
    return file_replace(data_folder / kInterfaceFile, text, how).failed == FileReplaceStep::none;
}

void interfaz_remove(const std::filesystem::path& data_folder, std::uint32_t pid) {
    const std::filesystem::path path = data_folder / kInterfaceFile;
    const auto text = file_read_up_to(path, 64 * 1024);
    if (!text) return;
    const auto j = nlohmann::json::parse(*text, nullptr, false);
    if (!j.is_object() || !j.contains("pid") || !j["pid"].is_number_unsigned() ||
        j["pid"].get<std::uint64_t>() != pid) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace corvane
