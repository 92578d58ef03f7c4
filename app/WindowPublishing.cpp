#include "app/WindowPublishing.h"
#include "session/ExitStatus.h"

#include "app/RD7F.h"
#include "headless/OptionTable.h"
#include "mqtt/MqttOptions.h"
#include "output/ErrWriter.h"
#include "outputs/Outputs.h"
#include "proof/ProofCommand.h"
#include "proof/Signer.h"
#include "report/ReportCommand.h"

#include <QCoreApplication>

#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace {

void toStderr(const QString &line)
{
    ErrWriter::say(line);
}

} // namespace

std::optional<int> startWindowPublishing(TFCOMM &window, const QStringList &arguments)
{
    std::optional<Mqtt::Options> options;
    QString error;
    if (!Mqtt::parseWindowArguments(arguments, &options, &error)) {
        toStderr(QStringLiteral("%1: %2").arg(arguments.value(0), error));
        return int(Exit::Usage);
    }
    if (!options)
        return std::nullopt;
    window.PublishingOptions = options;
    Outputs *outputs = window.Out;
    QObject::connect(outputs, &Outputs::said, outputs,
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
    QObject::connect(outputs, &Outputs::publishingRefused, &window, [notice](const QString &why) {
        notice(QStringLiteral("The MQTT broker refused this logger: %1.\nThe readings are kept in "
                              "the outbox.")
                   .arg(why));
    });
    QObject::connect(outputs, &Outputs::publishingTrouble, &window, notice);
    // The default id names the cable the window would record: its serial number, else its
    // port path.
    const QString cable = window.Engine.cableName(window.chosenCableRow());
    if (!outputs->startPublishing(*options, cable, &error)) {
        toStderr(error);
        return int(Exit::MqttRefused);
    }
    return std::nullopt;
}

std::optional<int> checkWindowArguments(const QStringList &arguments)
{
    // Refused with the run's sentence and status, before any window opens.
    const QString wrong = Headless::checkWindowOptions(arguments);
    if (wrong.isEmpty())
        return std::nullopt;
    toStderr(QStringLiteral("%1: %2\nTry '%1 --help'.").arg(arguments.value(0), wrong));
    return int(Exit::Usage);
}

std::optional<int> openWindow(TFCOMM &window, const QStringList &arguments)
{
    // --device ID: the cable the window records, as the Cable menu would choose it.
    if (const std::optional<QString> device =
            Headless::windowValue(arguments, QStringLiteral("device")))
        window.chooseCable(*device);
    if (Headless::windowValue(arguments, QStringLiteral("no-id-lock")))
        window.Engine.setIdLockRequired(false);
    // --signing-key FILE: the files the window saves are signed with the user's own key.
    if (const std::optional<QString> key =
            Headless::windowValue(arguments, QStringLiteral("signing-key"))) {
        Signer::useKeyFile(*key);
        QString why;
        if (!Signer::key(&why)) {
            toStderr(QStringLiteral("%1: --signing-key: %2").arg(arguments.value(0), why));
            return int(Exit::Usage);
        }
        if (const QString notice = Signer::notice(); !notice.isEmpty())
            toStderr(QStringLiteral("%1: --signing-key: %2").arg(arguments.value(0), notice));
    }
    if (const std::optional<int> status = startWindowPublishing(window, arguments))
        return status;
    window.show();
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);
    return std::nullopt;
}

std::optional<int> runWithoutWindow(int argc, char **argv, const Headless::PlatformFor &platformFor,
                                    const QList<Headless::WindowOption> &windowOptions)
{
    ErrWriter::guardStandardDescriptors();
    if (const std::optional<int> status = Headless::unitNameCommand(argc, argv))
        return status;
    // The check of files and the public key: no cable, no window.
    if (const std::optional<int> status = ProofCommand::run(argc, argv))
        return status;
    // A report of saved recordings: no cable, no window.
    if (ReportCommand::requested(argc, argv))
        return ReportCommand::run(argc, argv);
    Headless::setReportWriter(&ReportCommand::writeRunReport);
    return Headless::startProgram(argc, argv, platformFor, windowOptions,
                                  &ReportCommand::application);
}
