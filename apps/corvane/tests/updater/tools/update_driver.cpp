// The updater alone, for the end-to-end test of the install job.
//   update_driver --e2e PROGRAM_FOLDER CA_FILE
//     publishes the updater's context, asks for "buscar" and then "instalar"
//     as the help page does, and prints the status after each; a successful
//     install ends this process with code 0 from inside the job.
//   update_driver --apply-update ARGS...
//     what the job starts: records how it was started (arguments, working
//     folder, session, program file) as JSON in $CRVN_DRIVER_RECORD and ends.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/paths.h"
#include "updater/jobs.h"
#include "updater/web_api.h"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

int record_start(const std::vector<std::string>& args) {
    const char* target = std::getenv("CRVN_DRIVER_RECORD");
    if (target == nullptr) return 5;
    nlohmann::json r;
    r["args"] = args;
    std::error_code ec;
    r["cwd"] = fs::current_path(ec).string();
    r["session_leader"] = ::getsid(0) == ::getpid();
    r["exe"] = fs::read_symlink("/proc/self/exe", ec).string();
    // Appears whole: written aside, then renamed.
    const std::string temp = std::string(target) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (f == nullptr) return 6;
    const std::string text = r.dump();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return std::rename(temp.c_str(), target) == 0 ? 0 : 7;
}

void wait_idle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (UpdaterBusy.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void print_status() {
    std::printf("%s\n", updater_status_json().dump().c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--apply-update") return record_start(args);
    if (args.size() != 3 || args[0] != "--e2e") return 64;

    const fs::path program_folder = args[1];
    paths_set_app_dir_for_tests(program_folder);
    log_open();
    updater_set_web_config_for_tests({args[2]});
    updater_context_publish({program_folder, "Ctrl+Shift+U"});

    if (auto refused = updater_handle_action("buscar")) {
        std::printf("refused: %s\n", refused->c_str());
        return 4;
    }
    wait_idle();
    print_status();
    if (auto refused = updater_handle_action("instalar")) {
        std::printf("refused: %s\n", refused->c_str());
        return 2;
    }
    wait_idle();
    print_status();
    log_flush();
    return 3;
}
