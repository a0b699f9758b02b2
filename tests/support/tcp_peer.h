// A scriptable TCP server on 127.0.0.1 for tests.
//
// TcpPeer listens on a port the kernel picks (see port()), serves one connection at
// a time on a thread of its own and records every byte each connection sends it.
// It stops when destroyed: every wait inside it also watches a stop signal, so the
// destructor returns within about a second whatever the client does.
//
//   TcpPeer peer(TcpPeer::Behaviour::Answer, 1234);   // HTTP/0.9-like: 1234 bytes
//   ... connect to 127.0.0.1:peer.port() ...
//   EXPECT_EQ(peer.receivedPerConnection().at(0), "GET /\n");
//
// For a dialogue of your own (an SMTP server, say), pass a script: it gets each
// accepted connection and reads and writes through PeerConnection; the connection
// is closed when the script returns.
//
//   TcpPeer smtp([](PeerConnection& c) {
//       c.Send("220 ready\r\n");
//       std::string line;
//       while (c.ReadLine(&line, std::chrono::seconds(5))) { ... }
//   });
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sentrel::testing {

class TcpPeer;

// One accepted connection, as a script sees it. Every wait ends early when the peer
// is being stopped; everything read is added to the peer's record.
class PeerConnection {
  public:
    // Waits up to timeout for data and returns what one read gave; empty when the
    // client closed, nothing came in time, or the peer stops.
    std::string ReadSome(std::chrono::milliseconds timeout);
    // Reads until what was read ends with terminator, within timeout overall. The
    // bytes read are in *text in every case; true when the terminator came.
    bool ReadUntil(const std::string& terminator, std::string* text,
                   std::chrono::milliseconds timeout);
    // One line up to and including its line feed.
    bool ReadLine(std::string* line, std::chrono::milliseconds timeout) {
        return ReadUntil("\n", line, timeout);
    }
    // Sends all bytes, waiting for room up to timeout overall; false when the client
    // went away, time ran out or the peer stops.
    bool Send(const std::string& bytes,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Keeps the connection open without answering, recording what arrives, until the
    // client closes it or the peer stops.
    void Hold();
    // Closes at once with a reset (SO_LINGER 0) instead of an orderly close.
    void Reset();

    bool clientClosed() const { return clientClosed_; }
    bool stopping() const;
    int index() const { return index_; }  // 0 for the first connection

  private:
    friend class TcpPeer;
    PeerConnection(TcpPeer& peer, int fd, int index) : peer_(peer), fd_(fd), index_(index) {}
    // 1 readable, 0 time-out, -1 stop or error.
    int WaitReadable(std::chrono::steady_clock::time_point deadline);
    ssize_t ReadOnce(std::string* data = nullptr);
    void Drain();
    void Finish();

    TcpPeer& peer_;
    int fd_;
    int index_;
    bool clientClosed_ = false;
    bool reset_ = false;
};

using PeerScript = std::function<void(PeerConnection&)>;

class TcpPeer {
  public:
    enum class Behaviour {
        Answer,            // reads the request (up to a line feed), sends `bytes` bytes, closes
        Silent,            // never answers; holds each connection, recording what comes
        Flood,             // reads the request, sends `bytes` bytes (default 1 MB), closes
        OneByteThenHang,   // reads the request, sends one byte, then holds the connection
        ResetAfterAccept,  // resets each connection right after accepting it
        CloseWithoutData,  // reads the request (up to a line feed), closes without a byte
    };

    // bytes: the answer size for Answer (default 100) and Flood (default 1 MB).
    explicit TcpPeer(Behaviour behaviour, std::size_t bytes = 0);
    explicit TcpPeer(PeerScript script);
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    // False when the listening socket could not be set up; port() is 0 then.
    bool listening() const { return port_ != 0; }
    int port() const { return port_; }
    // 127.0.0.1 and port(), ready for connect().
    sockaddr_in address() const;

    int accepted() const { return accepted_.load(); }
    // Every byte received, all connections in order of acceptance.
    std::string received() const;
    std::vector<std::string> receivedPerConnection() const;
    bool WaitForAccepted(int count, std::chrono::milliseconds timeout) const;
    bool WaitForReceived(std::size_t bytes, std::chrono::milliseconds timeout) const;

    // The bytes the Answer behaviour sends: a repeating text pattern of that size.
    static std::string AnswerText(std::size_t bytes);

  private:
    friend class PeerConnection;
    void Start();
    void Serve();
    void Record(int index, const char* data, std::size_t size);

    PeerScript script_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> received_;
    std::thread thread_;
};

}  // namespace sentrel::testing
