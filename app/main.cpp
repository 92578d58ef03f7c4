// tx9-logger: the program on the real cable. It reads no options.

#include "app/Application.h"
#include "app/RD7F.h"
#include "usb/HidrawPlatform.h"

#include <QTimer>

int main(int argc, char **argv)
{
    Tx9Application app(argc, argv);
    HidrawPlatform platform;
    TFCOMM window(&platform);
    window.show();
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);
    return app.exec();
}
