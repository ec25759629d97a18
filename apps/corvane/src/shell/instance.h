// One copy per session: the instance lock, the hand-off of a second start to
// the running copy through "/api/abrir", and "interfaz.json", which tells a
// second start where the running copy listens.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// True when this is the only copy (or the lock cannot be had at all: then we
// run as if alone). The lock is held until the process ends.
bool instance_acquire();

// What a second start reads back from "interfaz.json".
struct HandOffTarget {
    std::uint16_t port = 0;
    std::string token;
};

// Parses the text of "interfaz.json". Refuses anything but an object with
// "puerto" an integer 1..65535 and "clave" 1..64 characters of [0-9a-f]: the
// token goes into a request line, so nothing else may reach it.
std::optional<HandOffTarget> hand_off_parse_target(std::string_view json_text);

// The exact "/api/abrir" request for the running copy.
std::string hand_off_request(const HandOffTarget& target, std::string_view tab);

// The running copy accepted: valid UTF-8, at least 12 bytes, "HTTP/1.1 200" first.
bool hand_off_reply_ok(std::string_view reply);

// Asks the copy described by `data_folder`/"interfaz.json" to open its window
// at `tab`. True when it answered "HTTP/1.1 200". Logs nothing.
bool hand_off_to_running_copy(const std::filesystem::path& data_folder, std::string_view tab);

// The second start's whole job: hand off, or when that fails show the
// "ya está abierto" box and return once it is closed.
void instance_hand_off(std::string_view tab);

// The box text of a failed hand-off.
std::string instance_already_open_text();

// A fresh web-interface token: 32 lower-case hexadecimal digits from the
// system's random generator; empty when the generator failed.
std::string ui_session_token_new();

// Replaces `data_folder`/"interfaz.json" with {"puerto":P,"clave":"…","pid":N}
// (mode 0600, no line end) through a temporary file. False when it failed.
bool interfaz_write(const std::filesystem::path& data_folder, std::uint16_t port,
                    std::string_view token, std::uint32_t pid);

// Removes `data_folder`/"interfaz.json" when it is the one process `pid`
// wrote: the session key must not outlive the session. Another copy's file
// stays.
void interfaz_remove(const std::filesystem::path& data_folder, std::uint32_t pid);

}  // namespace corvane
