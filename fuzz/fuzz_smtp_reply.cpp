// Drives the real mailer, SendAlertMail, against a loopback SMTP server that
// answers with the fuzz input, and checks the outcome against the clear-text
// dialogue's reply rule (each receive judged by the number at its start).
//
// Input: the replies, separated by NUL bytes; each piece (cut to the 3000-byte reply
// buffer) is sent once the client has read the one before, so each is one receive;
// then "0\r\n" until the client gives up. The result is MailSent exactly when the six
// awaited codes (220, 250, 250, 250, 354, 250) each came within five replies, read
// as atoi reads them; HELO, MAIL, RCPT, DATA and QUIT go out once each, when due.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "alerts/smtp_mailer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReplyBuffer = 3000;
constexpr std::size_t kMaxPieces = 64;
constexpr std::chrono::milliseconds kReceiveTimeout{2000};
constexpr std::chrono::milliseconds kBudget{5000};
const char* const kFiller = "0\r\n";
const char* const kMessage =
    "This is a message from Sentrel.\nThe following Server is NOT responding:\n10.0.0.9";

int g_listener = -1;
std::uint16_t g_port = 0;
sentrel::MonitorSettings g_settings;  // no Email_ keys but the listener's port

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_smtp_reply: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The code as the C library's atoi reads it, compared with `expected`.
bool CodeIs(const std::string& reply, int expected) {
    std::size_t i = reply.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos || reply[i] == '-') {
        return false;
    }
    i += reply[i] == '+';
    i = std::min(reply.find_first_not_of('0', i), reply.size());
    const std::size_t end = std::min(reply.find_first_not_of("0123456789", i), reply.size());
    return reply.substr(i, std::min<std::size_t>(end - i, 12)) == std::to_string(expected);
}

// How many of the six awaited replies the dialogue gets (6: the mail is sent).
int ExpectedStage(const std::vector<std::string>& pieces) {
    static const int kExpected[] = {220, 250, 250, 250, 354, 250};
    std::size_t next = 0;
    for (int stage = 0, attempt = 0; stage < 6; ++next) {
        if (CodeIs(next < pieces.size() ? pieces[next] : kFiller, kExpected[stage])) {
            ++stage, attempt = 0;
        } else if (++attempt == 5) {
            return stage;
        }
    }
    return 6;
}

int FindClientSocket(std::uint16_t clientPort) {
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in local{}, peer{};
        socklen_t a = sizeof local, b = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == clientPort &&
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0 &&
            ntohs(peer.sin_port) == g_port) {
            return fd;
        }
    }
    return -1;
}

// Reads what the client has sent so far; false once it has closed.
bool Drain(int conn, std::string* transcript) {
    char buf[4096];
    ssize_t n;
    while ((n = recv(conn, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        transcript->append(buf, static_cast<std::size_t>(n));
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

void Serve(const std::vector<std::string>* pieces, std::string* transcript) {
    pollfd p{g_listener, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) {
        return;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int conn = accept(g_listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (conn < 0) {
        return;
    }
    // Every piece leaves at once, not held back until the last one is acknowledged.
    int one = 1;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int client = FindClientSocket(ntohs(peer.sin_port));
    std::size_t next = 0;
    std::uint64_t sent = 0;
    auto sendNext = [&] {
        const std::string piece = next < pieces->size() ? (*pieces)[next] : kFiller;
        ++next;
        ssize_t n = send(conn, piece.data(), piece.size(), MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    };
    sendNext();
    const auto giveUp = Clock::now() + kBudget + std::chrono::seconds(2);
    while (client >= 0 && Clock::now() < giveUp && next < pieces->size() + 64) {
        if (!Drain(conn, transcript)) {
            break;
        }
        // The next piece goes out once the client's socket got the last one and it was
        // read; the client socket closing ends the dialogue.
        tcp_info info{};
        socklen_t infoLen = sizeof info;
        int waiting = 0;
        if (ioctl(client, SIOCINQ, &waiting) != 0 ||
            getsockopt(client, IPPROTO_TCP, TCP_INFO, &info, &infoLen) != 0) {
            break;
        }
        if (info.tcpi_bytes_received >= sent && waiting == 0) {
            sendNext();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    // Whatever the client sent before it closed.
    const auto drainUntil = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < drainUntil) {
        pollfd c{conn, POLLIN, 0};
        if (poll(&c, 1, 50) > 0 && !Drain(conn, transcript)) {
            break;
        }
    }
    close(conn);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + 1), ++n) {
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (g_listener < 0 || bind(g_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(g_listener, 4) != 0 ||
        getsockname(g_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("fuzz_smtp_reply: loopback listener");
        std::exit(1);
    }
    g_port = ntohs(addr.sin_port);
    g_settings.Email_Port = g_port;
    sentrel::SetSmtpTimingForTesting(kReceiveTimeout, kBudget);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = 0, end; at <= size && pieces.size() < kMaxPieces; at = end + 1) {
        end = std::min(input.find('\0', at), size);
        if (end > at)
            pieces.push_back(input.substr(at, std::min(end - at, kReplyBuffer)));
    }
    const int stage = ExpectedStage(pieces);

    std::string transcript;
    std::thread server(Serve, &pieces, &transcript);
    const auto start = Clock::now();
    const sentrel::MailResult result =
        sentrel::SendAlertMail("127.0.0.1", "ops@example.org", "pager@example.org", "Node down",
                               kMessage, sentrel::MailTransportFromSettings(g_settings));
    const auto took = Clock::now() - start;
    server.join();

    // A call cut off by its time budget (a machine too busy) proves nothing.
    if (took >= kBudget - std::chrono::milliseconds(500)) {
        return 0;
    }
    const std::string detail = "stage " + std::to_string(stage) + ", result " +
                               std::to_string(result) + ", transcript:\n" + transcript;
    auto check = [&](bool ok, const char* what) { ok ? void() : Fail(what, detail); };
    check((stage == 6) == (result == sentrel::MailSent) && result != sentrel::MailNoSocket,
          "result does not follow the replies");
    const char* const commands[] = {"HELO ", "MAIL From: ", "RCPT To: ", "DATA\r\n", "QUIT\r\n"};
    for (int i = 0; i < 5; ++i) {  // each once, after the reply before it came
        check(Count(transcript, commands[i]) == (stage > i + (i == 4) ? 1u : 0u), commands[i]);
    }
    check(stage < 5 || transcript.find("\r\n.\r\n") != std::string::npos, "data without its end");
    return 0;
}
