// A scripted SMTP server on 127.0.0.1 for the mailer's tests. It runs on a
// thread of its own, takes one connection after another, records every byte a
// client sends and answers each command line as its responder says. Every wait
// inside it is short and watches the stop flag, so the destructor always ends
// it promptly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sentrel::testing {

// One piece the peer sends: after `delay`, the bytes of `text` (nothing when
// empty); then, with `close`, the connection is closed.
struct SmtpReply {
    std::string text;
    std::chrono::milliseconds delay{0};
    bool close = false;
};

struct SmtpSession {
    std::string received;               // every byte the client sent, in order
    std::vector<std::string> commands;  // command lines without their line end (data excluded)
    std::string data;                   // the DATA section up to and including "\r\n.\r\n"
    bool dataComplete = false;          // the end-of-data line was seen
    bool quitAfterDataReply = false;    // QUIT was the first command after the data's reply
    bool clientClosed = false;          // the client closed its end first
};

class SmtpPeer {
  public:
    // Answers one command line (without CR LF) with pieces sent in order.
    using Responder = std::function<std::vector<SmtpReply>(const std::string& command)>;

    SmtpPeer();  // listens at once on an ephemeral port of 127.0.0.1
    ~SmtpPeer();
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;

    // Script; set before Start().
    void SetGreeting(std::vector<SmtpReply> pieces) { greeting_ = std::move(pieces); }
    void SetResponder(Responder responder) { responder_ = std::move(responder); }
    void SetDataReply(std::vector<SmtpReply> pieces) { dataReply_ = std::move(pieces); }

    void Start();
    std::uint16_t port() const { return port_; }

    // Finished sessions and the one in progress, in order of connection.
    std::vector<SmtpSession> Sessions() const;
    int Connections() const;
    // Waits until `count` sessions have ended; false when the time ran out.
    bool WaitForEndedSessions(int count, std::chrono::milliseconds limit) const;

    // The ordinary answers: 250 to HELO, MAIL and RCPT, 354 to DATA, 221 and
    // close to QUIT, 500 to anything else.
    static std::vector<SmtpReply> StandardReply(const std::string& command);

  private:
    void Run();
    void Serve(int fd, int sessionIndex);
    bool SendPieces(int fd, const std::vector<SmtpReply>& pieces);
    bool SleepUnlessStopped(std::chrono::milliseconds delay);
    template <typename F>
    void Update(int sessionIndex, F change);

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<SmtpReply> greeting_{{"220 peer.test ESMTP ready\r\n"}};
    std::vector<SmtpReply> dataReply_{{"250 2.0.0 queued\r\n"}};
    Responder responder_ = &SmtpPeer::StandardReply;

    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<SmtpSession> sessions_;
    int ended_ = 0;
};

// A loopback port that was free a moment ago: nothing listens on it, so a
// connection to it is refused.
std::uint16_t UnusedLoopbackPort();

}  // namespace sentrel::testing
