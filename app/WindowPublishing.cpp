#include "app/WindowPublishing.h"
#include "session/ExitStatus.h"

#include "alarms/AlarmMonitor.h"
#include "app/RD7F.h"
#include "mqtt/MqttPublisher.h"
#include "usb/HidControllerClass.h"

#include <QMessageBox>
#include <QPointer>
#include <cstdio>

namespace {

void toStderr(const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

std::optional<int> startWindowPublishing(TFCOMM &window, const QStringList &arguments,
                                         std::unique_ptr<MqttPublisher> &publisher)
{
    std::optional<Mqtt::Options> options;
    QString error;
    if (!Mqtt::parseWindowArguments(arguments, &options, &error)) {
        toStderr(QStringLiteral("%1: %2").arg(arguments.value(0), error));
        return int(Exit::Usage);
    }
    if (!options)
        return std::nullopt;
    publisher = std::make_unique<MqttPublisher>(*options, window.Session);
    QObject::connect(publisher.get(), &MqttPublisher::said, publisher.get(),
                     [](const QString &line, bool) { toStderr(line); });
    // Said without holding the window (the readings are kept meanwhile): one notice, which
    // gathers what comes while it is open.
    auto notice = [w = QPointer<TFCOMM>(&window)](const QString &text) {
        static QPointer<QMessageBox> open;
        if (!w)
            return;
        if (open) {
            if (!open->text().contains(text))
                open->setText(open->text() + QStringLiteral("\n\n") + text);
            return;
        }
        open = new QMessageBox(QMessageBox::Warning, w->windowTitle(), text, QMessageBox::Ok, w);
        open->setAttribute(Qt::WA_DeleteOnClose);
        open->setModal(false);
        open->show();
    };
    QObject::connect(
        publisher.get(), &MqttPublisher::refused, &window, [notice](const QString &why) {
            notice(
                QStringLiteral("The MQTT broker refused this logger: %1.\nThe readings are kept in "
                               "the outbox.")
                    .arg(why));
        });
    QObject::connect(publisher.get(), &MqttPublisher::trouble, &window, notice);
    const int cable = window.Engine.cableRow();
    const QString serial = cable >= 0 ? window.Engine.Devices[cable]->SerialString() : QString();
    if (!publisher->start(serial, &error)) {
        toStderr(error);
        publisher.reset();
        return int(Exit::MqttRefused);
    }
    // The window's alarms go to <prefix>/alarm as a headless run's do.
    MqttPublisher *p = publisher.get();
    QObject::connect(window.Alarms, &AlarmMonitor::alarm, p,
                     [p](const AlarmEvent &e, const QString &unit) {
                         p->publishEvent("alarm", Mqtt::alarmJson(e, unit, p->id()), true);
                     });
    return std::nullopt;
}
