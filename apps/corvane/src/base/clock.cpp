#include "base/clock.h"

#include <fmt/format.h>

#include <ctime>

namespace corvane {

namespace {
std::tm local_tm(std::chrono::system_clock::time_point t) {
    // Every log line asks for the same second many times, from many threads;
    // localtime_r takes a process-wide lock inside the C library.
    thread_local std::time_t cached_secs = -1;
    thread_local std::tm cached_tm{};
    std::time_t secs =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(t));
    if (secs != cached_secs) {
        std::tm tm{};
        localtime_r(&secs, &tm);
        cached_tm = tm;
        cached_secs = secs;
    }
    return cached_tm;
}
}  // namespace

LocalDateTime clock_local_date_time_at(std::chrono::system_clock::time_point t) {
    std::tm tm = local_tm(t);
    return {fmt::format("{:04}-{:02}-{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
            fmt::format("{:02}-{:02}-{:02}", tm.tm_hour, tm.tm_min, tm.tm_sec)};
}

LocalDateTime clock_local_date_time() {
    return clock_local_date_time_at(std::chrono::system_clock::now());
}

std::string clock_log_stamp(std::chrono::system_clock::time_point t) {
    std::tm tm = local_tm(t);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    if (ms < 0) ms += 1000;
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

}  // namespace corvane
