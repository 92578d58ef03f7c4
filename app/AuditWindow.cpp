#include "app/AuditWindow.h"

#include "app/Prompts.h"
#include "app/RD7F.h"
#include "app/ToolWindows.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "recording/uCharControl.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

AuditTrailWindow::AuditTrailWindow(AuditTrail &trail, QWidget *parent)
    : QWidget(parent, Qt::Window), m_trail(trail)
{
    setWindowTitle(QStringLiteral("Audit Trail"));
    setObjectName(QStringLiteral("AuditTrailWindow"));
    auto *layout = new QVBoxLayout(this);
    m_list = new QTableWidget(0, 5, this);
    m_list->setObjectName(QStringLiteral("AuditList"));
    m_list->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Who"),
                                       QStringLiteral("What"), QStringLiteral("Before"),
                                       QStringLiteral("After")});
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->verticalHeader()->hide();
    m_list->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_list);
    m_seal = new QLabel(this);
    m_seal->setObjectName(QStringLiteral("AuditSeal"));
    m_seal->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_seal->setWordWrap(true);
    layout->addWidget(m_seal);
    auto *save = new QPushButton(QStringLiteral("Save..."), this);
    save->setObjectName(QStringLiteral("AuditSave"));
    layout->addWidget(save, 0, Qt::AlignRight);
    connect(save, &QPushButton::clicked, this, &AuditTrailWindow::saveRequested);
    for (const AuditEntry &e : trail.all())
        add(e);
    connect(&trail, &AuditTrail::recorded, this, [this](const AuditEntry &e) {
        add(e);
        showSeal();
    });
    connect(&trail, &AuditTrail::sealed, this, &AuditTrailWindow::showSeal);
    showSeal();
    m_list->resizeColumnsToContents();
    m_list->setColumnWidth(3, qMin(m_list->columnWidth(3), 300));
    resize(1000, 440);
}

void AuditTrailWindow::add(const AuditEntry &e)
{
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    const QString cells[] = {e.Time, e.Login + QLatin1Char('@') + e.Host, e.What, e.Old, e.New};
    for (int c = 0; c < 5; ++c) {
        auto *item = new QTableWidgetItem(cells[c]);
        item->setToolTip(cells[c]); // a long value (a seal, a path) whole
        m_list->setItem(row, c, item);
    }
    m_list->scrollToBottom();
}

void AuditTrailWindow::showSeal()
{
    m_seal->setText(QStringLiteral("Seal of the recording: %1").arg(m_trail.seal().text()));
}

// What decides what the window stores, by name, as the audit trail gives it.
std::vector<std::pair<QString, QString>> TFCOMM::storingSettings() const
{
    return {
        {QStringLiteral("sampling interval"), RecordSI->isChecked()
                                                  ? RecordSITime->text() + QStringLiteral(" s")
                                                  : QStringLiteral("off (every reading)")},
        {QStringLiteral("repeat"),
         RepeatSet->isChecked() ? QStringLiteral("stored") : QStringLiteral("skipped")},
        {QStringLiteral("record limit"), QString::number(S.RecordLimit)},
        {QStringLiteral("download mode"),
         RecallData->isChecked() ? QStringLiteral("on") : QStringLiteral("off")},
    };
}

void TFCOMM::buildAudit()
{
    AuditTrail &audit = Out->audit();
    Out->beginAudit(QStringLiteral(TX9_VERSION));
    m_settingsAudited = storingSettings();
    for (const auto &[name, value] : m_settingsAudited)
        audit.record(name, QString(), value);
    // A setting changed goes into the trail once it has stood still for a moment (a number
    // typed digit by digit is one change).
    auto *settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(1500);
    connect(settle, &QTimer::timeout, this, &TFCOMM::auditSettings);
    auto changed = [settle] { settle->start(); };
    connect(RecordSI, &QCheckBox::toggled, this, changed);
    connect(RecordSITime, &QLineEdit::textChanged, this, changed);
    connect(RepeatSet, &QCheckBox::toggled, this, changed);
    connect(RecallData, &QCheckBox::toggled, this, changed);
    for (const RecordLimitEntry &e : RecordLimitEntries)
        connect(this->*e.action, &QAction::triggered, this, changed);
    // Readings stored under a setting not yet in the trail: it goes in first.
    connect(&Engine, &LoggerEngine::rowStored, this, [this, settle] {
        if (settle->isActive()) {
            settle->stop();
            auditSettings();
        }
    });

    AuditTrailEntry = ToolsMenu->addAction(QStringLiteral("Audit Trail..."));
    ToolsMenu->insertAction(SummaryReportEntry, AuditTrailEntry);
    connect(AuditTrailEntry, &QAction::triggered, this, &TFCOMM::showAuditWindow);
}

void TFCOMM::auditSettings()
{
    const auto now = storingSettings();
    for (size_t i = 0; i < now.size(); ++i)
        if (now[i].second != m_settingsAudited[i].second)
            Out->audit().record(now[i].first, m_settingsAudited[i].second, now[i].second);
    m_settingsAudited = now;
}

void TFCOMM::showAuditWindow()
{
    if (!m_auditWindow) {
        m_auditWindow = new AuditTrailWindow(Out->audit(), this);
        m_auditWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_auditWindow, &AuditTrailWindow::saveRequested, this, &TFCOMM::saveAuditClick);
    }
    m_auditWindow->show();
    m_auditWindow->raise();
    m_auditWindow->activateWindow();
}

void TFCOMM::saveAuditClick()
{
    saveToolList(
        QStringLiteral("the audit trail"), QStringLiteral("audit"), QStringLiteral("audit entries"),
        [this](const QString &path, QString *reason) {
            return SafeFile::writeWhole(path, Out->audit().listText(), reason);
        },
        [this] { return qint64(Out->audit().all().size()); });
}
