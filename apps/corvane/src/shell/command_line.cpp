#include "shell/command_line.h"

#include <algorithm>

#include "base/text.h"

namespace corvane {

namespace {

// Index of the first argument equal to `flag`, or args.size().
size_t find_flag(const std::vector<std::string>& args, std::string_view flag) {
    return static_cast<size_t>(std::find(args.begin(), args.end(), flag) - args.begin());
}

bool has_flag(const std::vector<std::string>& args, std::string_view flag) {
    return find_flag(args, flag) < args.size();
}

// The argument right after `flag`, when both exist.
std::optional<std::string> flag_value(const std::vector<std::string>& args, std::string_view flag) {
    size_t i = find_flag(args, flag);
    if (i + 1 >= args.size()) return std::nullopt;
    return args[i + 1];
}

}  // namespace

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
    auto value = parse_decimal(text, 0xFFFFFFFFull);
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cl;
    if (size_t i = find_flag(args, "--apply-update"); i + 2 < args.size()) {
        InstallRequest r;
        r.source = args[i + 1];
        r.target = args[i + 2];
        if (i + 3 < args.size()) r.wait_pid = parse_process_id(args[i + 3]).value_or(0);
        r.version = flag_value(args, "--version").value_or("");
        r.from_version = flag_value(args, "--from-version").value_or("");
        r.quiet = has_flag(args, "--quiet");
        r.no_relaunch = has_flag(args, "--no-relaunch");
        cl.install = std::move(r);
    }
    if (has_flag(args, "--config")) cl.start_tab = "ajustes";
    cl.console = has_flag(args, "--consola");
    cl.no_window = has_flag(args, "--no-window");
    if (auto pid = flag_value(args, "--esperar-pid")) cl.wait_pid = parse_process_id(*pid);
    return cl;
}

}  // namespace corvane
