#include "clips/history.h"

#include "base/json.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/fd_write.h"
#include "base/text.h"

namespace corvane {

std::string json_write_string(std::string_view text) {
    // The history file is UTF-8 text read back by strict parsers; a torn OCR
    // byte must not make a whole line unreadable.
    const std::string valid = utf8_lossy(text);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(valid.size() + 2);
    out += '"';
    for (char ch : valid) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

std::string events_json_opt_number(std::optional<uint32_t> value) {
    return value ? std::to_string(*value) : std::string("null");
}

std::optional<std::string> events_json_field(std::string_view line, std::string_view key) {
    std::string pattern;
    pattern.reserve(key.size() + 4);
    pattern += '"';
    pattern += key;
    pattern += "\":\"";
    size_t at = line.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    const size_t start = at + pattern.size();
    size_t end = line.find('"', start);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(line.substr(start, end - start));
}

namespace {

std::optional<std::string> string_member(const nlohmann::ordered_json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

HistoryTallies events_load_tallies(const std::filesystem::path& path) {
    HistoryTallies tallies;
    std::string text;
    {
        // stdio rather than a stream: a read error (a folder in the file's
        // place, an I/O error) must come back as a value, never as a throw.
        // Only a regular file is read: a FIFO in its place would hold the
        // history lock forever and every later event would wait behind it.
        std::lock_guard<std::mutex> lock(HistoryLock);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return tallies;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return tallies;
        }
        std::FILE* f = ::fdopen(fd, "rb");
        if (f == nullptr) {
            ::close(fd);
            return tallies;
        }
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        if (failed) return tallies;
    }
    // Each line is judged on its own: a torn write or a broken byte in one
    // line must not cost the tallies of every other line.
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string_view line(text.data() + pos, nl - pos);
        pos = nl + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        // History lines are flat; anything nested deeper is not ours.
        if (line.empty() || !utf8_valid(line)) continue;
        const nlohmann::ordered_json obj = json_parse_untrusted(line, 64);
        if (!obj.is_object()) continue;
        const auto kind = string_member(obj, "tipo");
        const auto enemy = string_member(obj, "enemigo");
        if (!kind || !enemy) continue;
        if (*kind == "muerte")
            ++tallies.deaths[utf8_lower(*enemy)];
        else if (*kind == "baja")
            ++tallies.kills[utf8_lower(*enemy)];
    }
    return tallies;
}

std::optional<std::string> history_append(const std::filesystem::path& path,
                                          std::string_view lines) {
    std::lock_guard<std::mutex> lock(HistoryLock);
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return std::string(std::strerror(errno));
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return std::string(std::strerror(err));
    }
    if (st.st_size > 0) {
        char last = 0;
        const ssize_t n = ::pread(fd, &last, 1, st.st_size - 1);
        if (n != 1) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            return std::string(std::strerror(err));
        }
        if (last != '\n') text += '\n';
    }
    text += lines;
    // One write: a reader holding the lock never sees half a scene, and a
    // failure costs at most this scene's lines.
    const bool ok = fd_write_all(fd, text);
    const int err = errno;
    ::close(fd);
    if (!ok) return std::string(std::strerror(err));
    return std::nullopt;
}

namespace {

std::string opt_string(const std::optional<std::string>& v) {
    return v ? json_write_string(*v) : std::string("null");
}

void open_common(std::string& out, const std::string& date, const std::string& time,
                 std::string_view kind) {
    out += "{\"fecha\":";
    out += json_write_string(date);
    out += ",\"hora\":";
    out += json_write_string(time);
    out += ",\"tipo\":\"";
    out += kind;
    out += '"';
}

void member(std::string& out, std::string_view key, std::string_view json_value) {
    out += ",\"";
    out += key;
    out += "\":";
    out += json_value;
}

std::string medals_json(const std::vector<std::string>& medals) {
    std::string out = "[";
    for (size_t i = 0; i < medals.size(); ++i) {
        if (i) out += ',';
        out += json_write_string(medals[i]);
    }
    out += ']';
    return out;
}

std::string killcam_secs_json(float secs) {
    // Always one decimal; never a text JSON cannot hold.
    if (!std::isfinite(secs) || secs <= 0.0f) secs = 0.0f;
    return fmt::format("{:.1f}", secs);
}

}  // namespace

std::string events_context_json(const HistoryContext& context) {
    std::string out;
    member(out, "juego", opt_string(context.game));
    member(out, "modo", opt_string(context.mode));
    member(out, "mapa", opt_string(context.map));
    member(out, "lugar", opt_string(context.place));
    return out;
}

std::string history_line_open(const HistoryKnock& e, std::string_view context) {
    std::string out;
    open_common(out, e.date, e.time, "derribo");
    member(out, "enemigo", json_write_string(e.enemy));
    out += context;
    return out;
}

std::string history_line_open(const HistoryKill& e, std::string_view context) {
    std::string out;
    open_common(out, e.date, e.time, "baja");
    member(out, "enemigo", json_write_string(e.enemy));
    member(out, "clan", opt_string(e.clan));
    member(out, "id", opt_string(e.id));
    member(out, "nivel", events_json_opt_number(e.level));
    member(out, "baja_en_partida", events_json_opt_number(e.kill_number));
    member(out, "medallas", medals_json(e.medals));
    member(out, "veces", std::to_string(e.times));
    out += context;
    return out;
}

std::string history_line_open(const HistoryDeath& e, std::string_view context) {
    std::string out;
    open_common(out, e.date, e.time, "muerte");
    member(out, "enemigo", opt_string(e.enemy));
    member(out, "clan", opt_string(e.clan));
    member(out, "id", opt_string(e.id));
    member(out, "rango", opt_string(e.rank));
    member(out, "nivel", events_json_opt_number(e.level));
    member(out, "arma", opt_string(e.weapon));
    member(out, "accesorios", opt_string(e.attachments));
    member(out, "atacantes", events_json_opt_number(e.attackers));
    member(out, "derribado_por", opt_string(e.knocked_by));
    member(out, "nombre_de", opt_string(e.name_source));
    member(out, "killcam_seg", killcam_secs_json(e.killcam_secs));
    member(out, "veces", std::to_string(e.times));
    out += context;
    return out;
}

std::string history_line_close(std::string_view open_line, const std::optional<std::string>& clip) {
    std::string out(open_line);
    member(out, "clip", opt_string(clip));
    out += '}';
    return out;
}

std::string scene_event_json(const HistoryKnock& e) {
    return "\"tipo\":\"derribo\",\"enemigo\":" + json_write_string(e.enemy);
}

std::string scene_event_json(const HistoryKill& e) {
    std::string out = "\"tipo\":\"baja\"";
    member(out, "enemigo", json_write_string(e.enemy));
    member(out, "nivel", events_json_opt_number(e.level));
    member(out, "baja_en_partida", events_json_opt_number(e.kill_number));
    member(out, "medallas", medals_json(e.medals));
    return out;
}

std::string scene_event_json(const HistoryDeath& e) {
    std::string out = "\"tipo\":\"killcam\"";
    member(out, "enemigo", opt_string(e.enemy));
    member(out, "arma", opt_string(e.weapon));
    member(out, "atacantes", events_json_opt_number(e.attackers));
    return out;
}

std::string scene_event_killcam_end_json() {
    return "\"tipo\":\"fin_killcam\"";
}

}  // namespace corvane
