// tx9-logger: the program on the real cable: the window, or with --headless the logger
// without a display (see --help).

#include "app/Application.h"
#include "app/RD7F.h"
#include "app/WindowPublishing.h"
#include "headless/Headless.h"
#include "usb/HidrawPlatform.h"

int main(int argc, char **argv)
{
    if (const std::optional<int> status =
            runWithoutWindow(argc, argv, [](QStringList &, QObject *) {
                return std::make_shared<HidrawPlatform>();
            }))
        return *status;
    Tx9Application app(argc, argv);
    if (const std::optional<int> status = checkWindowArguments(app.arguments()))
        return *status;
    HidrawPlatform platform;
    TFCOMM window(&platform);
    if (const std::optional<int> status = openWindow(window, app.arguments()))
        return *status;
    return app.exec();
}
