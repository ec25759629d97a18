// Helpers for the sound tests: a private PulseAudio daemon, AAC frames decoded
// by the ffmpeg tool, tone measurements.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "recording/audio_capture.h"
#include "recording/replay_buffer.h"
#include "recording_test_util.h"

namespace corvane::test {

// Runs argv with its output thrown away; the exit status (-1 when it cannot run).
inline int run_quiet(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Power of `freq` in one channel of interleaved stereo (Goertzel), per sample.
inline double tone_power(const std::vector<float>& v, std::size_t channel, double freq,
                         double rate = 48000) {
    const double w = 2 * 3.14159265358979323846 * freq / rate;
    double s1 = 0, s2 = 0;
    std::size_t n = 0;
    for (std::size_t i = channel; i < v.size(); i += 2, ++n) {
        double s = v[i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return n ? (s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) / (double(n) * n) : 0.0;
}

// The strongest of `candidates` in the left channel.
inline double strongest_tone(const std::vector<float>& v, const std::vector<double>& candidates) {
    double best = 0, best_p = -1;
    for (double f : candidates) {
        double p = tone_power(v, 0, f);
        if (p > best_p) {
            best_p = p;
            best = f;
        }
    }
    return best;
}

// Raw AAC-LC frames (48 kHz stereo) decoded to interleaved floats by ffmpeg.
inline std::vector<float> decode_aac(const std::vector<std::vector<std::uint8_t>>& frames) {
    TempDir dir;
    std::string adts;
    for (const auto& f : frames) {
        const std::size_t len = f.size() + 7;
        const unsigned char h[7] = {0xFF,
                                    0xF1,
                                    static_cast<unsigned char>((1 << 6) | (3 << 2) | 0),
                                    static_cast<unsigned char>((2 << 6) | ((len >> 11) & 3)),
                                    static_cast<unsigned char>((len >> 3) & 0xFF),
                                    static_cast<unsigned char>(((len & 7) << 5) | 0x1F),
                                    0xFC};
        adts.append(reinterpret_cast<const char*>(h), 7);
        adts.append(reinterpret_cast<const char*>(f.data()), f.size());
    }
    auto in = dir.path() / "in.aac";
    auto out = dir.path() / "out.raw";
    write_file(in, adts);
    int rc = run_command({"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", in.string(), "-f",
                          "f32le", "-ac", "2", "-ar", "48000", out.string()});
    if (rc != 0) return {};
    std::string raw = read_file(out);
    std::vector<float> v(raw.size() / 4);
    std::memcpy(v.data(), raw.data(), v.size() * 4);
    return v;
}

// The payloads of one track of a buffer, in order.
inline std::vector<std::vector<std::uint8_t>> track_payloads(const ReplayBuffer& b,
                                                             std::uint8_t track) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const ReplaySample& s : replay_buffer_snapshot(b)) {
        if (s.track == track) out.push_back(*s.payload);
    }
    return out;
}

// A sink into a fresh buffer that already holds one key video sample, so that
// sound is stored (a buffer never starts without a picture).
inline std::shared_ptr<SampleSink> audio_test_sink() {
    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, 3600, 1000);
    ReplaySample key;
    key.payload = std::make_shared<const std::vector<std::uint8_t>>(
        std::vector<std::uint8_t>{0, 0, 0, 1, 0x65});
    key.track = kTrackVideo;
    key.keyframe = true;
    key.duration = 333333;
    (*sink)(key);
    return sink;
}

// A capture thread the test can stop and join.
class CaptureThread {
  public:
    explicit CaptureThread(AudioCaptureParams p) : quit_(std::make_shared<QuitFlag>()) {
        p.quit = quit_;
        ring_ = p.ring;
        thread_ =
            std::thread([p = std::move(p)]() mutable { audio_capture_thread_main(std::move(p)); });
    }
    ~CaptureThread() {
        quit_->set = true;
        thread_.join();
    }
    AudioRing& ring() { return *ring_; }

  private:
    std::shared_ptr<QuitFlag> quit_;
    std::shared_ptr<AudioRing> ring_;
    std::thread thread_;
};

// A PulseAudio daemon of the test's own: its own runtime folder and socket,
// no configuration script, the modules given. PULSE_SERVER points this process
// at it for the life of the object.
class PulseDaemon {
  public:
    explicit PulseDaemon(const std::vector<std::string>& modules) {
        socket_ = (dir_ / "native").string();
        std::vector<std::string> args = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--log-target=stderr",
            "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket_};
        for (const auto& m : modules) {
            args.push_back("-L");
            args.push_back(m);
        }
        std::vector<std::string> env = {"HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + dir_.string(),
                                        "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                        "PATH=/usr/bin:/bin"};
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        const std::string log = (dir_ / "daemon.log").string();
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int rc = posix_spawnp(&pid_, "pulseaudio", &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) throw std::runtime_error("pulseaudio no arrancó");
        server_ = "unix:" + socket_;
        setenv("PULSE_SERVER", server_.c_str(), 1);
        // The client library reads its cookie and settings from these.
        setenv("HOME", dir_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        if (!wait_for([&] { return pactl({"info"}) == 0; }, 20))
            throw std::runtime_error("pulseaudio no responde: " + read_file(dir_ / "daemon.log"));
    }
    ~PulseDaemon() {
        if (pid_ > 0) {
            kill(pid_, SIGCONT);
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    int pactl(std::vector<std::string> args) const {
        args.insert(args.begin(), {"pactl", "--server=" + server_});
        return run_quiet(args);
    }
    // The index of a loaded module (pactl prints it).
    std::string load_module(const std::string& name, const std::string& args) const {
        auto out = dir_ / "module.txt";
        std::string cmd = "pactl --server=" + server_ + " load-module " + name + " " + args +
                          " > '" + out.string() + "'";
        if (std::system(cmd.c_str()) != 0) return {};
        std::string s = read_file(out);
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }
    const std::filesystem::path& dir() const { return dir_; }
    const std::string& server() const { return server_; }
    // Freezes or thaws the daemon (a server that hangs).
    void freeze(bool on) const { kill(pid_, on ? SIGSTOP : SIGCONT); }

    // Starts `paplay` of a file on a sink; the player is stopped with the object.
    class Player {
      public:
        Player(const std::string& server, const std::string& sink, const std::string& file) {
            std::vector<std::string> args = {"paplay", "--server=" + server, "--device=" + sink,
                                             file};
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            if (posix_spawnp(&pid_, "paplay", nullptr, nullptr, argv.data(), environ) != 0)
                pid_ = -1;
        }
        ~Player() {
            if (pid_ > 0) {
                kill(pid_, SIGTERM);
                int status;
                waitpid(pid_, &status, 0);
            }
        }
        Player(const Player&) = delete;
        Player& operator=(const Player&) = delete;
        bool running() const { return pid_ > 0; }

      private:
        pid_t pid_ = -1;
    };

    // A WAV of a sine at `freq` made by sox, in the daemon's folder.
    std::string tone_file(const std::string& name, int rate, int channels, double freq,
                          double seconds) const {
        std::string path = (dir_ / name).string();
        run_quiet({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b",
                   "16", path, "synth", std::to_string(seconds), "sine", std::to_string(freq),
                   "vol", "0.5"});
        return path;
    }

  private:
    TempDir scratch_;
    const std::filesystem::path dir_ = scratch_.path();
    std::string socket_;
    std::string server_;
    pid_t pid_ = -1;
};

}  // namespace corvane::test
