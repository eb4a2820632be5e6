#include "ui/messagebox.h"

#include <QIcon>
#include <QPushButton>
#include <QStyle>

namespace {

void nameButton(QMessageBox *box, QMessageBox::StandardButton code, const QString &text,
                const QString &name)
{
    if (text.isEmpty())
        return;
    QAbstractButton *button = box->button(code);
    if (!button)
        return;
    button->setText(text);
    // Some styles (Fusion on Linux) put a standard icon on dialog buttons; the pill holds only
    // its text, as on Windows.
    button->setIcon(QIcon());
    button->setObjectName(name.isEmpty() ? text : name);
    // The box polished its buttons while building them; a style sheet rule chosen by object
    // name only reaches the button once it is polished again under its new name.
    button->style()->unpolish(button);
    button->style()->polish(button);
}

} // namespace

MessageBoxPointer createMessageBox(QWidget *parent, QString title, QString text,
                                   QMessageBox::Icon icon, bool modal, Qt::WindowFlags flags,
                                   QMessageBox::StandardButton button0, QString button0Text,
                                   QString button0Name, QMessageBox::StandardButton button1,
                                   QString button1Text, QString button1Name,
                                   QMessageBox::StandardButton button2, QString button2Text,
                                   QString button2Name, QMessageBox::StandardButton defaultButton)
{
    MessageBoxPointer box(
        new QMessageBox(title, text, icon, button0, button1, button2, parent, flags));
    if (modal)
        box->setWindowModality(Qt::WindowModal);
    nameButton(box.get(), button0, button0Text, button0Name);
    nameButton(box.get(), button1, button1Text, button1Name);
    nameButton(box.get(), button2, button2Text, button2Name);
    if (defaultButton != QMessageBox::NoButton) {
        if (auto *button = qobject_cast<QPushButton *>(box->button(defaultButton)))
            button->setDefault(true);
    }
    return box;
}

int showMessage(QWidget *parent, QString title, QString text, bool modal,
                QMessageBox::StandardButton button0, QString button0Text, QString button0Name,
                QMessageBox::StandardButton button1, QString button1Text, QString button1Name,
                QMessageBox::StandardButton button2, QString button2Text, QString button2Name,
                QMessageBox::StandardButton defaultButton)
{
    MessageBoxPointer box = createMessageBox(
        parent, title, text, QMessageBox::Critical, modal,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint, button0, button0Text, button0Name, button1,
        button1Text, button1Name, button2, button2Text, button2Name, defaultButton);
    return box->exec();
}
