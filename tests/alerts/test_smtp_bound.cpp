// The mailer's real time limits: a server that accepts the connection and then
// says nothing must not hold the caller for a minute.
#include <gtest/gtest.h>

#include <chrono>

#include "alerts/smtp_mailer.h"
#include "support/smtp_peer.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;

TEST(SmtpBound, SilentServerEndsTheCallWellWithinAMinute) {
    testing::SmtpPeer peer;
    peer.SetGreeting({});
    peer.Start();
    SetSmtpPortForTesting(peer.port());
    const auto start = std::chrono::steady_clock::now();
    const MailResult result =
        SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m");
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SetSmtpPortForTesting(0);
    EXPECT_EQ(result, MailFailed);
    // Five receives of 10 s with a 500 ms pause after each, under the 55 s budget.
    EXPECT_GE(took, 50.0);
    EXPECT_LE(took, 56.0);
    EXPECT_TRUE(peer.WaitForEndedSessions(1, 5s));
}

}  // namespace
}  // namespace sentrel
