// Screen-text helper costs. The reference is the straightforward form of the
// keyword search: every window of |K|-1, |K|, |K|+1 letters at every start,
// each compared by a Levenshtein distance that allocates its two rows per call.
// Prints "NAME ours=X reference=Y ratio=Z" (ns; lower is better).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "detection/hud.h"

namespace {

using corvane::hud_find_keyword;
using corvane::hud_letters_upper;

// OCR lines as the classifier meets them: cards, menus, compass, killfeed.
const std::vector<std::string> kLines = {
    "ELIMINATED SHADOWFOX",
    "2ND KILL",
    "57",
    "KILLED BY NIGHTOWL",
    "CAPTAIN",
    "ASSAULT RIFLE",
    "RED DOT + GRIP",
    "DEPLOYMENT WILL BEGIN IN 10",
    "OPERATORS WEAPONS STORE BATTLE PASS CAREER",
    "NW N NE",
    "COPPERTON",
    "ATTACKERS 3",
    "+100 HEADSHOT",
    "[ABC] xXSniperXx#1234 eliminated PlayerOne",
    "REPORT PLAYER",
    "ENTERING THE WARZONE",
};

// Every keyword list the classifier tests a line against.
const std::vector<std::string> kKeywords = {
    "OPERATORS",
    "WEAPONS",
    "STORE",
    "BATTLE PASS",
    "CAREER",
    "DEPLOYMENT WILL BEGIN",
    "DEPLOYMENT WILL",
    "DEPLOYMENT BEGINS",
    "ENTERING THE WARZONE",
    "KILLCAM",
    "FINAL",
    "FINAL KILL",
    "REPORT PLAYER",
    "KILLED BY",
    "ELIMINATED",
    "KILL",
    "HEADSHOT",
    "LONGSHOT",
    "POINT BLANK",
    "BACKSTAB",
    "REVENGE",
    "PAYBACK",
    "BUZZKILL",
    "FIRST BLOOD",
    "AVENGER",
    "SAVIOR",
    "COMEBACK",
    "DOUBLE KILL",
    "TRIPLE KILL",
    "FURY KILL",
    "FRENZY KILL",
    "HIP FIRE",
    "MID-AIR",
    "CLOSE CALL",
    "QUICKDRAW",
    "ONE SHOT ONE KILL",
    "KILLJOY",
    "COLLATERAL",
    "PRIVATE",
    "CORPORAL",
    "SERGEANT",
    "LIEUTENANT",
    "CAPTAIN",
    "MAJOR",
    "COLONEL",
    "BRIGADIER",
    "GENERAL",
    "COMMANDER",
    "PRESTIGE",
    "ASSAULT RIFLE",
    "SUBMACHINE",
    "SMG",
    "LMG",
    "SNIPER",
    "MARKSMAN",
    "SHOTGUN",
    "PISTOL",
    "BATTLE RIFLE",
    "LAUNCHER",
    "MELEE",
    "ATTACKERS",
    "ATTACKER",
};

size_t reference_edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 0; i < a.size(); ++i) {
        cur[0] = i + 1;
        for (size_t j = 1; j <= b.size(); ++j)
            cur[j] =
                std::min({prev[j - 1] + (a[i] == b[j - 1] ? 0 : 1), cur[j - 1] + 1, prev[j] + 1});
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

bool reference_find_keyword(const std::string& text, const std::string& keyword) {
    const std::string A = hud_letters_upper(text), K = hud_letters_upper(keyword);
    if (K.empty() || A.size() + 1 < K.size()) return false;
    const size_t budget = K.size() / 4;
    for (size_t w : {K.size() - 1, K.size(), K.size() + 1}) {
        if (w == 0 || w > A.size()) continue;
        for (size_t s = 0; s + w <= A.size(); ++s)
            if (reference_edit_distance(A.substr(s, w), K) <= budget) return true;
    }
    return false;
}

const double kCallsPerIteration = static_cast<double>(kLines.size() * kKeywords.size());

void BM_find_keyword_ours(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& line : kLines)
            for (const auto& kw : kKeywords) benchmark::DoNotOptimize(hud_find_keyword(line, kw));
}
BENCHMARK(BM_find_keyword_ours);

void BM_find_keyword_reference(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& line : kLines)
            for (const auto& kw : kKeywords)
                benchmark::DoNotOptimize(reference_find_keyword(line, kw));
}
BENCHMARK(BM_find_keyword_reference);

void BM_edit_distance_ours(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& line : kLines)
            for (const auto& kw : kKeywords)
                benchmark::DoNotOptimize(corvane::hud_edit_distance(line, kw));
}
BENCHMARK(BM_edit_distance_ours);

void BM_edit_distance_reference(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& line : kLines)
            for (const auto& kw : kKeywords)
                benchmark::DoNotOptimize(reference_edit_distance(line, kw));
}
BENCHMARK(BM_edit_distance_reference);

// Keeps each benchmark's real time per iteration (ns) for the summary lines.
class Capture : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns[r.benchmark_name()] =
                    r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
};

void print_line(const char* name, double ours, double reference) {
    std::printf("%s ours=%.1f reference=%.1f ratio=%.3f\n", name, ours, reference,
                reference > 0 ? ours / reference : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Capture capture;
    // The table goes to stderr so that stdout holds only the summary lines.
    capture.SetOutputStream(&std::cerr);
    capture.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&capture);
    benchmark::Shutdown();
    std::fflush(stdout);
    auto& ns = capture.ns;
    const double per_line = static_cast<double>(kKeywords.size());
    const double fk_ours = ns["BM_find_keyword_ours"], fk_ref = ns["BM_find_keyword_reference"];
    print_line("hud_find_keyword_ns_per_call", fk_ours / kCallsPerIteration,
               fk_ref / kCallsPerIteration);
    print_line("hud_find_keyword_all_lists_ns_per_line", fk_ours / kCallsPerIteration * per_line,
               fk_ref / kCallsPerIteration * per_line);
    print_line("hud_edit_distance_ns_per_call", ns["BM_edit_distance_ours"] / kCallsPerIteration,
               ns["BM_edit_distance_reference"] / kCallsPerIteration);
    return 0;
}
