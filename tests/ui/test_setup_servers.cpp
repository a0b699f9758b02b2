// The Servers page and the node dialog: the list lines, Add, Edit and Delete.
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "config/settings.h"
#include "setup_test_util.h"
#include "ui/dialogs.h"
#include "ui/node_dlg.h"
#include "ui/servers_page.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CNodeDlg;
using sentrel::ui::CSERVERS;

namespace {

MonitorSettings WithNodes(int count) {
    MonitorSettings s;
    for (int i = 0; i < count; ++i) {
        s.NodeList[i] = {"host" + std::to_string(i), std::to_string(8000 + i),
                         "Title " + std::to_string(i), i % 2};
    }
    return s;
}

QStringList Lines(CSERVERS* page) {
    QStringList lines;
    auto* list = Find<QListWidget>(page, "nodeList");
    for (int i = 0; i < list->count(); ++i) {
        lines << list->item(i)->text();
    }
    return lines;
}

// Watches for the node dialog over the next 300 ms, rejecting it if it comes;
// the flag tells whether it came.
std::shared_ptr<bool> WatchForNodeDialog() {
    auto opened = std::make_shared<bool>(false);
    WhenShown<CNodeDlg>(
        [opened](CNodeDlg* d) {
            *opened = true;
            d->reject();
        },
        300);
    return opened;
}

void Select(CSERVERS* page, int row) {
    auto* list = Find<QListWidget>(page, "nodeList");
    list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

}  // namespace

class ServersPageTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { ui::SetDialogTestModeForTesting(true); }
    void init() { ui::ClearDialogTestStateForTesting(); }
    void cleanup() { CheckDialogsSettled(); }

    void linesFollowTheNodeFormat() {
        QCOMPARE(ui::NodeLineText({"10.1.2.3", "", "Router", PING}),
                 QStringLiteral("NODE:10.1.2.3\t  \tTITLE: Router  \tTYPE: PING"));
        QCOMPARE(ui::NodeLineText({"www", "8080", "", HTTPD}),
                 QStringLiteral("NODE:www  \tPORT: 8080\t  \tTYPE: HTTPD"));
        QCOMPARE(ui::NodeLineText({"a", "", "", HTTPD}),
                 QStringLiteral("NODE:a\t\t  \tTYPE: HTTPD"));
        // A hand-edited type shows no type word.
        QCOMPARE(ui::NodeLineText({"b", "1", "t", 7}),
                 QStringLiteral("NODE:b  \tPORT: 1  \tTITLE: t  \tTYPE: "));

        // The list stops at the first free slot.
        MonitorSettings s = WithNodes(3);
        s.NodeList[1].address.clear();
        auto page = ShownPage<CSERVERS>(s);
        QCOMPARE(Lines(page.get()), QStringList{ui::NodeLineText(s.NodeList[0])});
        auto* list = Find<QListWidget>(page.get(), "nodeList");
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
        QVERIFY(!list->isSortingEnabled());
    }

    void emptyListEditAndDeleteDoNothingAddUsesSlotZero() {
        auto page = ShownPage<CSERVERS>(MonitorSettings{});
        QVERIFY(Lines(page.get()).isEmpty());
        const auto dialogOpened = WatchForNodeDialog();
        Click(Find<QPushButton>(page.get(), "editButton"));
        Click(Find<QPushButton>(page.get(), "deleteButton"));
        QTest::qWait(400);
        QVERIFY(!*dialogOpened);
        QVERIFY(ui::ShownMessagesForTesting().isEmpty());

        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("Server / Node Setup"));
            QCOMPARE(Find<QLabel>(d, "modeLabel")->text(), QStringLiteral("Add"));
            QVERIFY(Find<QLineEdit>(d, "addressEdit")->text().isEmpty());
            QVERIFY(Find<QRadioButton>(d, "httpdRadio")->isChecked());
            QVERIFY(Find<QLineEdit>(d, "portEdit")->isEnabled());
            TypeInto(Find<QLineEdit>(d, "addressEdit"), QStringLiteral("first.example"));
            Click(Find<QRadioButton>(d, "pingRadio"));
            QVERIFY(!Find<QLineEdit>(d, "portEdit")->isEnabled());
            Click(Find<QPushButton>(d, "okButton"));
        });
        Click(Find<QPushButton>(page.get(), "addButton"));
        QVERIFY(!watchdog.fired());
        QCOMPARE(page->NodeList[0], (NodeEntry{"first.example", "", "", PING}));
        QCOMPARE(Lines(page.get()).size(), 1);
    }

    void addFillsTheLastSlotThenRefuses() {
        MonitorSettings s = WithNodes(99);
        s.NodeList[99] = {"", "99", "stale title", PING};  // a free slot may hold leftovers
        auto page = ShownPage<CSERVERS>(s);
        QCOMPARE(Lines(page.get()).size(), 99);
        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            TypeInto(Find<QLineEdit>(d, "addressEdit"), QStringLiteral("last.example"));
            Click(Find<QPushButton>(d, "okButton"));
        });
        Click(Find<QPushButton>(page.get(), "addButton"));
        QCOMPARE(Lines(page.get()).size(), 100);
        // The found slot was cleared before the new values went in.
        QCOMPARE(page->NodeList[99], (NodeEntry{"last.example", "", "", HTTPD}));

        const auto dialogOpened = WatchForNodeDialog();
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Find<QPushButton>(page.get(), "addButton"));
        QTest::qWait(400);
        QVERIFY(!*dialogOpened);
        QVERIFY(!watchdog.fired());
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("*LIMIT* Only 100 nodes can be monitored."));
        QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));
        QCOMPARE(shown[0].icon, MessageIcon::Exclamation);
        QCOMPARE(shown[0].buttons, MessageButtons::Ok);
        QCOMPARE(Lines(page.get()).size(), 100);
    }

    void deleteClosesTheGapOrChangesNothing() {
        const MonitorSettings s = WithNodes(3);
        auto page = ShownPage<CSERVERS>(s);

        Select(page.get(), 0);
        ui::QueueMessageAnswerForTesting(MessageAnswer::No);
        Click(Find<QPushButton>(page.get(), "deleteButton"));
        QVERIFY(page->NodeList == s.NodeList);
        QCOMPARE(Lines(page.get()).size(), 3);

        Select(page.get(), 0);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        Click(Find<QPushButton>(page.get(), "deleteButton"));
        QCOMPARE(page->NodeList[0], s.NodeList[1]);
        QCOMPARE(page->NodeList[1], s.NodeList[2]);
        QCOMPARE(page->NodeList[2], NodeEntry{});
        QCOMPARE(Lines(page.get()),
                 (QStringList{ui::NodeLineText(s.NodeList[1]), ui::NodeLineText(s.NodeList[2])}));
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[0].text, QStringLiteral("Are you sure?"));
        QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));
        QCOMPARE(shown[0].buttons, MessageButtons::YesNo);

        // The last of 100: only slot 99 is cleared.
        const MonitorSettings full = WithNodes(100);
        auto fullPage = ShownPage<CSERVERS>(full);
        Select(fullPage.get(), 99);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        Click(Find<QPushButton>(fullPage.get(), "deleteButton"));
        QCOMPARE(fullPage->NodeList[99], NodeEntry{});
        QCOMPARE(fullPage->NodeList[98], full.NodeList[98]);
        QCOMPARE(Lines(fullPage.get()).size(), 99);
    }

    void editingAPingNodeKeepsItsGreyedPort() {
        MonitorSettings s = WithNodes(2);
        s.NodeList[1] = {"pinged", "4443", "Ping me", PING};
        auto page = ShownPage<CSERVERS>(s);
        Select(page.get(), 1);
        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            QCOMPARE(Find<QLabel>(d, "modeLabel")->text(), QStringLiteral("Edit"));
            auto* port = Find<QLineEdit>(d, "portEdit");
            QVERIFY(Find<QRadioButton>(d, "pingRadio")->isChecked());
            QVERIFY(!port->isEnabled());
            QCOMPARE(port->text(), QStringLiteral("4443"));
            Click(Find<QRadioButton>(d, "httpdRadio"));
            QVERIFY(port->isEnabled());
            QCOMPARE(port->text(), QStringLiteral("4443"));
            Click(Find<QRadioButton>(d, "pingRadio"));
            TypeInto(Find<QLineEdit>(d, "titleEdit"), QStringLiteral("Renamed"));
            Click(Find<QPushButton>(d, "okButton"));
        });
        // A double-click edits as the button does.
        auto* list = Find<QListWidget>(page.get(), "nodeList");
        const QRect row = list->visualItemRect(list->item(1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
        QVERIFY(!watchdog.fired());
        QCOMPARE(page->NodeList[1], (NodeEntry{"pinged", "4443", "Renamed", PING}));
        QCOMPARE(Lines(page.get())[1],
                 QStringLiteral("NODE:pinged  \tPORT: 4443  \tTITLE: Renamed  \tTYPE: PING"));
    }

    void clearedOrEmptyAddressesEndTheList() {
        const MonitorSettings s = WithNodes(3);
        auto page = ShownPage<CSERVERS>(s);
        Select(page.get(), 1);
        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            TypeInto(Find<QLineEdit>(d, "addressEdit"), QString());
            Click(Find<QPushButton>(d, "okButton"));
        });
        Click(Find<QPushButton>(page.get(), "editButton"));
        QCOMPARE(Lines(page.get()).size(), 1);
        QCOMPARE(page->NodeList[2], s.NodeList[2]);  // still there, no longer listed

        // Add with an empty address leaves the found slot free.
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            TypeInto(Find<QLineEdit>(d, "titleEdit"), QStringLiteral("nameless"));
            Click(Find<QPushButton>(d, "okButton"));
        });
        Click(Find<QPushButton>(page.get(), "addButton"));
        QVERIFY(!watchdog.fired());
        QCOMPARE(Lines(page.get()).size(), 1);
        QVERIFY(page->NodeList[1].address.empty());
    }

    void cancelInTheDialogChangesNothing() {
        const MonitorSettings s = WithNodes(2);
        auto page = ShownPage<CSERVERS>(s);
        Select(page.get(), 0);
        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            TypeInto(Find<QLineEdit>(d, "addressEdit"), QStringLiteral("changed"));
            TypeInto(Find<QLineEdit>(d, "titleEdit"), QStringLiteral("changed"));
            TypeInto(Find<QLineEdit>(d, "portEdit"), QStringLiteral("1"));
            Click(Find<QRadioButton>(d, "pingRadio"));
            Click(Find<QPushButton>(d, "cancelButton"));
        });
        Click(Find<QPushButton>(page.get(), "editButton"));
        QVERIFY(!watchdog.fired());
        QVERIFY(page->NodeList == s.NodeList);
    }

    void dialogLimitsAndUnknownTypes() {
        // A type that is neither HTTPD nor PING sets no button; OK then gives HTTPD.
        CNodeDlg dialog;
        dialog.Mode = "Edit";
        dialog.Address = std::string(60, 'a');  // never typed: longer than the field allows
        dialog.ProbeType = 5;
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        ModalWatchdog watchdog;
        WhenShown<CNodeDlg>([](CNodeDlg* d) {
            QVERIFY(!Find<QRadioButton>(d, "httpdRadio")->isChecked());
            QVERIFY(!Find<QRadioButton>(d, "pingRadio")->isChecked());
            QVERIFY(Find<QLineEdit>(d, "portEdit")->isEnabled());
            auto* address = Find<QLineEdit>(d, "addressEdit");
            QCOMPARE(address->text().size(), 60);  // shown whole, not cut
            Click(Find<QPushButton>(d, "okButton"));
            QVERIFY(d->isVisible());  // refused
            TypeInto(address, QString(70, u'b'));
            QCOMPARE(address->text().size(), 49);  // typing stops at the limit
            QCOMPARE(Find<QLineEdit>(d, "titleEdit")->maxLength(), 49);
            QCOMPARE(Find<QLineEdit>(d, "portEdit")->maxLength(), 5);
            Click(Find<QPushButton>(d, "okButton"));
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(!watchdog.fired());
        QCOMPARE(dialog.Address, std::string(49, 'b'));
        QCOMPARE(dialog.ProbeType, 0);
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("Please enter no more than 49 characters."));
    }
};

QTEST_MAIN(ServersPageTest)
#include "test_setup_servers.moc"
