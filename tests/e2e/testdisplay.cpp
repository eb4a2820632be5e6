#include "testdisplay.h"

#include "toolrun.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

} // namespace

TestDisplay::TestDisplay(QObject *parent) : QObject(parent), server(new QProcess(this)) {}

TestDisplay::~TestDisplay()
{
    if (server->state() == QProcess::NotRunning)
        return;
    server->terminate();
    if (!server->waitForFinished(5000)) {
        server->kill();
        server->waitForFinished(5000);
    }
}

bool TestDisplay::start(QString &error)
{
    // -displayfd picks a free display number and reports it, so a desktop session or another
    // test run never collides with this one.
    server->start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("800x400x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp")});
    QDeadlineTimer deadline(15000);
    while (!server->canReadLine()) {
        if (deadline.hasExpired() || !server->waitForReadyRead(deadline.remainingTime())) {
            error = QStringLiteral("Xvfb did not start: %1").arg(server->errorString());
            return false;
        }
    }
    display = QLatin1Char(':') + QString::fromLatin1(server->readLine().trimmed());
    return true;
}

QString TestDisplay::name() const
{
    return display;
}

QString TestDisplay::findWindow(const QString &title) const
{
    const ToolResult result =
        xdotool({QStringLiteral("search"), QStringLiteral("--sync"),
                 QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                 QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$')});
    if (!result.finished || result.exitCode != 0)
        return QString();
    return QString::fromLatin1(result.output).split(QLatin1Char('\n')).value(0);
}

bool TestDisplay::pressKey(const QString &window, const QString &key) const
{
    // Without a window manager nobody hands out the focus; the key goes where it is given.
    const ToolResult focus =
        xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    const ToolResult press = xdotool({QStringLiteral("key"), key});
    return focus.finished && focus.exitCode == 0 && press.finished && press.exitCode == 0;
}

bool TestDisplay::click(const QString &window, int x, int y) const
{
    const ToolResult result = xdotool(
        {QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), window,
         QString::number(x), QString::number(y), QStringLiteral("click"), QStringLiteral("1")});
    return result.finished && result.exitCode == 0;
}

bool TestDisplay::closeFromTitleBar(const QString &window) const
{
    xcb_connection_t *connection = xcb_connect(display.toLatin1().constData(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = internAtom(connection, "WM_PROTOCOLS");
    event.data.data32[0] = internAtom(connection, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_generic_error_t *failure = xcb_request_check(
        connection, xcb_send_event_checked(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                                           reinterpret_cast<const char *>(&event)));
    const bool sent = failure == nullptr;
    std::free(failure);
    xcb_disconnect(connection);
    return sent;
}

bool TestDisplay::screenshot(const QString &window, const QString &path) const
{
    QStringList arguments{QStringLiteral("-display"), display, QStringLiteral("-window"), window};
    // The program's windows sit in a corner of the black screen; the rest is cut away.
    if (window == QLatin1String("root"))
        arguments << QStringLiteral("-trim") << QStringLiteral("+repage");
    const ToolResult result = runTool(QStringLiteral("import"), arguments << path);
    return result.finished && result.exitCode == 0;
}

ToolResult TestDisplay::xdotool(const QStringList &arguments) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    return runTool(QStringLiteral("xdotool"), arguments, 20000, environment);
}
