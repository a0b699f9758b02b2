#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace sentrel::testing {

namespace {

using namespace std::chrono_literals;

bool CanConnect(const std::string& socketPath) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

std::string Tail(const std::string& path) {
    std::string all = ReadFileBytes(path);
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace

pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outputFile, const std::string& errorFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void StopProcess(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exited(pid)) {
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

PulseServer::PulseServer() {
    const std::string runtime = dir_.File("run");
    const std::string home = dir_.File("home");
    std::filesystem::create_directories(runtime + "/pulse");
    std::filesystem::create_directories(home);
    chmod(runtime.c_str(), 0700);
    socketPath_ = runtime + "/native";

    std::vector<std::string> env = {"HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                                    "XDG_CONFIG_HOME=" + home + "/.config"};
    if (const char* path = std::getenv("PATH")) {
        env.push_back(std::string("PATH=") + path);
    }
    // As root the server must be told that a per-user instance is meant.
    const std::vector<std::string> argv = {
        "pulseaudio",
        "--system=false",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--disallow-exit",
        "--use-pid-file=false",
        "--log-target=stderr",
        "--load=module-null-sink sink_name=" + sinkName() + " rate=44100 channels=2",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socketPath_};
    const std::string log = dir_.File("pulseaudio.log");
    pid_ = SpawnProcess(argv, env, dir_.File("pulseaudio.out"), log);
    if (pid_ < 0) {
        error_ = "pulseaudio could not be started (is it installed?)";
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exited(pid_)) {
            pid_ = -1;
            error_ = "pulseaudio exited at start-up: " + Tail(log);
            return;
        }
        if (CanConnect(socketPath_)) {
            ok_ = true;
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    error_ = "pulseaudio did not open its socket in time: " + Tail(log);
}

PulseServer::~PulseServer() {
    StopProcess(pid_);
}

std::vector<std::string> PulseServer::ClientEnvironment() const {
    std::vector<std::string> env = {"PULSE_SERVER=" + address(), "HOME=" + dir_.File("home"),
                                    "XDG_RUNTIME_DIR=" + dir_.File("run")};
    if (const char* path = std::getenv("PATH")) {
        env.push_back(std::string("PATH=") + path);
    }
    return env;
}

PulseRecorder::PulseRecorder(const PulseServer& server, int rate) : rate_(rate) {
    file_ = dir_.File("monitor.raw");
    const std::vector<std::string> silence = {"pacat",
                                              "--playback",
                                              "-d",
                                              server.sinkName(),
                                              "--raw",
                                              "--format=s16le",
                                              "--channels=1",
                                              "--rate=" + std::to_string(rate),
                                              "--latency-msec=50",
                                              "/dev/zero"};
    const std::string feederLog = dir_.File("pacat.log");
    feeder_ = SpawnProcess(silence, server.ClientEnvironment(), dir_.File("pacat.out"), feederLog);
    if (feeder_ < 0) {
        error_ = "pacat could not be started (is pulseaudio-utils installed?)";
        return;
    }
    const std::vector<std::string> argv = {
        "parec", "--latency-msec=20", "-d",           server.sinkName() + ".monitor",
        "--raw", "--format=s16le",    "--channels=1", "--rate=" + std::to_string(rate)};
    const std::string log = dir_.File("parec.log");
    pid_ = SpawnProcess(argv, server.ClientEnvironment(), file_, log);
    if (pid_ < 0) {
        error_ = "parec could not be started (is pulseaudio-utils installed?)";
        return;
    }
    // Wait until samples flow.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exited(pid_)) {
            pid_ = -1;
            error_ = "parec exited: " + Tail(log);
            return;
        }
        if (Exited(feeder_)) {
            feeder_ = -1;
            error_ = "pacat exited: " + Tail(feederLog);
            return;
        }
        if (SampleCount() >= static_cast<std::size_t>(rate_ / 10)) {
            ok_ = true;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    error_ = "parec delivered no samples in time: " + Tail(log);
}

PulseRecorder::~PulseRecorder() {
    StopProcess(pid_);
}

std::size_t PulseRecorder::SampleCount() const {
    std::error_code ec;
    auto size = std::filesystem::file_size(file_, ec);
    return ec ? 0 : static_cast<std::size_t>(size / 2);
}

std::vector<std::int16_t> PulseRecorder::Samples() const {
    std::string bytes = ReadFileBytes(file_);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

}  // namespace sentrel::testing
