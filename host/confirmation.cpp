#include "host/utils.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>

namespace {

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
};

} // namespace

void Utils::showConfirmation(const QString& title, const QString& message, QWidget* window,
                             const QVariantList& buttonTitles, std::function<void(int response)> completion) {
    auto* box = new Question(window);
    box->completion = std::move(completion);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The application's name, not the program's, where the desktop shows a title.
    box->setWindowTitle(QGuiApplication::applicationDisplayName());
    box->setIcon(QMessageBox::Information);
    box->setText(title);
    box->setInformativeText(message);

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
    box->open();
}
