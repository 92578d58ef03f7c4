// tx9-logger: the program on the real cable: the window, or with --headless the logger
// without a display (see --help).

#include "app/Application.h"
#include "app/RD7F.h"
#include "app/WindowPublishing.h"
#include "headless/ErrWriter.h"
#include "headless/Headless.h"
#include "mqtt/MqttOptions.h"
#include "usb/HidrawPlatform.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    ErrWriter::guardStandardDescriptors();
    if (const std::optional<int> status = Mqtt::refuseRawTopics(argc, argv))
        return *status;
    if (Headless::requested(argc, argv)) {
        QCoreApplication app(argc, argv);
        app.setApplicationName(QStringLiteral("tx9-logger"));
        HidrawPlatform platform;
        return Headless::run(app.arguments(), &platform);
    }
    // Before any window: a display may not even be there.
    if (const std::optional<int> status = Headless::beforeWindow(argc, argv))
        return *status;
    Tx9Application app(argc, argv);
    HidrawPlatform platform;
    TFCOMM window(&platform);
    if (const std::optional<int> status = startWindowPublishing(window, app.arguments()))
        return *status;
    window.show();
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);
    return app.exec();
}
