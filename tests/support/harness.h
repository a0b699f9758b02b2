// What the tests share: a temporary folder, a TCP peer on 127.0.0.1, a private
// network namespace and a recording main window.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/node_table.h"
#include "platform/window_port.h"

namespace sentrel::testing {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A fresh folder, removed at destruction; UseAsConfigHome points XDG_CONFIG_HOME at it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void UseAsConfigHome() { home_ = ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1) == 0; }
    std::string iniPath() const { return file("sentrel/tarn.ini"); }

  private:
    std::string path_;
    bool home_ = false;
};

std::string ReadFile(const std::string& path);                            // bytes as they are
bool WriteFile(const std::string& path, const std::string& bytes);        // creates the folders
bool WaitUntil(const std::function<bool()>& condition, Ms timeout = 5s);  // polls: true if held
void ResetEngine();  // the flags 0, the node table cleared, LastScanText empty
// "Www Mmm dd hh:mm:ss yyyy": letters, digits and separators where a time stamp has them.
bool IsTimeStamp(const std::string& text);

// A connection as a peer's script sees it; every wait also ends when the peer stops.
class Connection {
  public:
    // Up to and including a line feed; false on close, time-out or stop (*line: what came).
    bool ReadLine(std::string* line, Ms timeout = 5s);
    bool Send(const std::string& bytes);  // false when the client went away
    void Hold() {                         // reads until the client closes or the peer stops
        while (ReadSome(Clock::now() + 3600s) > 0) {
        }
    }
    bool reset = false;  // set: ends with a reset instead of an orderly close

  private:
    friend class LoopbackPeer;
    Connection(std::vector<std::string>& log, std::mutex& m, int fd, int stop)
        : log_(log), mutex_(m), fd_(fd), stop_(stop) {}
    int ReadSome(Clock::time_point deadline);  // bytes read, 0 closed, -1 none
    std::vector<std::string>& log_;
    std::mutex& mutex_;
    int fd_, stop_;
    std::string pending_;
};

// TCP on 127.0.0.1 (::1 with ipv6), a kernel-chosen port: one connection at a time, own thread.
class LoopbackPeer {
  public:
    enum class Mode {
        Answer,         // reads a line, sends the text, closes (empty text: closes at once)
        Silent,         // accepts and holds each connection without a byte
        OneBytePieces,  // reads a line, sends the text one byte per segment, closes
    };
    LoopbackPeer(Mode mode, std::string text = {});
    explicit LoopbackPeer(std::function<void(Connection&)> script, bool ipv6 = false);
    ~LoopbackPeer();                    // returns promptly whatever the client does
    int port() const { return port_; }  // 0 when it could not listen
    std::string portText() const { return std::to_string(port_); }
    int accepted() const { return accepted_.load(); }
    std::vector<std::string> received() const;  // per connection, in order of acceptance
    static int RefusedPort() {                  // bound once, then released: connecting is refused
        return LoopbackPeer([](Connection&) {}).port();
    }

  private:
    std::function<void(Connection&)> script_;
    int listen_, stop_, port_ = 0;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

// Runs body on its own thread in a fresh network namespace with lo up; false when not root.
bool InPrivateNetNamespace(const std::function<void()>& body);
bool SetNetSysctl(const std::string& name, const std::string& value);  // "ipv4/..."

struct RecordedMessage {
    std::string text, caption;
    MessageIcon icon;
    MessageButtons buttons;
};

// The main window while it lives. Calls: "title:<t>", "redraw", "message:<text>", "cursor:on",
// "cursor:off"; messages answer Ok or Yes. onRedraw (set before a pass) runs on its thread.
class RecordingWindow : public ScanWindow {
  public:
    RecordingWindow() { SetMainWindowHandle(this); }
    ~RecordingWindow() override { SetMainWindowHandle(nullptr); }
    void SetTitle(const std::string& title) override { Add("title:" + title); }
    void RedrawNow() override { Add("redraw", StatusRows()); }
    MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                              MessageButtons buttons) override;
    void BeginWaitCursor() override { Add("cursor:on"); }
    void EndWaitCursor() override { Add("cursor:off"); }
    std::vector<std::string> Calls() const { return Locked(calls_); }
    std::vector<RecordedMessage> Messages() const { return Locked(messages_); }
    std::vector<std::vector<std::string>> Redraws() const { return Locked(redraws_); }
    std::function<void(const std::vector<std::string>& rows)> onRedraw;

  private:
    template <typename T>
    T Locked(const T& v) const {
        std::lock_guard lock(mutex_);
        return v;
    }
    void Add(const std::string& call, std::optional<std::vector<std::string>> rows = {},
             std::optional<RecordedMessage> message = {});
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<RecordedMessage> messages_;
    std::vector<std::vector<std::string>> redraws_;
};

}  // namespace sentrel::testing
