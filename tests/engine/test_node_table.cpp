// The node table: field limits, resets, status and row texts, probe results.
#include <gtest/gtest.h>

#include <limits>

#include "engine/node_table.h"
#include "engine/window_port.h"
#include "support/recording_window.h"

namespace sentrel {
namespace {

class NodeTableTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetEngineStateForTesting(); }
    void TearDown() override { ResetEngineStateForTesting(); }
};

NodeSlot MakeSlot(const std::string& address, const std::string& port, const std::string& title,
                  const std::string& status) {
    NodeSlot slot;
    slot.node.address = address;
    slot.node.port = port;
    slot.node.title = title;
    slot.status.statusText = status;
    return slot;
}

TEST_F(NodeTableTest, SetNodeCutsFieldsAndKeepsStatus) {
    NodeTable& table = NodeTable::Instance();
    NodeStatus status;
    status.statusText = "PING: 3 ms. ";
    status.failCount = 4;
    table.SetStatus(7, status);

    NodeEntry node{std::string(150, 'a'), "123456789", std::string(120, 't'), PING};
    table.SetNode(7, node);
    NodeSlot slot = table.Get(7);
    EXPECT_EQ(slot.node.address, std::string(99, 'a'));
    EXPECT_EQ(slot.node.port, "12345");
    EXPECT_EQ(slot.node.title, std::string(99, 't'));
    EXPECT_EQ(slot.node.probeType, PING);
    EXPECT_EQ(slot.status.statusText, "PING: 3 ms. ");
    EXPECT_EQ(slot.status.failCount, 4);

    table.SetIpText(7, std::string(40, '1'));
    EXPECT_EQ(table.Get(7).status.ipText, std::string(29, '1'));

    // Indexes outside the table are ignored and read as empty slots.
    table.SetNode(-1, node);
    table.SetNode(kMaxNodes, node);
    EXPECT_TRUE(table.Get(kMaxNodes).node.address.empty());
}

TEST_F(NodeTableTest, ResetsClearWhatTheyShould) {
    NodeTable& table = NodeTable::Instance();
    for (int i : {0, 50, 99}) {
        NodeSlot slot = MakeSlot("host", "81", "T", "*ERROR* count: 2");
        slot.node.probeType = PING;
        slot.status.ipText = "127.0.0.1";
        slot.status.failCount = 2;
        slot.status.alarmCount = 1;
        table.Set(i, slot);
    }
    table.DefaultPortIfEmpty(0, "80");
    EXPECT_EQ(table.Get(0).node.port, "81");

    // STOP: only the status texts.
    table.ResetStatusTexts();
    for (int i : {0, 50, 99}) {
        NodeSlot slot = table.Get(i);
        EXPECT_EQ(slot.status.statusText, "*unknown*");
        EXPECT_EQ(slot.status.ipText, "127.0.0.1");
        EXPECT_EQ(slot.status.failCount, 2);
        EXPECT_EQ(slot.status.alarmCount, 1);
        EXPECT_EQ(slot.node.address, "host");
    }

    // Full reset: every field, in every slot.
    ResetNodeTable();
    for (const NodeSlot& slot : table.Snapshot()) {
        EXPECT_TRUE(slot.node.address.empty());
        EXPECT_TRUE(slot.node.port.empty());
        EXPECT_TRUE(slot.node.title.empty());
        EXPECT_EQ(slot.node.probeType, HTTPD);
        EXPECT_TRUE(slot.status.ipText.empty());
        EXPECT_EQ(slot.status.statusText, "*unknown*");
        EXPECT_EQ(slot.status.failCount, 0);
        EXPECT_EQ(slot.status.alarmCount, 0);
    }
}

TEST(NodeTableTexts, FailureStatusIsRecognisedWithoutCase) {
    EXPECT_TRUE(IsFailureStatus("*ERROR* count: 1"));
    EXPECT_TRUE(IsFailureStatus("*error*"));
    EXPECT_TRUE(IsFailureStatus("*ErRoR* anything"));
    EXPECT_FALSE(IsFailureStatus("*ERROR"));
    EXPECT_FALSE(IsFailureStatus(" *ERROR* count: 1"));
    EXPECT_FALSE(IsFailureStatus("*ERR0R*"));
    EXPECT_FALSE(IsFailureStatus(""));
    EXPECT_FALSE(IsFailureStatus("*unknown*"));
    EXPECT_FALSE(IsFailureStatus("PING: 1 ms. "));
}

TEST(NodeTableTexts, StatusTexts) {
    EXPECT_EQ(SuccessStatusText(PING, 23), "PING: 23 ms. ");
    EXPECT_EQ(SuccessStatusText(HTTPD, 30000), "HTTP: 30000 bytes. ");
    EXPECT_EQ(SuccessStatusText(5, 1), "PING: 1 ms. ");  // any type but HTTPD is PING
    EXPECT_EQ(FailureStatusText(1), "*ERROR* count: 1");
    EXPECT_EQ(FailureStatusText(999999), "*ERROR* count: 999999");
    EXPECT_EQ(FailureStatusText(12345678), "*ERROR* count: 12345678");
}

TEST(NodeTableTexts, RowTexts) {
    // Title wins; 30 blanks make the 41-character column.
    EXPECT_EQ(StatusRowText(MakeSlot("10.0.0.1", "8080", "Mail server", "PING: 23 ms. ")),
              "Mail server" + std::string(30, ' ') + "PING: 23 ms. ");
    // Long title cut to 40, then one blank.
    EXPECT_EQ(StatusRowText(MakeSlot("h", "", std::string(50, 'T'), "*unknown*")),
              std::string(40, 'T') + " *unknown*");
    // Address with a port other than 80.
    EXPECT_EQ(StatusRowText(MakeSlot("web.example", "8080", "", "*unknown*")),
              "web.example port:8080" + std::string(20, ' ') + "*unknown*");
    // Port 80 and empty port show no port part.
    EXPECT_EQ(StatusRowText(MakeSlot("web.example", "80", "", "x")),
              "web.example" + std::string(30, ' ') + "x");
    EXPECT_EQ(StatusRowText(MakeSlot("web.example", "", "", "x")),
              "web.example" + std::string(30, ' ') + "x");
    // Address cut to 40, the port part makes the name longer than the column.
    EXPECT_EQ(StatusRowText(MakeSlot(std::string(60, 'a'), "81", "", "x")),
              std::string(40, 'a') + " port:81x");
}

TEST_F(NodeTableTest, RowsEndAtTheFirstEmptyAddress) {
    NodeTable& table = NodeTable::Instance();
    table.Set(0, MakeSlot("one", "", "", "*unknown*"));
    table.Set(1, MakeSlot("two", "", "", "*unknown*"));
    table.Set(3, MakeSlot("four", "", "", "*unknown*"));
    std::vector<std::string> rows = StatusRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].substr(0, 3), "one");
    EXPECT_EQ(rows[1].substr(0, 3), "two");
}

TEST_F(NodeTableTest, ProbeResultsCountAndReset) {
    NodeTable& table = NodeTable::Instance();
    NodeSlot slot = MakeSlot("127.0.0.1", "80", "", "*unknown*");
    table.Set(0, slot);
    for (int n = 1; n <= 3; ++n) {
        NodeStatus s = table.ApplyProbeResult(0, n == 2 ? -1 : 0);
        EXPECT_EQ(s.failCount, n);
        EXPECT_EQ(s.statusText, "*ERROR* count: " + std::to_string(n));
    }
    table.Modify(0, [](NodeSlot& s) { s.status.alarmCount = 2; });
    NodeStatus ok = table.ApplyProbeResult(0, 512);
    EXPECT_EQ(ok.statusText, "HTTP: 512 bytes. ");
    EXPECT_EQ(ok.failCount, 0);
    EXPECT_EQ(ok.alarmCount, 0);
    EXPECT_EQ(table.Get(0).status.statusText, "HTTP: 512 bytes. ");

    // A count at the top of its range does not wrap round.
    table.Modify(
        0, [](NodeSlot& s) { s.status.failCount = std::numeric_limits<std::int32_t>::max(); });
    EXPECT_EQ(table.ApplyProbeResult(0, 0).failCount, std::numeric_limits<std::int32_t>::max());
}

TEST_F(NodeTableTest, EngineStateAndWindowWrappers) {
    SetLastScanText("Thu Jan  2 09:05:07 1997\n");
    ScanBusy = 1;
    ScanAbort = 1;
    MonitorRunning = 1;
    NodeTable::Instance().Set(0, MakeSlot("x", "", "", "*unknown*"));
    EXPECT_EQ(GetLastScanText(), "Thu Jan  2 09:05:07 1997\n");
    ResetEngineStateForTesting();
    EXPECT_EQ(GetLastScanText(), "");
    EXPECT_EQ(ScanBusy.load() + ScanAbort.load() + MonitorRunning.load(), 0);
    EXPECT_TRUE(StatusRows().empty());

    // No window: nothing happens and messages answer Ok.
    ASSERT_EQ(MainWindowHandle(), nullptr);
    WindowSetTitle("t");
    WindowRedraw();
    EXPECT_EQ(WindowMessage("m", kAppTitle, MessageIcon::Stop, MessageButtons::YesNo),
              MessageAnswer::Ok);
    {
        testing::RecordingWindow window;
        window.OnMessage([](const testing::RecordedMessage&) { return MessageAnswer::No; });
        WindowSetTitle("t");
        WindowBeginWaitCursor();
        WindowEndWaitCursor();
        EXPECT_EQ(WindowMessage("m", kAppTitle, MessageIcon::Question, MessageButtons::YesNo),
                  MessageAnswer::No);
        WindowRedraw();
        EXPECT_EQ(window.Calls(), (std::vector<std::string>{"title:t", "cursor:on", "cursor:off",
                                                            "message:m", "redraw"}));
    }
    EXPECT_EQ(MainWindowHandle(), nullptr);
}

}  // namespace
}  // namespace sentrel
