#include "ui/installerwindow.h"

#include "ui_installerwindow.h"

InstallerWindow::InstallerWindow(QString firstArgument, QString url, QWidget *parent)
    : QMainWindow(parent), firstArgument(firstArgument)
{
    Q_UNUSED(url);
    ui = new Ui_InstallerWindow;
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
    ui->progressBar->setValue(0);
}

InstallerWindow::~InstallerWindow()
{
    delete ui;
}

void InstallerWindow::on_buttonCancel_clicked()
{
    close();
}
