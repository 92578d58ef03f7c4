#pragma once
// The main window: its controls at their designed places, the shared state, the timers, the
// menu and the closing question. The handlers keep the names of the controls and events they
// answer; each is a little glue around the decoding, recording and USB classes.

#include "alarms/Statistics.h"
#include "app/MainState.h"
#include "app/NewMsgDlg.h"
#include "mqtt/MqttOptions.h"
#include "proof/Seal.h"
#include "recording/LocaleInfo.h"
#include "report/SummaryInput.h"

#include <QMainWindow>
#include <QPointer>

class LoggersWindow;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class LcdPanel;
class MeasurementGrid;
class Outputs;
class MeasurementTable;
class QCustomPlot;
class TChartControl;
class HidPlatform;
class THidDevice;
class THidDeviceController;
class Journal;

class TFCOMM;
class AlarmMonitor;
class AlarmsWindow;
class AuditTrailWindow;
class StatisticsWindow;
class TimeChart;
struct SummaryInput;
class TableStatistics;
struct AlarmSettings;

// The signature and seal of a file the window saves, made with the save (on its thread) from
// the recording's audit entries as they were when the save began.
struct SavedProof
{
    SavedProof(const TFCOMM &window, const MeasurementTable *table);
    void make(const QString &path, const MeasurementTable &rows);
    std::vector<AuditEntry> Entries;
    QString Seal; // HASH@ROWS once made
    QString Why;  // why not, when not
};

// Held by a command of the window that may run long work with an event loop (saving, loading,
// the picture, the report).
class LongCommand
{
public:
    explicit LongCommand(TFCOMM *window);
    ~LongCommand();
    LongCommand(const LongCommand &) = delete;
    LongCommand &operator=(const LongCommand &) = delete;

private:
    TFCOMM *m_window;
};

class TFCOMM : public QMainWindow, private LoggerSession::Settings, private LoggerSession::Route
{
    Q_OBJECT
    friend struct SavedProof;

public:
    // platform: where HID interfaces come from; none gives an empty device list.
    explicit TFCOMM(HidPlatform *platform = nullptr, QWidget *parent = nullptr);
    ~TFCOMM() override;

    // The logging session: the device list, the connect sequence, the frames and the
    // recording rules, the table and the journal. The handlers below are the window's glue
    // over it, and the state they share is the session's.
    LoggerSession Session;
    MainState &S = Session.state();
    LoggerEngine &Engine = Session.engine();

    // Top bar.
    QWidget *Panel4;
    QPushButton *USBCon;
    QCheckBox *RecallData;
    QPushButton *BitBtn1;
    // Left column.
    QWidget *Panel5;
    LcdPanel *Panel1;
    QProgressBar *PBar2;
    QWidget *Panel6;
    QCheckBox *RepeatSet;
    QCheckBox *RecordSI;
    QLineEdit *RecordSITime;
    QToolButton *RecordNew;
    QToolButton *OpenDataFiles;
    QToolButton *saveas;
    QToolButton *BtPrint;
    MeasurementGrid *DBGrid1;
    // Right area.
    QWidget *Panel7;
    QWidget *Panel8;
    QLabel *CONokN;
    QLabel *CONok;
    QLabel *Label6;
    QLineEdit *Maxrecord;
    QToolButton *BtSave;
    QToolButton *BtFirst;
    QToolButton *BTPrevious;
    QToolButton *Bt10;
    QToolButton *BtNext;
    QToolButton *BTlast;
    QCustomPlot *Chtshow;
    QLabel *lbl_time;
    // Controls the user never sees; the USB connection works through them.
    QListWidget *DevListBox;
    QListWidget *HistoryListBox;
    QToolButton *ReadBtn;
    QPushButton *SetFeature;
    QPushButton *SendData;
    QLabel *USBtxt;
    QLabel *USBtxt1;
    QCheckBox *B2400;
    QCheckBox *B4800;
    QCheckBox *B9600;
    // Timers.
    QTimer *ConTimer;
    QTimer *Timer1;
    QTimer *Timer2;
    QTimer *Trecord;
    // Menu.
    QMenu *ConnectMenu;
    QAction *START;
    QAction *STOP;
    QMenu *RecordMenu;
    QAction *RecordNewEntry;
    QAction *RecordSaveEntry;
    QAction *N10001;
    QAction *N50001;
    QAction *N100001;
    QAction *N500001;
    QAction *N1000001;
    QAction *limitess;

    MeasurementTable *cds1;
    THidDeviceController *&HidCtl = Engine.Controller;
    THidDevice *&SelectedHidDevice = Engine.Selected;
    // The device held by each line of DevListBox.
    QList<THidDevice *> &DevListObjects = Engine.Devices;
    static constexpr int HistoryLimit = 10000;
    TChartControl *ChartCtl = nullptr;

    // Frame decoding and readout.
    void HidDataReceived(THidDevice *HidDev, quint8 ReportID, const quint8 *Data, quint16 Size);
    void LcdDisplay81(int mode);
    void INDataToTable();

    void BitBtn1Click();
    void Timer1Timer();
    void Timer2Timer();
    void ConTimerTimer();
    void showConnectCaption();
    void TrecordTimer();

    // Recording.
    void RecordSITimeChange();
    // The record-limit entries of the Record menu, in menu order.
    struct RecordLimitEntry
    {
        QAction *TFCOMM::*action;
        const char *name;
        const char *caption;
        qint32 limit;
    };
    static const RecordLimitEntry RecordLimitEntries[6];
    void RecordLimitClick(QAction *entry);
    void RecordNewClick();
    void ChartReset();
    // Chart paging.
    void BtFirstClick();
    void BTPreviousClick();
    void BtNextClick();
    void BTlastClick();
    void MaxrecordExit();
    // USB connection.
    void USBConClick();
    void SendUSBData(quint8 value);
    void SendDataClick();
    void SetFeatureClick();
    void ReadBtnClick();
    bool HidCtlEnumerate(THidDevice *HidDev, int Idx);
    void HidCtlDeviceChange(QObject *Sender);
    void HidCtlArrival(THidDevice *HidDev);
    void HidCtlRemoval(THidDevice *HidDev);
    void HidCtlDeviceDataError(THidDevice *HidDev, quint32 Error);
    static QString DeviceDescription(THidDevice *HidDev);

    // The recovery journal of the recorded rows; at start, the question whether to restore
    // what a crashed session left there (called once the window is shown).
    Journal *RecoveryJournal = nullptr;
    void offerRecovery();

    // Data files (the save command is also the answer to the record-limit message).
    void saveasClick();
    void SpeedButton2Click();
    void SaveTableToFile(MeasurementTable *table, const QString &path);
    // A save's audit entry (what: "saved", "exported"), and a signature that could not be
    // written said.
    void recordSaved(const MeasurementTable *table, const QString &what, const QString &path,
                     qint64 rows, const SavedProof &proof);
    void LoadTableFromFile(const QString &path, MeasurementTable *table, bool EmptyOnLoad);
    // Chart picture and report.
    void BtSaveClick();
    void BtPrintClick();
    QString OpenDialogFileName; // the open dialog keeps the name chosen last

    // The Tools menu: limit alarms, statistics (whole table and the chart's page), the time
    // chart of the whole recording, CSV export, the alarm log. Non-modal windows that follow
    // the recording live.
    QMenu *ToolsMenu = nullptr;
    QAction *AlarmsEntry = nullptr;
    QAction *StatisticsEntry = nullptr;
    QAction *TimeChartEntry = nullptr;
    QAction *SummaryReportEntry = nullptr;
    QAction *ExportCsvEntry = nullptr;
    QAction *SaveAlarmLogEntry = nullptr;
    Outputs *Out = nullptr; // statistics, alarms, publishing: what follows the session
    AlarmMonitor *Alarms = nullptr;
    TableStatistics *Stats = nullptr;
    void setAlarmSettings(const AlarmSettings &settings, bool remember);
    void showAlarmsWindow();
    void showStatisticsWindow();
    void showTimeChart();
    TimeChart *timeChart() const;
    void saveTimeChartPicture();
    // Notes made, edited and removed from the time chart, asked for through Prompts.
    void noteAt(double at);
    void editNote(qint64 id);
    // The summary report of what the window holds: previewed, printed or written as PDF.
    void summaryReportClick();
    SummaryInput summaryInput() const;
    void exportCsvClick();
    void saveAlarmLogClick();
    // Saves a list the Tools keep (what: "the alarm log"), asking where (base-<cable>-<time>.txt
    // in the last folder), and says how many items were saved, or why not.
    void saveToolList(const QString &what, const QString &base, const QString &items,
                      const std::function<bool(const QString &, QString *)> &save,
                      const std::function<qint64()> &count);
    // Tools -> Cable: which thermometer cable the window records when several are plugged
    // in. Without a choice the window takes the last line that reads "USB to Serial"; a
    // choice (a cable ID or node, see CableIds) takes that cable only, never another one.
    QMenu *CableMenu = nullptr;
    QLabel *CableLabel = nullptr; // the cable being recorded, at the menu bar's corner
    QString m_cableChoice;
    void buildCableMenu();
    void fillCableMenu();
    void chooseCable(const QString &want);
    void showRecordedCable(bool connected);
    int chosenCableRow() const { return chosenRow(); }
    QString cableFilePart() const;
    // Which rows the chart's points are, and those it shows now.
    PlottedRows Plotted;
    std::vector<std::pair<qint64, qint64>> pageRows() const;
    // Tools -> Audit Trail...: the session's audit trail; the settings that decide what is
    // stored, recorded in it as they change.
    QAction *AuditTrailEntry = nullptr;
    QPointer<AuditTrailWindow> m_auditWindow;
    std::vector<std::pair<QString, QString>> m_settingsAudited;
    std::vector<std::pair<QString, QString>> storingSettings() const;
    void buildAudit();
    void auditSettings();
    void showAuditWindow();
    void saveAuditClick();
    // Tools -> Loggers...: every logger that publishes to a broker, watched from here (the
    // broker of this window's publishing, when it publishes).
    QAction *LoggersEntry = nullptr;
    QPointer<LoggersWindow> m_loggersWindow;
    std::optional<Mqtt::Options> PublishingOptions;
    void showLoggersWindow();
    // The summary report's sign-off, asked: none (cancelled), or the sign-off (none: unsigned).
    std::optional<std::optional<SignOff>> askSignOff();
    QPointer<AlarmsWindow> m_alarmsWindow;
    QPointer<StatisticsWindow> m_statisticsWindow;
    QPointer<TimeChart> m_timeChart;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildTopBar();
    void buildLeftColumn();
    void buildRightArea();
    void buildHiddenControls();
    void buildTimers();
    void buildMenu();
    void buildKeyboard();
    void buildTools();
    void connectRecording();
    void showPage(int page);
    void FormCreate();
    bool FormCloseQuery();
    // The exit was confirmed while a command with long file work was under way: the window
    // closes once that command has returned, never under it.
    bool m_exitConfirmed = false;
    int m_longCommands = 0;
    friend class LongCommand;

    void connectUsb(HidPlatform *platform);
    void connectOutput();
    void addUsbLogLine(const QString &line);

    // What the session asks of the window: its controls' settings, and its hidden controls
    // as the steps of the connect sequence.
    bool recallData() const override;
    bool recordSI() const override;
    bool repeatSet() const override;
    QString intervalText() const override;
    bool connectWanted() const override;
    int chosenRow() const override;
    int baudRate() const override;
    void stopReadingStep() override;
    void baudRateStep() override;
    void startCommandStep() override;
    void sendUsbData(quint8 value) override;
    THidDataEvent dataHandler() override;
    bool clearBeforeDownload() override;
    // What the window shows of each thing the session tells (connectSession).
    void connectSession();
    void usbLog(const QString &line);
    void connecting();
    void recallLocked(bool locked);
    void noReadWriteAccess(THidDevice *device, quint32 error);
    void cableInUse(THidDevice *device, qint64 holder);
    void cableLockFailed(THidDevice *device, const QString &why);
    void noDevice(quint8 kind);
    void frameArrived(const QString &frameText);
    void identificationArrived(const QString &frameText);
    void recordSIUnchecked();
    void readingShown(const Decode::DerivedReading &reading);
    void rowStored(qint64 row, qint32 no, float value);
    void recordLimitReached();
    void tableCleared();
    void deviceListCleared();
    void deviceListed(const QString &description);
    void deviceChosen(int row);
    void connectionLost();
    void watchdogTripped();
};

// The main window; the only global of the program.
extern TFCOMM *FCOMM;
