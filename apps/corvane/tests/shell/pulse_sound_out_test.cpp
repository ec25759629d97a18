// The player against a real PulseAudio daemon of its own: a null sink whose
// monitor is recorded with parec, so the bytes played can be compared.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../support/temp_dir.h"
#include "platform/sound_out.h"
#include "shell/sounds.h"

extern char** environ;

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env, const fs::path& out) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> av, ev;
    for (auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (auto& e : env) ev.push_back(const_cast<char*>(e.c_str()));
    ev.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (out.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), ev.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int st = 0;
    for (int i = 0; i < 500; ++i) {
        if (::waitpid(pid, &st, WNOHANG) == pid) return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &st, 0);
}

bool wait_for(const std::function<bool()>& cond, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

std::vector<std::int16_t> read_pcm(const fs::path& p) {
    const std::string raw = test::read_file(p);
    std::vector<std::int16_t> out(raw.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(raw[2 * i]) |
                                           (static_cast<std::uint8_t>(raw[2 * i + 1]) << 8));
    }
    return out;
}

std::vector<std::int16_t> pcm_of(const std::vector<std::uint8_t>& wav) {
    std::vector<std::int16_t> out((wav.size() - kWavHeaderBytes) / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(wav[44 + 2 * i] | (wav[45 + 2 * i] << 8));
    }
    return out;
}

// Where `needle` starts in `hay`, or npos.
std::size_t find(const std::vector<std::int16_t>& hay, const std::vector<std::int16_t>& needle, std::size_t from = 0) {
    auto it = std::search(hay.begin() + std::min(from, hay.size()), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : static_cast<std::size_t>(it - hay.begin());
}

// A private daemon with one mono 44.1 kHz null sink, and parec recording its
// monitor into a file. Everything lives in a unique folder. The sink must not
// rewind: a rewound stretch reaches the monitor as silence and cuts the
// start of a sound.
class PrivatePulse : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratch_.path();
        const std::string sock = (dir_ / "pa.sock").string();
        server_ = "unix:" + sock;
        const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_.string(), "HOME=" + dir_.string(),
                                              "PULSE_COOKIE=" + (dir_ / "cookie").string()};
        daemon_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                         "--disable-shm=yes", "--log-target=stderr",
                         "-L", "module-null-sink sink_name=crvn_test rate=44100 channels=1 format=s16le norewinds=1",
                         "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + sock},
                        env, dir_ / "daemon.out");
        ASSERT_GT(daemon_, 0);
        ASSERT_TRUE(wait_for([&] { return fs::exists(sock); }, 30s)) << "pulseaudio did not start";

        recording_ = dir_ / "monitor.raw";
        parec_ = spawn({"parec", "--server=" + server_, "--device=crvn_test.monitor", "--format=s16le",
                        "--rate=44100", "--channels=1", "--raw", "--latency-msec=20"},
                       env, recording_);
        ASSERT_GT(parec_, 0);
        // The null sink's monitor runs on its own clock: data flows at once.
        ASSERT_TRUE(wait_for([&] { return fs::exists(recording_) && fs::file_size(recording_) > 0; }, 30s))
            << "parec records nothing";

        ::setenv("PULSE_SERVER", server_.c_str(), 1);
        ::setenv("PULSE_COOKIE", (dir_ / "cookie").c_str(), 1);
    }

    void TearDown() override {
        sound_out_wait_idle(10s);
        stop(parec_);
        stop(daemon_);
        ::unsetenv("PULSE_SERVER");
    }

    std::vector<std::int16_t> recorded() const { return read_pcm(recording_); }

    test::TempDir scratch_;
    fs::path dir_, recording_;
    std::string server_;
    pid_t daemon_ = -1, parec_ = -1;
};

TEST_F(PrivatePulse, ChimeComesBackFromTheMonitorUnchanged) {
    const auto chime = pcm_of(sound_chime_image(1.0f));
    sound_play_chime(1.0f);
    // Sample 0 is silent; look for the chime from its first audible sample.
    const std::vector<std::int16_t> head(chime.begin() + 1, chime.begin() + 64);
    std::size_t at = std::string::npos;
    ASSERT_TRUE(wait_for(
        [&] {
            auto rec = recorded();
            at = find(rec, head);
            return at != std::string::npos && rec.size() >= at + chime.size() + 4410;
        },
        30s))
        << "chime not recorded";
    auto rec = recorded();
    const std::vector<std::int16_t> got(rec.begin() + (at - 1), rec.begin() + (at - 1) + chime.size());
    EXPECT_EQ(got, chime);
    // Played once: silence after it.
    for (std::size_t i = at - 1 + chime.size(); i < rec.size(); ++i) ASSERT_EQ(rec[i], 0) << i;
    EXPECT_TRUE(sound_out_wait_idle(10s));
}

TEST_F(PrivatePulse, NewSoundReplacesTheOnePlaying) {
    // A long first sound, so that it is surely still playing when the chime
    // comes, however loaded the machine. The player keeps only its pointer.
    static const std::vector<std::int16_t> long_tone = [] {
        std::vector<std::int16_t> v(44100 * 8);
        for (std::size_t n = 0; n < v.size(); ++n) v[n] = static_cast<std::int16_t>(8000.0 * std::sin(n * 0.0627));
        return v;
    }();
    const auto chime = pcm_of(sound_chime_image(1.0f));
    const std::vector<std::int16_t> tone_head(long_tone.begin() + 1, long_tone.begin() + 64);
    const std::vector<std::int16_t> chime_head(chime.begin() + 1, chime.begin() + 64);

    sound_out_play(PcmSound{long_tone.data(), long_tone.size(), 44100, 1});
    std::size_t tone_at = std::string::npos;
    ASSERT_TRUE(wait_for([&] { return (tone_at = find(recorded(), tone_head)) != std::string::npos; }, 30s));
    sound_play_chime(1.0f);

    std::size_t chime_at = std::string::npos;
    ASSERT_TRUE(wait_for(
        [&] {
            auto rec = recorded();
            chime_at = find(rec, chime_head, tone_at);
            return chime_at != std::string::npos && rec.size() >= chime_at + chime.size() + 8820;
        },
        30s))
        << "chime not recorded after the first sound";
    auto rec = recorded();
    // Before the chime: a cut-short beginning of the first sound, then silence.
    std::size_t n = 0;
    while (tone_at + n < chime_at && n + 1 < long_tone.size() && rec[tone_at + n] == long_tone[n + 1]) ++n;
    EXPECT_GE(n, tone_head.size());
    EXPECT_LT(n + 1, long_tone.size()) << "the first sound played to its end";
    for (std::size_t i = tone_at + n; i + 1 < chime_at; ++i) ASSERT_EQ(rec[i], 0) << "first sound went on at " << i;
    // The chime whole, and the first sound does not come back after it.
    const std::vector<std::int16_t> got(rec.begin() + (chime_at - 1), rec.begin() + (chime_at - 1) + chime.size());
    EXPECT_EQ(got, chime);
    for (std::size_t i = chime_at - 1 + chime.size(); i < rec.size(); ++i) ASSERT_EQ(rec[i], 0) << i;
}

TEST(SoundOut, WithoutASoundServerTheSoundIsSkipped) {
    test::TempDir scratch;
    const std::string server = "unix:" + (scratch.path() / "none.sock").string();
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    sound_play_low_tone(1.0f);
    sound_play_chime(1.0f);
    EXPECT_TRUE(sound_out_wait_idle(20s));
    ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace corvane
