#include "app/logwindow.h"

#include "platform/dispatch.h"
#include "platform/logbook.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

LogWindow::LogWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , lines_(new QPlainTextEdit(this))
    , dropped_(new QLabel(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Log"));
    setObjectName(QStringLiteral("logWindow"));

    auto* caption = new QLabel(tr("&Lines the panel logged in this run, newest last:"), this);
    caption->setBuddy(lines_);
    lines_->setObjectName(QStringLiteral("logLines"));
    lines_->setReadOnly(true);
    // Read-only text a keyboard can still walk and select, as a screen reader needs.
    lines_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lines_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Wrapped, so a failure's words can be read whole without scrolling sideways.
    lines_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    lines_->setAccessibleName(tr("Log lines"));
    dropped_->setObjectName(QStringLiteral("droppedLabel"));
    dropped_->setWordWrap(true);
    dropped_->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton(tr("&Copy All"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyAllButton"));
    copy->setAccessibleDescription(tr("Copies every line shown to the clipboard"));
    connect(copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(lines_->toPlainText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
    layout->addWidget(dropped_);
    layout->addWidget(lines_, 1);
    layout->addWidget(buttons);
    resize(720, 360);

    // One call for a burst of lines from any thread; the window takes them in on the main thread.
    LogBook::setListener(onMainThread(this, [this] { takeNewLines(); }));
    takeNewLines();
    lines_->setFocus();
}

LogWindow::~LogWindow() {
    LogBook::setListener({});
}

void LogWindow::takeNewLines() {
    const LogBook::Page page = LogBook::since(next_);
    QScrollBar* scroll = lines_->verticalScrollBar();
    // Following unless the reader has scrolled up to read.
    const bool following = scroll->value() == scroll->maximum();
    QTextDocument* document = lines_->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    for (const LogBook::Line& line : page.lines) {
        const bool empty = document->isEmpty() && blocks_.empty();
        const int before = empty ? 0 : document->blockCount();
        QString text = line.stamp + QStringLiteral("  ") + line.text;
        text.replace(QRegularExpression(QStringLiteral("\r\n?")), QStringLiteral("\n"));
        cursor.movePosition(QTextCursor::End);
        if (!empty)
            cursor.insertBlock();
        cursor.insertText(text);
        blocks_.push_back(document->blockCount() - before);
    }
    next_ = page.lines.isEmpty() ? next_ : page.lines.last().number + 1;
    // The LogBook keeps the last lines only; those it has let go leave the window too.
    const qint64 kept = std::min<qint64>(page.written, LogBook::capacity);
    int gone = 0;
    while (qint64(blocks_.size()) > kept) {
        gone += blocks_.front();
        blocks_.pop_front();
    }
    if (gone > 0) {
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, gone);
        cursor.removeSelectedText();
    }
    cursor.endEditBlock();
    if (following)
        scroll->setValue(scroll->maximum());

    const qint64 dropped = page.written - kept;
    dropped_->setVisible(dropped > 0);
    if (dropped > 0)
        dropped_->setText(tr("Only the last %1 lines are kept. Lines dropped so far: %2.")
                              .arg(QLocale().toString(LogBook::capacity), QLocale().toString(dropped)));
}
