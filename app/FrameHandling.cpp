// The frame handler and the LCD readout update of the main window.

#include "app/RD7F.h"
#include "display/LcdPanel.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>

void TFCOMM::HidDataReceived(THidDevice *HidDev, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    const Decode::ReportResult r = Decode::assembleReport(S, ReportID, Data, Size);
    if (r.CarriedSerial) {
        addUsbLogLine(r.LogLine);
        return;
    }
    if (!r.FrameCompleted)
        return;

    S.FrameText = r.FrameText;
    USBtxt->setText(S.FrameText);
    const Decode::FrameDispatch d =
        Decode::dispatchFrame(S.FrameText, RecallData->isChecked(), S.PrintingNow);
    if (d.UncheckRecordSI)
        RecordSI->setChecked(false);
    if (d.Show)
        LcdDisplay81(1);
    if (d.SendStop)
        SendUSBData(91);
    if (d.ShowInUsbtxt1)
        USBtxt1->setText(S.FrameText);
    if (d.RangeMax) {
        S.RangeMax = *d.RangeMax;
        S.RangeMin = -50;
    }
    afterFrameCompleted(HidDev);
}

void TFCOMM::LcdDisplay81(int mode)
{
    Q_UNUSED(mode);
    CONok->setVisible(!CONok->isVisibleTo(CONok->parentWidget()));
    CONokN->setVisible(!CONokN->isVisibleTo(CONokN->parentWidget()));
    S.ConTickCount = 0;

    const Decode::DerivedReading r =
        Decode::deriveReading(S.FrameText, S.DecimalSep, S.RangeMax, S.RangeMin);
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
    S.UnitGlyph = r.UnitGlyph;
    S.ValueText = r.ValueText;
    // A frame without an integer value is painted but neither recorded nor plotted.
    if (r.Kind == Decode::ValueKind::NoValue)
        return;
    if (r.Kind == Decode::ValueKind::Number)
        S.ValueNum = r.Value;
    INDataToTable();
}
