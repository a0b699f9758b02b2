// The helper process and its line protocol, seen from the program.
#include "engine/ping_helper_client.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/icmp_echo.h"
#include "platform/ping_helper_protocol.h"
#include "platform/xsocket.h"

extern char** environ;

namespace sentrel {

namespace {

constexpr auto kStartWait = std::chrono::seconds(3);
// The helper answers at its time-out; this much more and it is taken for broken.
constexpr auto kAnswerGrace = std::chrono::seconds(2);

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    const std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

class HelperProcess {
  public:
    ~HelperProcess() { Stop(); }

    bool Start() {
        if (fd_ >= 0 || startFailed_) {
            return fd_ >= 0;
        }
        startFailed_ = !Spawn() || ReadLine(SteadyClock::now() + kStartWait) != kHelperReady;
        if (startFailed_) {
            Stop();
            startFailed_ = true;
        }
        return !startFailed_;
    }

    // count echoes from seq on; one result each, in order.
    std::vector<HelperEcho> Round(const std::string& ipText, std::uint16_t id, std::uint16_t seq,
                                  int timeoutMs, int count) {
        std::vector<HelperEcho> results(static_cast<std::size_t>(count));
        if (!Start()) {
            return results;
        }
        for (HelperEcho& result : results) {
            result.outcome = HelperEcho::Outcome::Failed;
        }
        const std::string request = FormatEchoRequest(ipText, id, seq, timeoutMs, count) + "\n";
        const Deadline deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs) +
                                  (count - 1) * std::chrono::milliseconds(kEchoGapMs) +
                                  kAnswerGrace;
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            Stop();
            return results;
        }
        for (int answered = 0; answered < count;) {
            const std::string answer = ReadLine(deadline);
            if (answer.empty()) {
                Stop();  // silent or gone: the next probe starts a new one
                return results;
            }
            if (answer == kAnswerBad) {
                return results;  // ipText was no address the helper accepts
            }
            EchoAnswer parsed;
            if (!ParseEchoAnswer(answer, &parsed) || parsed.id != id ||
                static_cast<std::uint16_t>(parsed.seq - seq) >= count) {
                continue;  // the late answer to an earlier request
            }
            const std::size_t slot = static_cast<std::uint16_t>(parsed.seq - seq);
            if (parsed.word == EchoAnswer::Word::Ok) {
                results[slot].outcome = HelperEcho::Outcome::Answered;
                results[slot].micros = parsed.micros;
            } else if (parsed.word == EchoAnswer::Word::Unsent) {
                results[slot].outcome = HelperEcho::Outcome::NotSent;
            }
            ++answered;
        }
        return results;
    }

    void Stop() {
        if (fd_ >= 0) {
            ::close(fd_);  // the helper ends at the end of its input
            fd_ = -1;
        }
        if (pid_ > 0) {
            pid_t reaped = 0;
            for (int i = 0; i < 100 && (reaped = ::waitpid(pid_, nullptr, WNOHANG)) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (reaped == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
            pid_ = -1;
        }
        buffer_.clear();
        startFailed_ = false;
    }

  private:
    bool Spawn() {
        const std::string path = PingHelperPath();
        int pair[2];
        if (path.empty() || ::access(path.c_str(), X_OK) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        const int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
        fd_ = pair[0];
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    // The next answer line without its newline; empty at the deadline, at the end
    // of the helper's output or when a line runs longer than any answer.
    std::string ReadLine(Deadline deadline) {
        for (;;) {
            const std::size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            char chunk[256];
            ssize_t n = -1;
            if (buffer_.size() <= kMaxAnswerLine && WaitForSocket(fd_, POLLIN, deadline) > 0) {
                n = ::recv(fd_, chunk, sizeof chunk, 0);
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return {};
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool startFailed_ = false;
    std::string buffer_;
};

// The helper processes of the run. A process serves one round at a time, so
// probes in flight at once each take one of their own, up to kMaxHelpers; more
// wait for one to come free. A start that failed is not tried again until
// PingHelperStop.
constexpr std::size_t kMaxHelpers = 32;

class HelperPool {
  public:
    // A helper ready for requests, all to the caller until Release; none when
    // none can start.
    HelperProcess* Acquire() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (failed_) {
                return nullptr;
            }
            if (const auto idle = std::find_if(slots_.begin(), slots_.end(),
                                               [](const Slot& slot) { return !slot.busy; });
                idle != slots_.end()) {
                idle->busy = true;
                return Started(idle->process.get(), lock);
            }
            if (slots_.size() < kMaxHelpers) {
                slots_.push_back({std::make_unique<HelperProcess>(), true});
                return Started(slots_.back().process.get(), lock);
            }
            freed_.wait(lock);
        }
    }

    void Release(HelperProcess* process) {
        {
            std::lock_guard lock(mutex_);
            for (Slot& slot : slots_) {
                slot.busy = slot.busy && slot.process.get() != process;
            }
        }
        freed_.notify_all();
    }

    // Ends every helper once none is in use, and forgets a failed start.
    void StopAll() {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] {
            return std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.busy; });
        });
        slots_.clear();
        failed_ = false;
    }

  private:
    struct Slot {
        std::unique_ptr<HelperProcess> process;
        bool busy = false;
    };

    // Starts the process, taken by the caller, outside the lock: a start may wait.
    HelperProcess* Started(HelperProcess* process, std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        const bool ready = process->Start();
        lock.lock();
        if (ready) {
            return process;
        }
        failed_ = true;
        for (Slot& slot : slots_) {
            slot.busy = slot.busy && slot.process.get() != process;
        }
        freed_.notify_all();
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<Slot> slots_;
    bool failed_ = false;
};

HelperPool& Helpers() {
    static HelperPool pool;
    return pool;
}

// A round through a helper of the pool; all Unavailable when none can start.
std::vector<HelperEcho> RoundThroughPool(const std::string& ipText, std::uint16_t id,
                                         std::uint16_t seq, int timeoutMs, int count) {
    HelperProcess* helper = Helpers().Acquire();
    if (helper == nullptr) {
        return std::vector<HelperEcho>(static_cast<std::size_t>(count));
    }
    WaitForSendSlot();  // the round's first request keeps to the pass's pacing
    std::vector<HelperEcho> results = helper->Round(ipText, id, seq, timeoutMs, count);
    Helpers().Release(helper);
    return results;
}

}  // namespace

std::string PingHelperPath() {
    if (const char* path = std::getenv("SENTREL_PING_HELPER"); path != nullptr && path[0] != '\0') {
        return path;
    }
    const std::string dir = ExecutableDir();
    const std::string installed = dir + "/../libexec/sentrel/sentrel-ping";
    if (::access(installed.c_str(), X_OK) == 0) {
        return installed;
    }
#ifdef SENTREL_BUILD_TREE
    // Only a program that runs from inside its build tree takes that tree's helper.
    // An installed copy never looks there: the folder may be gone, and in a shared
    // place anyone may make its path again. The running program's path has no
    // symbolic links, and neither has the tree's.
    const std::string tree = SENTREL_BUILD_TREE "/";
    if ((dir + "/").compare(0, tree.size(), tree) == 0) {
        return tree + "libexec/sentrel/sentrel-ping";
    }
#endif
    return {};
}

bool PingHelperStart() {
    HelperProcess* helper = Helpers().Acquire();
    Helpers().Release(helper);
    return helper != nullptr;
}

HelperEcho PingThroughHelper(const std::string& ipText, std::uint16_t id, std::uint16_t seq,
                             int timeoutMs) {
    return RoundThroughPool(ipText, id, seq, timeoutMs, 1).front();
}

std::vector<HelperEcho> PingRoundThroughHelper(const std::string& ipText, std::uint16_t id,
                                               std::uint16_t seq, int timeoutMs, int count) {
    assert(count >= 1 && count <= kMaxEchoesInRound);
    return RoundThroughPool(ipText, id, seq, timeoutMs, count);
}

namespace {
std::atomic<std::uint64_t> gHelperStops{0};
}  // namespace

void PingHelperStop() {
    Helpers().StopAll();
    ++gHelperStops;
}

std::uint64_t PingHelperStops() {
    return gHelperStops.load();
}

}  // namespace sentrel
