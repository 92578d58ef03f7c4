#include "usb/HidPlatform.h"

#include <cstring>

HidPlatform::~HidPlatform() = default;

QString HidPlatform::errorText(quint32 error) const
{
    return QString::fromLocal8Bit(std::strerror(int(error)));
}
