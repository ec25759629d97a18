#include "base/save_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base_test_util.h"

namespace corvane {
namespace {

SaveRequest scene(std::string kind, std::string path) {
    SaveRequest r;
    r.kind = std::move(kind);
    r.events.push_back({"\"tipo\":\"baja\",\"enemigo\":\"Zeta\"", std::chrono::steady_clock::now()});
    r.clip_path = std::move(path);
    r.span = SaveSpan{12, 500'000'000};
    r.automatic = 1;
    return r;
}

TEST(SaveRequestSlot, NewerRequestReplacesTheWaitingOne) {
    SaveRequestSlot slot;
    EXPECT_FALSE(save_request_take(slot).has_value());

    EXPECT_FALSE(save_request_store(slot, scene("baja", "2026-10-25/Bajas/a.mp4")).has_value());
    auto replaced = save_request_store(slot, save_request_manual());
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(replaced->kind, "baja");
    EXPECT_EQ(replaced->clip_path, "2026-10-25/Bajas/a.mp4");

    auto taken = save_request_take(slot);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->kind, "manual");
    EXPECT_TRUE(taken->events.empty());
    EXPECT_FALSE(taken->clip_path.has_value());
    EXPECT_FALSE(taken->span.has_value());
    EXPECT_EQ(taken->automatic, 0);
    EXPECT_FALSE(save_request_take(slot).has_value());  // taking empties the slot
}

// The newer request still replaces the waiting one, but never silently:
// the log says which request gets no clip of its own, and why.
TEST(SaveRequestSlot, SubmitLogsTheRequestItReplaced) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    SaveRequestSlot slot;
    save_request_submit(slot, save_request_manual());  // nothing waited: no line
    save_request_submit(slot, save_request_manual());
    save_request_submit(slot, scene("bajas-x2", "2026-10-25/Bajas/CRVN_2026-10-25_21-03-07_bajas-x2.mp4"));
    save_request_submit(slot, save_request_manual());
    ASSERT_TRUE(save_request_take(slot).has_value());
    save_request_submit(slot, save_request_manual());  // the slot was empty again
    std::vector<std::string> lines;
    const std::string log = test::read_file(log_file_path());
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t end = log.find("\r\n", at);
        if (end == std::string::npos) break;
        lines.push_back(log.substr(at + 24, end - at - 24));  // without the time stamp
        at = end + 2;
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[AVISO] La petición de clip anterior (manual) aún esperaba turno: se une a esta "
                         "(manual) y se guarda un solo clip.",
                         "[AVISO] La petición de clip anterior (manual) aún esperaba turno: se une a esta "
                         "(bajas-x2) y se guarda un solo clip.",
                         "[AVISO] La petición de clip anterior (bajas-x2) aún esperaba turno: la reemplaza "
                         "esta (manual); 2026-10-25/Bajas/CRVN_2026-10-25_21-03-07_bajas-x2.mp4 no se "
                         "guardará.",
                     }));
    log_reset_for_tests();
}

TEST(SaveRequestSlot, RequestCarriesItsSceneWhole) {
    SaveRequestSlot slot;
    save_request_store(slot, scene("bajas-x3", "2026-10-25/Bajas/b.mp4"));
    auto r = save_request_take(slot);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->kind, "bajas-x3");
    ASSERT_EQ(r->events.size(), 1u);
    EXPECT_EQ(r->events[0].fragment, "\"tipo\":\"baja\",\"enemigo\":\"Zeta\"");
    EXPECT_EQ(r->span->seconds, 12u);
    EXPECT_EQ(r->automatic, 1);
}

TEST(SaveRequestSlot, SpanUnits) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        SaveSpan span;
        std::int64_t units;
    } cases[] = {
        {{0, 0}, 0},
        {{0, 99}, 0},  // truncated toward zero
        {{0, 100}, 1},
        {{12, 500'000'000}, 125'000'000},
        {{1, 999'999'999}, 19'999'999},
        {{922'337'203'685, 0}, 9'223'372'036'850'000'000},
        {{922'337'203'686, 0}, kMax},  // would overflow: saturates
        {{std::numeric_limits<std::uint64_t>::max(), 999'999'999}, kMax},
    };
    for (const auto& c : cases) EXPECT_EQ(save_span_units(c.span), c.units) << c.span.seconds;
}

TEST(SaveRequestSlot, PublishedOnce) {
    auto a = save_request_slot_publish();
    ASSERT_TRUE(a);
    EXPECT_EQ(save_request_slot_publish(), a);
    EXPECT_EQ(save_request_slot(), a);
}

// Writers keep replacing while one taker polls: every request is either
// taken once or reported replaced once; none is lost or seen twice.
TEST(TsanSaveRequestSlot, WritersAndOneTaker) {
    SaveRequestSlot slot;
    constexpr int kWriters = 3, kEach = 2000;
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    std::vector<std::vector<std::string>> replaced(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, &slot, &done, &replaced] {
            for (int i = 0; i < kEach; ++i) {
                SaveRequest r = save_request_manual();
                r.kind = std::to_string(w) + ":" + std::to_string(i);
                if (auto old = save_request_store(slot, std::move(r))) replaced[w].push_back(old->kind);
            }
            done.fetch_add(1);
        });
    }
    std::vector<std::string> taken;
    for (;;) {
        const bool finished = done.load() == kWriters;
        if (auto r = save_request_take(slot)) {
            taken.push_back(r->kind);
        } else if (finished) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    for (auto& t : writers) t.join();
    std::multiset<std::string> all(taken.begin(), taken.end());
    for (auto& v : replaced) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), std::size_t{kWriters * kEach});
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size());
}

}  // namespace
}  // namespace corvane
