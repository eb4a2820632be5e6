#include "ui/accessibleprogressbar.h"

#include <QProgressBar>

namespace {

// Where Qt sent its notifications before: its bridge to the system's assistive technology
// (AT-SPI on Linux, UI Automation on Windows) when null.
QAccessible::UpdateHandler nextHandler = nullptr;

} // namespace

AccessibleProgressBar::AccessibleProgressBar(QProgressBar *bar)
    : QAccessibleWidget(bar, QAccessible::ProgressBar)
{
}

void AccessibleProgressBar::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(create);
        nextHandler = QAccessible::installUpdateHandler(passOn);
        return true;
    }();
    Q_UNUSED(installed)
}

QAccessibleInterface *AccessibleProgressBar::create(const QString &, QObject *object)
{
    auto *bar = qobject_cast<QProgressBar *>(object);
    return bar ? new AccessibleProgressBar(bar) : nullptr;
}

void *AccessibleProgressBar::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString AccessibleProgressBar::text(QAccessible::Text type) const
{
    // What the bar shows when its text is visible, "42%".
    if (type == QAccessible::Value)
        return static_cast<QProgressBar *>(widget())->text();
    return QAccessibleWidget::text(type);
}

int AccessibleProgressBar::percent() const
{
    const auto *bar = static_cast<QProgressBar *>(widget());
    const qint64 range = qint64(bar->maximum()) - bar->minimum();
    return range > 0 ? int((qint64(bar->value()) - bar->minimum()) * 100 / range) : 0;
}

// A download moves the bar through a thousand values, often hundreds in a second, and a screen
// reader would be sent each one: a change reaches it only when the percentage changes.
void AccessibleProgressBar::passOn(QAccessibleEvent *event)
{
    auto *bar = dynamic_cast<AccessibleProgressBar *>(event->accessibleInterface());
    if (bar && event->type() == QAccessible::ValueChanged) {
        if (bar->percent() == bar->toldPercent)
            return;
        bar->toldPercent = bar->percent();
        static_cast<QAccessibleValueChangeEvent *>(event)->setValue(bar->toldPercent);
    }
    // Sent on as if this handler were not there.
    QAccessible::installUpdateHandler(nextHandler);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(passOn);
}
