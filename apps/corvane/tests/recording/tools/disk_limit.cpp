// The clip saver's disk limit run once over a clips folder, for the
// whole-program tests (the running program applies it only after automatic
// clips):
//   disk_limit CLIPS_FOLDER GIGABYTES
// prints the number of clips it deleted.
#include <cstdio>
#include <cstdlib>

#include "recording/clip_saver.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "uso: disk_limit CARPETA GB\n");
        return 2;
    }
    const auto deleted = corvane::clips_apply_disk_limit(argv[1], std::strtoull(argv[2], nullptr, 10), {});
    std::printf("%u\n", static_cast<unsigned>(deleted));
    return 0;
}
