#pragma once

#include <QMessageBox>
#include <QString>

#include <memory>

class QWidget;

// Releases a box through the event loop, which may still deliver events to it after exec().
struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};
using MessageBoxPointer = std::unique_ptr<QMessageBox, DeleteLater>;

// Builds a box that takes its look from its parent's style sheet. A button code of
// QMessageBox::NoButton leaves that position empty; a button's object name defaults to its text.
MessageBoxPointer createMessageBox(QWidget *parent, QString title, QString text,
                                   QMessageBox::Icon icon, bool modal, Qt::WindowFlags flags,
                                   QMessageBox::StandardButton button0, QString button0Text,
                                   QString button0Name, QMessageBox::StandardButton button1,
                                   QString button1Text, QString button1Name,
                                   QMessageBox::StandardButton button2, QString button2Text,
                                   QString button2Name, QMessageBox::StandardButton defaultButton);

// The one routine through which every message reaches the user: a Critical box, run until
// it is dismissed. Returns the result of exec().
int showMessage(QWidget *parent, QString title, QString text, bool modal,
                QMessageBox::StandardButton button0, QString button0Text, QString button0Name,
                QMessageBox::StandardButton button1, QString button1Text, QString button1Name,
                QMessageBox::StandardButton button2, QString button2Text, QString button2Name,
                QMessageBox::StandardButton defaultButton);
