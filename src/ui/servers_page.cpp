#include "ui/servers_page.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTextOption>
#include <QVBoxLayout>
#include <utility>

#include "alerts/alarm_hold.h"
#include "platform/window_port.h"
#include "ui/dialogs.h"
#include "ui/node_dlg.h"

namespace sentrel::ui {

namespace {

// The list's tab stop: 16 dialog units, a dialog unit being a quarter of the
// average character width.
qreal TabStopPixels(const QFontMetrics& metrics) {
    return 4.0 * metrics.averageCharWidth();
}

// Draws item texts with tabs expanded to the list's tab stops.
class TabStopDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        QTextOption textOption(Qt::AlignLeft | Qt::AlignVCenter);
        textOption.setWrapMode(QTextOption::NoWrap);
        textOption.setTabStopDistance(TabStopPixels(opt.fontMetrics));
        painter->save();
        painter->setFont(opt.font);
        const bool selected = opt.state & QStyle::State_Selected;
        painter->setPen(opt.palette.color(
            opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
            selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(QRectF(textRect), text, textOption);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QFontMetrics metrics(option.font);
        const int tab = int(TabStopPixels(metrics));
        const QString text = index.data(Qt::DisplayRole).toString();
        const QSize textSize = metrics.size(Qt::TextSingleLine | Qt::TextExpandTabs, text, tab);
        size.setWidth(std::max(size.width(), textSize.width() + 8));
        return size;
    }
};

}  // namespace

QString NodeLineText(const NodeEntry& node) {
    QString line = QStringLiteral("NODE:") + DisplayText(node.address);
    if (!node.port.empty()) {
        line += QStringLiteral("  \tPORT: ") + DisplayText(node.port);
    } else {
        line += u'\t';
    }
    if (!node.title.empty()) {
        line += QStringLiteral("  \tTITLE: ") + DisplayText(node.title);
    } else {
        line += u'\t';
    }
    line += QStringLiteral("  \tTYPE: ");
    // A stored type of no kind of its own is probed as PING but named by none.
    const std::int32_t kind = ProbeKind(node.probeType);
    if (kind == node.probeType) {
        line += QString::fromLatin1(ProbeKindName(kind));
    }
    return line;
}

CSERVERS::CSERVERS(QWidget* parent) : SetupPage(parent) {
    setObjectName(QStringLiteral("serversPage"));

    auto* intro = new QLabel(
        QStringLiteral("Each line below represents a server or network node to monitor.  Use the "
                       "Add button to add new ones."),
        this);
    intro->setObjectName(QStringLiteral("introLabel"));
    intro->setWordWrap(true);
    auto* helpNote = new QLabel(QStringLiteral("See HELP (below) for more details."), this);
    helpNote->setObjectName(QStringLiteral("helpNoteLabel"));
    helpNote->setAlignment(Qt::AlignRight | Qt::AlignTop);

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("nodeList"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSortingEnabled(false);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setItemDelegate(new TabStopDelegate(list_));
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { OnEdit(); });

    add_ = new QPushButton(QStringLiteral("Add..."), this);
    add_->setObjectName(QStringLiteral("addButton"));
    edit_ = new QPushButton(QStringLiteral("Edit..."), this);
    edit_->setObjectName(QStringLiteral("editButton"));
    delete_ = new QPushButton(QStringLiteral("Delete..."), this);
    delete_->setObjectName(QStringLiteral("deleteButton"));
    for (QPushButton* button : {add_, edit_, delete_}) {
        button->setAutoDefault(false);
    }
    connect(add_, &QPushButton::clicked, this, &CSERVERS::OnAdd);
    connect(edit_, &QPushButton::clicked, this, &CSERVERS::OnEdit);
    connect(delete_, &QPushButton::clicked, this, &CSERVERS::OnDelete);

    auto* header = new QHBoxLayout;
    header->addWidget(intro, 1);
    header->addWidget(helpNote, 0, Qt::AlignTop);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(add_);
    buttons->addWidget(edit_);
    buttons->addWidget(delete_);
    buttons->addStretch(1);

    problems_ = new QLabel(this);
    problems_->setObjectName(QStringLiteral("holdProblemsLabel"));
    problems_->setTextFormat(Qt::PlainText);
    problems_->setWordWrap(true);
    problems_->setVisible(false);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(list_, 1);
    layout->addWidget(problems_);
    layout->addLayout(buttons);
}

void CSERVERS::Load(const MonitorSettings& settings) {
    loaded_ = settings;
    NodeList = settings.NodeList;
}

void CSERVERS::Store(MonitorSettings& settings) const {
    settings.NodeList = NodeList;
}

void CSERVERS::ShowPage() {
    RefreshNodeList();
}

void CSERVERS::RefreshNodeList() {
    list_->clear();
    for (const NodeEntry& node : NodeList) {
        if (node.address.empty()) {
            break;
        }
        list_->addItem(NodeLineText(node));
    }
    // What the holds will ignore in these nodes (and the hand-edited windows), as
    // the programs will say it once the sheet is saved.
    MonitorSettings check = loaded_;
    check.NodeList = NodeList;
    QStringList lines;
    for (const std::string& line : HoldProblems(check)) {
        lines << QString::fromStdString(line);
    }
    problems_->setText(lines.join(QLatin1Char('\n')));
    problems_->setVisible(!lines.isEmpty());
}

int CSERVERS::SelectedSlot() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        return -1;
    }
    return list_->row(selected.first());
}

void CSERVERS::StoreFromDialog(int slot, const CNodeDlg& dialog) {
    // The dialog's fields only: the node's other keys (hand-edited) stay with it.
    NodeEntry node = NodeList[slot];
    node.address = CutText(dialog.Address, CNodeDlg::kAddressLimit);
    node.port = CutText(dialog.Port, CNodeDlg::kPortLimit);
    node.title = CutText(dialog.Title, CNodeDlg::kTitleLimit);
    node.probeType = dialog.ProbeType;
    node.path = CutText(dialog.Path, CNodeDlg::kPathLimit);
    node.expect = CutText(dialog.Expect, CNodeDlg::kExpectLimit);
    node.query = CutText(dialog.Query, CNodeDlg::kQueryLimit);
    node.qtype = CutText(dialog.Qtype, CNodeDlg::kQtypeLimit);
    ReplaceNode(NodeList, slot, std::move(node));
}

void CSERVERS::OnAdd() {
    int slot = -1;
    for (int i = 0; i < kMaxNodes; ++i) {
        if (NodeList[i].address.empty()) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        ShowMessageBox(this, QStringLiteral("*LIMIT* Only 100 nodes can be monitored."),
                       QString::fromLatin1(kAppTitle), MessageIcon::Exclamation);
        return;
    }
    NodeList[slot] = NodeEntry{};
    CNodeDlg dialog(this);
    dialog.Mode = "Add";
    dialog.ProbeType = HTTPD;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    StoreFromDialog(slot, dialog);
    RefreshNodeList();
}

void CSERVERS::OnEdit() {
    const int slot = SelectedSlot();
    if (slot < 0 || slot >= kMaxNodes || NodeList[slot].address.empty()) {
        return;
    }
    CNodeDlg dialog(this);
    dialog.Mode = "Edit";
    dialog.Address = NodeList[slot].address;
    dialog.Port = NodeList[slot].port;
    dialog.Title = NodeList[slot].title;
    dialog.ProbeType = NodeList[slot].probeType;
    dialog.Path = NodeList[slot].path;
    dialog.Expect = NodeList[slot].expect;
    dialog.Query = NodeList[slot].query;
    dialog.Qtype = NodeList[slot].qtype;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    StoreFromDialog(slot, dialog);
    RefreshNodeList();
}

void CSERVERS::OnDelete() {
    const int slot = SelectedSlot();
    if (slot < 0 || slot >= kMaxNodes || NodeList[slot].address.empty()) {
        return;
    }
    if (ShowMessageBox(this, QStringLiteral("Are you sure?"), QString::fromLatin1(kAppTitle),
                       MessageIcon::Exclamation, MessageButtons::YesNo) != MessageAnswer::Yes) {
        return;
    }
    RemoveNode(NodeList, slot);
    RefreshNodeList();
}

}  // namespace sentrel::ui
