// The frame handler and the LCD readout update of the main window: the engine decodes and
// records, the window shows.

#include "app/RD7F.h"
#include "display/LcdPanel.h"

#include <QCheckBox>
#include <QLabel>

void TFCOMM::HidDataReceived(THidDevice *HidDev, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    Engine.handleReport(HidDev, ReportID, Data, Size);
}

void TFCOMM::LcdDisplay81(int mode)
{
    Q_UNUSED(mode);
    Engine.showReading();
}

void TFCOMM::frameArrived(const QString &frameText)
{
    USBtxt->setText(frameText);
}

void TFCOMM::identificationArrived(const QString &frameText)
{
    USBtxt1->setText(frameText);
}

void TFCOMM::recordSIUnchecked()
{
    RecordSI->setChecked(false);
}

void TFCOMM::readingShown(const Decode::DerivedReading &r)
{
    CONok->setVisible(!CONok->isVisibleTo(CONok->parentWidget()));
    CONokN->setVisible(!CONokN->isVisibleTo(CONokN->parentWidget()));
    Panel1->LcdD4->setCaption(r.Digits[0]);
    Panel1->LcdD3->setCaption(r.Digits[1]);
    Panel1->LcdD2->setCaption(r.Digits[2]);
    Panel1->LcdD1->setCaption(r.Digits[3]);
    Panel1->LcdP0->hide();
    Panel1->LcdP1->hide();
    Panel1->LcdP2->hide();
    Panel1->LCDC->hide();
    Panel1->LCDF->hide();
    if (r.DotLit)
        Panel1->LcdP2->show();
    if (r.Fahrenheit)
        Panel1->LCDF->show();
    else
        Panel1->LCDC->show();
}
