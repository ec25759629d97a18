// Helpers for the clip saver tests: a private program folder with its log,
// sample builders, and a recording muxer that can fail at any step.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../base/base_test_util.h"
#include "base/log.h"
#include "base/paths.h"
#include "platform/mp4.h"
#include "recording/replay_buffer.h"

namespace corvane::test {

inline constexpr std::int64_t kSec = 10'000'000;

// A fresh program folder (log, INI) and clips folder for one test.
class TempProgram {
  public:
    TempProgram() { log_open(); }
    ~TempProgram() { log_reset_for_tests(); }
    TempProgram(const TempProgram&) = delete;
    TempProgram& operator=(const TempProgram&) = delete;

    const std::filesystem::path& dir() const { return app_.dir(); }
    std::filesystem::path clips() const { return app_.dir() / "clips"; }
    std::string log() const { return read_file(app_.data() / "corvane.log"); }

  private:
    TempAppDir app_;
};

inline SamplePayload bytes_of(std::size_t n, std::uint8_t fill = 0x11) {
    return std::make_shared<const std::vector<std::uint8_t>>(n, fill);
}

inline ReplaySample sample(std::uint8_t track, std::int64_t ts, std::int64_t dur, bool key,
                           std::size_t size = 16) {
    ReplaySample s;
    s.timestamp = ts;
    s.duration = dur;
    s.track = track;
    s.keyframe = key;
    s.payload = bytes_of(size, static_cast<std::uint8_t>(track + 1));
    return s;
}

inline void write_sparse(const std::filesystem::path& p, std::uint64_t size, std::time_t mtime) {
    std::filesystem::create_directories(p.parent_path());
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        throw std::runtime_error("sparse");
    ::close(fd);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), times, 0);
}

// What a fake muxer was asked to do.
struct MuxLog {
    std::filesystem::path path;
    Mp4Container container = Mp4Container::mp4;
    std::vector<Mp4Track> tracks;
    std::vector<std::pair<int, Mp4Sample>> samples;
    bool begun = false;
    bool finished = false;
};

// Records every call; fails at `fail_step` (for tracks: at the
// `fail_track`-th declaration) of the files of `fail_container`.
class FakeMuxers {
  public:
    std::optional<Mp4Step> fail_step;
    Mp4Container fail_container = Mp4Container::mp4;
    int fail_track = 0;
    std::function<void()> during_write;  // runs at the first sample written

    ClipMuxerFactory factory() {
        return [this](const std::filesystem::path& path, Mp4Container c) { return open(path, c); };
    }

    std::vector<MuxLog> logs() {
        std::lock_guard lock(mutex_);
        return logs_;
    }

  private:
    class Muxer final : public ClipMuxer {
      public:
        Muxer(FakeMuxers& owner, std::size_t slot, bool failing)
            : owner_(owner), slot_(slot), failing_(failing) {}
        std::optional<Mp4Error> add_track(const Mp4Track& t, int* index) override {
            if (fails(Mp4Step::track) && tracks_ == owner_.fail_track)
                return Mp4Error{Mp4Step::track, "boom"};
            *index = tracks_++;
            with([&](MuxLog& l) { l.tracks.push_back(t); });
            return std::nullopt;
        }
        std::optional<Mp4Error> begin() override {
            if (fails(Mp4Step::begin)) return Mp4Error{Mp4Step::begin, "boom"};
            with([](MuxLog& l) { l.begun = true; });
            return std::nullopt;
        }
        std::optional<Mp4Error> write(int index, const Mp4Sample& s) override {
            if (!wrote_ && owner_.during_write) owner_.during_write();
            wrote_ = true;
            if (fails(Mp4Step::prepare)) return Mp4Error{Mp4Step::prepare, "boom"};
            if (fails(Mp4Step::write)) return Mp4Error{Mp4Step::write, "boom"};
            with([&](MuxLog& l) { l.samples.emplace_back(index, s); });
            return std::nullopt;
        }
        std::optional<Mp4Error> finish() override {
            if (fails(Mp4Step::finish)) return Mp4Error{Mp4Step::finish, "boom"};
            std::string path;
            with([&](MuxLog& l) {
                l.finished = true;
                path = l.path.string();
            });
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'x');
            return std::nullopt;
        }

      private:
        bool fails(Mp4Step step) const { return failing_ && owner_.fail_step == step; }
        template <class F>
        void with(F f) {
            std::lock_guard lock(owner_.mutex_);
            f(owner_.logs_[slot_]);
        }
        FakeMuxers& owner_;
        std::size_t slot_;
        bool failing_;
        int tracks_ = 0;
        bool wrote_ = false;
    };

    ClipMuxerOpen open(const std::filesystem::path& path, Mp4Container c) {
        const bool failing = fail_step.has_value() && c == fail_container;
        ClipMuxerOpen out;
        if (failing && *fail_step == Mp4Step::create) {
            out.error = Mp4Error{Mp4Step::create, "boom"};
            return out;
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc) << "head";
        std::lock_guard lock(mutex_);
        logs_.push_back(MuxLog{path, c, {}, {}, false, false});
        out.muxer = std::make_unique<Muxer>(*this, logs_.size() - 1, failing);
        return out;
    }

    std::mutex mutex_;
    std::vector<MuxLog> logs_;
};

}  // namespace corvane::test
