#include "host/utils.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

namespace {

// The icon an information box shows, as the style gives it, kept for the style and icon theme it came
// from. The style looks it up in the icon theme file by file, a few thousand look-ups where the theme has
// no such icon, and keeps no note of the answer: every question would search again in its own turn.
QIcon questionIcon(QStyle* style) {
    static QPointer<QStyle> from;
    static QString theme;
    static QIcon icon;
    if (from != style || theme != QIcon::themeName()) {
        icon = style->standardIcon(QStyle::SP_MessageBoxInformation);
        from = style, theme = QIcon::themeName();
    }
    return icon;
}

// What QMessageBox::setIcon(QMessageBox::Information) would show on this box: that icon at the style's
// size for message box icons, for the box's screen.
QPixmap questionPixmap(QMessageBox* box) {
    const int size = box->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, box);
    return questionIcon(box->style()).pixmap(QSize(size, size), box->devicePixelRatio());
}

// A question that Escape and the window's close button end the way every dialog of the desktop ends on
// them: without an answer. The caller gets the cancel code, which no button has, so it does nothing.
class Question : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

    // Called once, with the pressed button's code or the cancel code.
    std::function<void(int response)> completion;

    void answer(int response) {
        if (auto once = std::exchange(completion, nullptr))
            once(response);
    }

    // Its words as plain labels, which the style would make selectable: a selectable label lays its text
    // out as a document, 86 times while the box finds its size, two fifths of the turn that shows a
    // question. A yes-or-no question holds nothing to copy.
    void keepTextsPlain() {
        for (QLabel* label : findChildren<QLabel*>())
            label->setTextInteractionFlags(Qt::NoTextInteraction);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->matches(QKeySequence::Cancel))
            close();
        else
            QMessageBox::keyPressEvent(event);
    }

    // A box with several buttons of one role has no escape button, and would refuse to close.
    void closeEvent(QCloseEvent* event) override {
        answer(modalResponseCancel);
        QDialog::closeEvent(event);
    }

    // The icon follows a new style, as a box given its icon by kind does; the words stay plain.
    void changeEvent(QEvent* event) override {
        QMessageBox::changeEvent(event);
        if (event->type() == QEvent::StyleChange) {
            setIconPixmap(questionPixmap(this));
            keepTextsPlain();
        }
    }
};

} // namespace

void prepareConfirmation() {
    questionIcon(QApplication::style());
}

void Utils::showConfirmation(const QString& title, const QString& message, QWidget* window,
                             const QVariantList& buttonTitles, std::function<void(int response)> completion) {
    auto* box = new Question(window);
    box->completion = std::move(completion);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The application's name, not the program's, where the desktop shows a title.
    box->setWindowTitle(QGuiApplication::applicationDisplayName());
    box->setIconPixmap(questionPixmap(box));
    box->setText(title);
    box->setInformativeText(message);
    box->keepTextsPlain();

    QStringList titles;
    for (const QVariant& entry : buttonTitles)
        if (entry.typeId() == QMetaType::QString)
            titles.append(entry.toString());
    // All of one role, so the box keeps them together in the order added, or the reverse where the
    // desktop's button layout says so (GNOME's does). The first button, the default, must end the row:
    // added first to last, and then, if the box put the first one before the last, the other way round.
    QList<QPushButton*> buttons;
    for (const QString& title : titles)
        buttons.append(box->addButton(title, QMessageBox::AcceptRole));
    const QLayout* row = box->findChild<QDialogButtonBox*>()->layout();
    if (buttons.size() > 1 && row->indexOf(buttons.first()) < row->indexOf(buttons.last())) {
        for (QPushButton* button : buttons)
            box->removeButton(button);
        for (qsizetype i = buttons.size() - 1; i >= 0; --i)
            box->addButton(buttons[i], QMessageBox::AcceptRole);
    }
    if (!buttons.isEmpty())
        box->setDefaultButton(buttons.first());

    QObject::connect(box, &QMessageBox::buttonClicked, box, [box, buttons](QAbstractButton* pressed) {
        const qsizetype index = buttons.indexOf(static_cast<QPushButton*>(pressed));
        if (index >= 0)
            box->answer(alertFirstButtonReturn + int(index));
    });
    // Wide enough that a one-sentence question stays on one or two lines instead of a narrow column.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(360, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                      0, 1, grid->columnCount());
    // Made in three turns, with the clock, input and the display served in between: the box now, its
    // native window (its icon, and round trips to the display server) in the next, and then its showing
    // (its layout, buffer and focus). In one turn they held the panel up to 24 ms on a busy machine. Timers,
    // not queued calls, which Qt would run in the same pass over its posted events.
    box->setWindowModality(Qt::WindowModal);
    QTimer::singleShot(1, box, [box] {
        box->winId();
        QTimer::singleShot(1, box, &QDialog::open);
    });
}
