// Local date and time texts for log stamps, clip names and results.
#pragma once

#include <chrono>
#include <string>

namespace corvane {

struct LocalDateTime {
    std::string date;  // "YYYY-MM-DD"
    std::string time;  // "HH-MM-SS" (dashes, so it can stand in file names)
};

// Both texts from one reading of the local clock.
LocalDateTime clock_local_date_time();

// The same texts for a given instant (local time zone).
LocalDateTime clock_local_date_time_at(std::chrono::system_clock::time_point t);

// "YYYY-MM-DD HH:MM:SS.mmm" of the local clock at t.
std::string clock_log_stamp(std::chrono::system_clock::time_point t);

}  // namespace corvane
