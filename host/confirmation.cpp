#include "host/utils.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>

void Utils::showConfirmation(const QString& title, const QString& message, QWidget* window,
                             const QVariantList& buttonTitles, std::function<void(int response)> completion) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Information);
    box->setText(title);
    box->setInformativeText(message);

    QStringList titles;
    for (const QVariant& entry : buttonTitles)
        if (entry.typeId() == QMetaType::QString)
            titles.append(entry.toString());
    // All of one role, so the box keeps them in the order added; added last to first, the first button,
    // the default, stands rightmost. With several buttons of one role the box has no escape button, so
    // Escape and the title bar's close button do nothing: the question ends only by an answer.
    QList<QPushButton*> buttons(titles.size());
    for (qsizetype i = titles.size() - 1; i >= 0; --i)
        buttons[i] = box->addButton(titles[i], QMessageBox::AcceptRole);
    if (!buttons.isEmpty())
        box->setDefaultButton(buttons.first());

    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [buttons, completion = std::move(completion)](QAbstractButton* pressed) {
                         const qsizetype index = buttons.indexOf(static_cast<QPushButton*>(pressed));
                         if (index >= 0)
                             completion(alertFirstButtonReturn + int(index));
                     });
    // Wide enough that a one-sentence question stays on one or two lines instead of a narrow column.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(360, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                      0, 1, grid->columnCount());
    box->open();
}
