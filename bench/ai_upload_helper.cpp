// Uploads one clip to the AI service stand-in and prints how far the resident
// memory rose above its level before the upload. argv: base URL, CA file, clip.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "ai/gemini.h"
#include "ai/net.h"

namespace {

long resident_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "uso: ai_upload_helper BASE CA CLIP\n");
        return 2;
    }
    corvane::net_set_config_for_tests({argv[1], argv[2]});
    const long before = resident_kib();
    std::atomic<long> peak{before};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            const long now = resident_kib();
            if (now > peak) peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    auto r = corvane::ai_upload_clip("bench", argv[3], "KEY");
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    sampler.join();
    if (!r.ok()) {
        std::fprintf(stderr, "subida fallida: %s\n", r.error.c_str());
        return 1;
    }
    const double growth_mib = static_cast<double>(peak - before) / 1024.0;
    // The budget is 32 MiB over the level before the upload.
    std::printf("ai_upload_500mb_rss_growth_mib ours=%.1f reference=32 ratio=%.3f\n", growth_mib, growth_mib / 32.0);
    std::printf("ai_upload_500mb_seconds ours=%.2f reference=%.2f ratio=1\n", secs, secs);
    return 0;
}
