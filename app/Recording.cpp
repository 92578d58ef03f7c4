// The main window's recording handlers: the recorder, the interval timer, the record limit,
// "Close Data", and the chart's paging and page size.

#include "app/Prompts.h"
#include "app/RD7F.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "recording/uCharControl.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QtGlobal>

void TFCOMM::connectRecording()
{
    connect(RecordSITime, &QLineEdit::textChanged, this, &TFCOMM::RecordSITimeChange);
    connect(RecordNew, &QToolButton::clicked, this, &TFCOMM::RecordNewClick);
    for (const RecordLimitEntry &e : RecordLimitEntries) {
        QAction *entry = this->*e.action;
        connect(entry, &QAction::triggered, this, [this, entry] { RecordLimitClick(entry); });
    }
    connect(BtFirst, &QToolButton::clicked, this, &TFCOMM::BtFirstClick);
    connect(BTPrevious, &QToolButton::clicked, this, &TFCOMM::BTPreviousClick);
    connect(BtNext, &QToolButton::clicked, this, &TFCOMM::BtNextClick);
    connect(BTlast, &QToolButton::clicked, this, &TFCOMM::BTlastClick);
    connect(Maxrecord, &QLineEdit::textChanged, this, &TFCOMM::MaxrecordExit);
}

void TFCOMM::INDataToTable()
{
    Engine.offerReading();
}

void TFCOMM::rowStored(qint64 row, qint32, float value)
{
    showPage(ChartCtl->AddValue(double(value)));
    Plotted.add(ChartCtl->ValueCount(), row, 1);
}

void TFCOMM::recordLimitReached()
{
    const auto answer = Prompts::current().question(
        QStringLiteral("Norvane TX-9"),
        QStringLiteral("Measurement data exceeds %1 sets!Save and remove on-screen data "
                       "before proceeding next measurement.")
            .arg(S.RecordLimit),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Question);
    if (answer == QMessageBox::Ok)
        saveasClick();
}

bool TFCOMM::recordSI() const
{
    return RecordSI->isChecked();
}

bool TFCOMM::repeatSet() const
{
    return RepeatSet->isChecked();
}

QString TFCOMM::intervalText() const
{
    return RecordSITime->text();
}

void TFCOMM::TrecordTimer()
{
    Engine.intervalTick();
}

void TFCOMM::RecordSITimeChange()
{
    if (const auto interval = Recorder::parseInterval(RecordSITime->text()))
        S.SampleCountdown = *interval;
}

const TFCOMM::RecordLimitEntry TFCOMM::RecordLimitEntries[6] = {
    {&TFCOMM::N10001, "N10001", "1000", 1000},
    {&TFCOMM::N50001, "N50001", "5000", 5000},
    {&TFCOMM::N100001, "N100001", "10000", 10000},
    {&TFCOMM::N500001, "N500001", "50000", 50000},
    {&TFCOMM::N1000001, "N1000001", "100000", 100000},
    {&TFCOMM::limitess, "limitess", "limitless", 10000000},
};

void TFCOMM::RecordLimitClick(QAction *entry)
{
    for (const RecordLimitEntry &e : RecordLimitEntries) {
        QAction *a = this->*e.action;
        if (a == entry)
            S.RecordLimit = e.limit;
        a->setChecked(a == entry);
    }
}

void TFCOMM::RecordNewClick()
{
    const auto answer = Prompts::current().question(
        QStringLiteral("Norvane TX-9"),
        QStringLiteral("Do you want to remove on-screen data and create new data?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Question);
    if (answer != QMessageBox::Yes)
        return;
    Engine.clearTable();
}

void TFCOMM::tableCleared()
{
    ChartReset();
}

void TFCOMM::ChartReset()
{
    showPage(ChartCtl->Clear());
    Plotted.clear();
}

void TFCOMM::showPage(int page)
{
    Bt10->setText(QString::number(page));
}

void TFCOMM::BtFirstClick()
{
    showPage(ChartCtl->FirstPage());
}

void TFCOMM::BTPreviousClick()
{
    showPage(ChartCtl->PriorPage());
}

void TFCOMM::BtNextClick()
{
    showPage(ChartCtl->NextPage());
}

void TFCOMM::BTlastClick()
{
    showPage(ChartCtl->LastPage());
}

void TFCOMM::MaxrecordExit()
{
    Timer1->stop();
    Timer1->start();
}

void TFCOMM::Timer1Timer()
{
    Timer1->stop();
    // An empty box or "0" has no page size; the previous one stays in force.
    bool ok = false;
    const int n = Maxrecord->text().toInt(&ok);
    if (!ok || n < 1)
        return;
    ChartCtl->SetPageSize(n);
    showPage(ChartCtl->Page());
}
