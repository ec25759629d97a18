// The clip routes of the web server:
//   clips_page_5000_clips_10k_lines_p95_ms  ours = the clips page data (history
//       read and checked, 5,000 clips looked up with their sidecars, disk use),
//       p95 of repeated requests once the tree is older than the time stamps'
//       grain, reference = the 50 ms goal; the first request (nothing kept
//       yet) and the request after a saved kill are printed beside it
//   delete_1000_events_of_10k_ms  ours = one "borrar_eventos" of 1,000 events
//       on a 10,000-line history (one locked read-check-rewrite per event, as
//       the viewer does it), reference = the clips page's 15 s patience
//   clip_stream_256mb_ms  ours = curl fetching a 256 MB clip through "/clip"
//       on 127.0.0.1, reference = cat of the same (cached) file to /dev/null;
//       the goal is a ratio of at most 1.25 (80 % of cat's throughput)
//   clip_stream_256mb_vs_cat_to_reader_ms  the same curl fetch, reference =
//       cat handing the file to a reader process ("cat file | cat >
//       /dev/null"): the bytes reach another program, as they do through
//       "/clip"; cat to /dev/null hands them to nobody
//   clip_stream_256mb_vs_loopback_floor_ms  ours = a plain socket reader (1 MiB
//       reads, no curl, a process of its own) fetching the clip through
//       "/clip", reference = the kernel's own floor: the file sent with
//       sendfile over 127.0.0.1 TCP to the same reader, with no server and no
//       HTTP (cat pays no loopback hop and no second process); the reader
//       times itself from connecting to the last byte
//   clip_stream_256mb_vs_python_ms  the same fetch, reference = curl fetching
//       the file from python3's http.server on 127.0.0.1 (the cost of the
//       loopback hop itself, which cat does not pay)
// Nothing passes or fails.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/paths.h"
#include "base/ui_state.h"
#include "platform/net.h"
#include "clips/library.h"
#include "web/clips_page.h"
#include "web/visor.h"
#include "web/server.h"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time (user + system) of this thread so far.
double cpu_ms() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double time_command_ms(const std::string& cmd) {
    const double t0 = now_ms();
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    return now_ms() - t0;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void write(const fs::path& p, const std::string& s) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << s;
}

void bench_clips_page(const fs::path& root) {
    const fs::path clips = root / "clips";
    std::string history;
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) {
        const std::string day = fmt::format("2026-{:02}-{:02}", 1 + i / 300 % 12, 1 + i / 10 % 28);
        const char* folder = i % 3 == 0 ? "Muertes" : i % 3 == 1 ? "Bajas" : "Manual";
        const std::string name =
            fmt::format("{}/{}/CRVN_{}_{:02}-{:02}-{:02}_{}.mp4", day, folder, day, i / 3600 % 24, i / 60 % 60, i % 60, i);
        write(clips / name, std::string(1024, 'v'));
        write(fs::path(clips / name).replace_extension("json"),
              R"({"clip":"x","duracion":20.0,"audio":{"juego":true},"eventos":[{"segundo":12.5,"tipo":"baja","enemigo":"Rival","arma":"AK"}]})");
        if (i % 3 != 2) names.push_back(name);
    }
    for (int i = 0; i < 10000; ++i) {
        const std::string& clip = names[static_cast<std::size_t>(i) % names.size()];
        history += fmt::format(
            R"({{"fecha":"2026-01-05","hora":"21:03:{:02}","tipo":"baja","enemigo":"Rival{}","clan":"CL","id":"#12","nivel":120,"baja_en_partida":3,"medallas":["Doble baja"],"veces":2,"juego":"Warzone","modo":"Battle Royale","mapa":"Urzikstan","lugar":"Puerto","clip":"{}"}})",
            i % 60, i, clip);
        history += '\n';
    }
    write(clips / "estadisticas.jsonl", history);
    fs::create_directories(root / "data");
    write(root / "data" / "corvane.ini", "[general]\ncarpeta_clips = " + clips.string() + "\n");
    paths_set_app_dir_for_tests(root);

    const auto made = std::chrono::steady_clock::now();
    auto page = [&] {
        return clips_page_fills(clips, clips / "estadisticas.jsonl", "Ctrl+Shift+E");
    };
    // One request in a child process: what a program that has kept nothing
    // yet pays (the page keeps what it read between requests).
    auto first_request_ms = [&]() -> double {
        int fds[2];
        if (::pipe(fds) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            const double t0 = now_ms();
            (void)page();
            const double took = now_ms() - t0;
            (void)!::write(fds[1], &took, sizeof took);
            std::_Exit(0);
        }
        double took = -1;
        ::close(fds[1]);
        if (pid > 0) {
            (void)!::read(fds[0], &took, sizeof took);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(fds[0]);
        return took;
    };
    const double fresh = first_request_ms();
    // Time stamps younger than two seconds prove nothing about later changes,
    // so what was read under them is not kept: wait until the tree is older.
    std::this_thread::sleep_until(made + std::chrono::milliseconds(3200));
    const double cold = first_request_ms();

    (void)page();
    std::vector<double> times;
    std::size_t bytes = 0;
    const double cpu0 = cpu_ms();
    for (int run = 0; run < 60; ++run) {
        const double t0 = now_ms();
        auto fills = page();
        times.push_back(now_ms() - t0);
        bytes = fills[0].second.size() + fills[1].second.size();
    }
    const double p95 = percentile(times, 0.95);
    const double cpu_per_page = (cpu_ms() - cpu0) / 60;
    std::vector<double> whole;
    for (int run = 0; run < 20; ++run) {
        const double t0 = now_ms();
        (void)clips_render_page(clips, clips / "estadisticas.jsonl", "Ctrl+Shift+E");
        whole.push_back(now_ms() - t0);
    }
    // What a saved kill changes: one history line and one clip in a day folder.
    std::vector<double> after_save;
    for (int i = 0; i < 5; ++i) {
        const std::string name = fmt::format("2026-01-01/Bajas/CRVN_2026-01-01_23-59-{:02}_nuevo.mp4", i);
        write(clips / name, std::string(1024, 'v'));
        std::ofstream(clips / "estadisticas.jsonl", std::ios::binary | std::ios::app)
            << R"({"fecha":"2026-01-01","hora":"23:59:00","tipo":"baja","enemigo":"Nuevo","clip":")" << name
            << "\"}\n";
        const double t0 = now_ms();
        (void)page();
        after_save.push_back(now_ms() - t0);
    }
    std::fprintf(stderr,
                 "clips page data: %zu bytes; steady state median %.1f ms, p95 %.1f ms, processor %.1f ms per page; "
                 "whole page median %.1f ms\n",
                 bytes, percentile(times, 0.5), p95, cpu_per_page, percentile(whole, 0.5));
    std::fprintf(stderr,
                 "first request: %.1f ms right after the tree was made, %.1f ms on a tree older than 2 s; "
                 "after a saved kill (one line, one clip) median %.1f ms\n",
                 fresh, cold, percentile(after_save, 0.5));
    {
        const double t0 = now_ms();
        const double c0 = cpu_ms();
        for (int i = 0; i < 5; ++i) (void)clips_disk_usage_json(clips, 50);
        std::fprintf(stderr, "the disk use counted afresh: %.1f ms (processor %.1f ms)\n", (now_ms() - t0) / 5,
                     (cpu_ms() - c0) / 5);
    }
    std::printf("clips_page_5000_clips_10k_lines_p95_ms ours=%.1f reference=50.0 ratio=%.3f\n", p95, p95 / 50.0);
    paths_set_app_dir_for_tests({});
}

void bench_delete_events(const fs::path& root) {
    const fs::path clips = root / "clips";
    std::string history;
    for (int i = 0; i < 10000; ++i)
        history += fmt::format(
            R"({{"fecha":"2026-01-05","hora":"{}","tipo":"baja","enemigo":"Rival{}","clan":"CL","nivel":120,"medallas":["Doble baja"],"veces":2,"juego":"Warzone","modo":"Battle Royale","mapa":"Urzikstan","lugar":"Puerto","clip":null}})"
            "\n",
            i, i);
    write(clips / "estadisticas.jsonl", history);
    paths_set_app_dir_for_tests(root);
    std::string ev = "[";
    for (int i = 0; i < 1000; ++i) ev += fmt::format("{}[{},\"2026-01-05\",\"{}\",\"baja\"]", i ? "," : "", i * 10, i * 10);
    ev += "]";
    const std::string query = "a=borrar_eventos&ev=" + ev;
    const double t0 = now_ms();
    const auto result = visor_action("borrar_eventos", query);
    const double took = now_ms() - t0;
    if (result.value("eventos", 0) != 1000) std::fprintf(stderr, "deletion: %s\n", result.dump().c_str());
    std::printf("delete_1000_events_of_10k_ms ours=%.1f reference=15000.0 ratio=%.3f\n", took, took / 15000.0);
    paths_set_app_dir_for_tests({});
}

// A whole reply read from 127.0.0.1:port with 1 MiB reads and thrown away:
// the client's side without curl's own costs (its many small writes to
// the output). Returns the bytes read.
std::uint64_t raw_get(unsigned port, const std::string& target) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    std::uint64_t total = 0;
    if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string req = fmt::format("GET {} HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n\r\n", target, port);
        if (::send(c, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
            std::vector<char> buf(1 << 20);
            ssize_t n;
            while ((n = ::read(c, buf.data(), buf.size())) > 0) total += static_cast<std::uint64_t>(n);
        }
    }
    ::close(c);
    return total;
}

// The plain reader in a process of its own (this program, "get"); its time
// from connecting to the last byte, without its own start-up.
double reader_ms(unsigned port, const std::string& target) {
    std::FILE* p = ::popen(fmt::format("/proc/{}/exe get {} '{}'", ::getpid(), port, target).c_str(), "r");
    if (!p) return -1;
    double ms = -1;
    if (std::fscanf(p, "%lf", &ms) != 1) ms = -1;
    ::pclose(p);
    return ms;
}

// What the kernel itself allows on this machine: the file handed to a
// 127.0.0.1 TCP socket with sendfile, with no server and no HTTP, read by the
// same plain reader in its own process as "/clip" is.
double loopback_floor_ms(const fs::path& file) {
    NetListenResult l = net_listen_loopback(0, 4);
    if (!l.error.empty()) return -1;
    std::thread sender([&] {
        const int s = ::accept4(l.socket.handle, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) return;
        char request[4096];
        (void)::recv(s, request, sizeof request, 0);  // the reader's GET, so closing sends no reset
        const int f = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (f >= 0 && ::fstat(f, &st) == 0) {
            off_t off = 0;
            while (off < st.st_size)
                if (::sendfile(s, f, &off, static_cast<std::size_t>(st.st_size - off)) <= 0) break;
        }
        if (f >= 0) ::close(f);
        ::close(s);
    });
    const double took = reader_ms(l.port, "/");
    sender.join();
    net_close(l.socket);
    return took;
}

void bench_stream(const fs::path& root) {
    const fs::path clips = root / "clips";
    const fs::path clip = clips / "2026-01-05/Manual/grande.mp4";
    {
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
        fs::create_directories(clip.parent_path());
        std::ofstream out(clip, std::ios::binary);
        for (int i = 0; i < 256; ++i) out << block;
    }
    paths_set_app_dir_for_tests(root);
    NetListenResult l = net_listen_loopback(0, 128);
    if (!l.error.empty()) return;
    const std::string token = "00112233445566778899aabbccddeeff";
    ui_session_publish(token, l.port);
    std::thread([s = l.socket] { ui_server_run(s, [] { return false; }); }).detach();
    const std::string url = fmt::format("http://127.0.0.1:{}/clip?t={}&ruta=2026-01-05/Manual/grande.mp4", l.port, token);

    (void)time_command_ms(fmt::format("cat '{}' > /dev/null", clip.string()));  // into the page cache
    std::vector<double> ours, ref, piped;
    for (int run = 0; run < 5; ++run) {
        ours.push_back(time_command_ms(fmt::format("curl -sf --noproxy '*' -o /dev/null '{}'", url)));
        ref.push_back(time_command_ms(fmt::format("cat '{}' > /dev/null", clip.string())));
        piped.push_back(time_command_ms(fmt::format("cat '{}' | cat > /dev/null", clip.string())));
    }
    const double o = percentile(ours, 0.5), r = percentile(ref, 0.5), pr = percentile(piped, 0.5);
    std::printf("clip_stream_256mb_ms ours=%.1f reference=%.1f ratio=%.3f\n", o, r, o / r);
    std::printf("clip_stream_256mb_vs_cat_to_reader_ms ours=%.1f reference=%.1f ratio=%.3f\n", o, pr, o / pr);

    // How much of that is the loopback hop and curl rather than the server:
    // a plain reader against "/clip", against the kernel's own floor.
    const std::string target = fmt::format("/clip?t={}&ruta=2026-01-05/Manual/grande.mp4", token);
    std::vector<double> raw, floor, cat2;
    for (int run = 0; run < 5; ++run) {
        raw.push_back(reader_ms(l.port, target));
        floor.push_back(loopback_floor_ms(clip));
        cat2.push_back(time_command_ms(fmt::format("cat '{}' > /dev/null", clip.string())));
    }
    const double rw = percentile(raw, 0.5), fl = percentile(floor, 0.5), c2 = percentile(cat2, 0.5);
    std::fprintf(stderr, "clip stream: plain reader %.1f ms, loopback floor %.1f ms, cat %.1f ms\n", rw, fl, c2);
    std::printf("clip_stream_256mb_vs_loopback_floor_ms ours=%.1f reference=%.1f ratio=%.3f\n", rw, fl, rw / fl);

    // Python's server on a port of its own, ended when its time is up.
    const int py_port = 20000 + static_cast<int>(l.port % 20000);
    const std::string py = fmt::format(
        "timeout 60 python3 -m http.server {} --bind 127.0.0.1 --directory '{}' >/dev/null 2>&1 & echo $! > '{}'",
        py_port, clip.parent_path().string(), (root / "py.pid").string());
    if (std::system(py.c_str()) != 0) return;
    const std::string py_url = fmt::format("http://127.0.0.1:{}/grande.mp4", py_port);
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        ready = std::system(fmt::format("curl -sf --noproxy '*' -o /dev/null -r 0-0 '{}'", py_url).c_str()) == 0;
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ready) {
        std::fprintf(stderr, "python3 http.server did not start\n");
        (void)std::system(fmt::format("kill $(cat '{}') 2>/dev/null", (root / "py.pid").string()).c_str());
        return;
    }
    std::vector<double> ours2, py_times;
    for (int run = 0; run < 5; ++run) {
        ours2.push_back(time_command_ms(fmt::format("curl -sf --noproxy '*' -o /dev/null '{}'", url)));
        py_times.push_back(time_command_ms(fmt::format("curl -sf --noproxy '*' -o /dev/null '{}'", py_url)));
    }
    (void)std::system(fmt::format("kill $(cat '{}') 2>/dev/null", (root / "py.pid").string()).c_str());
    const double o2 = percentile(ours2, 0.5), p = percentile(py_times, 0.5);
    std::printf("clip_stream_256mb_vs_python_ms ours=%.1f reference=%.1f ratio=%.3f\n", o2, p, o2 / p);
}

}  // namespace

// "bench_http page" measures the clips page only (for profiling).
int main(int argc, char** argv) {
    // "bench_http get PORT TARGET": the plain reader, in a process of its own.
    if (argc == 4 && std::string(argv[1]) == "get") {
        const double t0 = now_ms();
        const std::uint64_t n = raw_get(static_cast<unsigned>(std::atoi(argv[2])), argv[3]);
        std::printf("%.3f\n", now_ms() - t0);
        return n > 0 ? 0 : 1;
    }
    const bool page_only = argc > 1 && std::string(argv[1]) == "page";
    char pattern[] = "/tmp/corvane-bench-http-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path root = pattern;
    bench_clips_page(root);
    if (!page_only) {
        bench_delete_events(root);
        bench_stream(root);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    std::fflush(stdout);
    std::_Exit(0);
}
