#include "base/clock.h"

#include <fmt/format.h>

#include <ctime>

namespace corvane {

namespace {
std::tm local_tm(std::chrono::system_clock::time_point t) {
    std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    return tm;
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
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() %
              1000;
    if (ms < 0) ms += 1000;
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

}  // namespace corvane
