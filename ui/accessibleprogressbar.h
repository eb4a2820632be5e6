#pragma once

#include <QAccessibleWidget>

class QProgressBar;

// A progress bar as assistive technology reads it: its value a percentage, and a change told
// once a percent. Qt's own reading gives the bar's raw value, which for the installer's bar
// counts thousandths ("421" at 42 %), and tells every one of its thousand steps.
class AccessibleProgressBar : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit AccessibleProgressBar(QProgressBar *bar);

    // Makes every progress bar of the program read so. Once is enough; it must come before
    // a bar's first reading, which Qt keeps for the bar's lifetime.
    static void install();

    void *interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text type) const override;
    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    static QAccessibleInterface *create(const QString &className, QObject *object);
    static void passOn(QAccessibleEvent *event);
    int percent() const;

    int toldPercent = -1;
};
