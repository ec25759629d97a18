// The configuration group: parsing a template-sized INI text and log_line
// throughput from 8 threads. Prints "NAME ours=X reference=Y ratio=Z" lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>

#include "base/config_file.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

using namespace corvane;

// The floor the real reader is measured against: the same line rules over
// ASCII only (no Unicode white space, no full case mapping).
std::unordered_map<std::string, std::string> ascii_ini(std::string_view text) {
    std::unordered_map<std::string, std::string> out;
    std::string section;
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
            s.remove_suffix(1);
        return s;
    };
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) lf = text.size();
        std::string_view line = trim(text.substr(start, lf - start));
        start = lf + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = ascii_lower(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view v = line.substr(eq + 1);
        v = trim(v.substr(0, v.find(';')));
        while (!v.empty() && v.front() == '"') v.remove_prefix(1);
        while (!v.empty() && v.back() == '"') v.remove_suffix(1);
        out[section + '\0' + ascii_lower(trim(line.substr(0, eq)))] = std::string(v);
    }
    return out;
}

void BM_IniParse(benchmark::State& state) {
    const std::string_view text = config_default_template();
    for (auto _ : state) benchmark::DoNotOptimize(config_parse_ini(text));
}
BENCHMARK(BM_IniParse);

void BM_IniParseAscii(benchmark::State& state) {
    const std::string_view text = config_default_template();
    for (auto _ : state) benchmark::DoNotOptimize(ascii_ini(text));
}
BENCHMARK(BM_IniParseAscii);

const std::string kMessage = "[DETECTOR] baja: Zorro Gris -> Enemigo_42 (arma: M4, HEADSHOT)";

void BM_LogLine(benchmark::State& state) {
    for (auto _ : state) log_line(kMessage);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLine)->Threads(8)->UseRealTime();

int g_raw_fd = -1;
const std::string kRawBlock = "2026-10-25 09:05:03.042 " + kMessage + "\r\n";

void BM_RawWrite(benchmark::State& state) {
    for (auto _ : state) {
        ssize_t n = ::write(g_raw_fd, kRawBlock.data(), kRawBlock.size());
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawWrite)->Threads(8)->UseRealTime();

// Keeps each run's figure instead of printing the console table.
class Collector : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            std::string name = r.benchmark_name();
            name = name.substr(0, name.find('/'));
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end() && it->second.value > 0) {
                ns[name] = 1e9 / it->second.value;  // wall ns per item, all threads together
            } else {
                ns[name] =
                    r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMicrosecond   ? 1e3
                                               : r.time_unit == benchmark::kMillisecond ? 1e6
                                                                                        : 1.0);
            }
        }
    }
    std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/corvane-bench-XXXXXX";
    if (!::mkdtemp(dir.data())) return 1;
    paths_set_app_dir_for_tests(dir);
    log_open();
    g_raw_fd = ::open((dir + "/raw.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    auto line = [&](const char* name, const char* ours, const char* ref, double scale) {
        if (!collector.ns.count(ours) || !collector.ns.count(ref)) return;
        double o = collector.ns[ours] / scale, r = collector.ns[ref] / scale;
        fmt::print("{} ours={:.3f} reference={:.3f} ratio={:.2f}\n", name, o, r, o / r);
    };
    line("ini_parse_template_us", "BM_IniParse", "BM_IniParseAscii", 1e3);
    line("log_line_8_threads_ns_per_line", "BM_LogLine", "BM_RawWrite", 1.0);

    ::close(g_raw_fd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
