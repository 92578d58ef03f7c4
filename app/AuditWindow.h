#pragma once
// Tools -> Audit Trail...: every entry of this session's audit trail as it is made (time, who,
// what, before, after), the recording's seal, and a Save button for the list.

#include <QWidget>

class AuditTrail;
class QLabel;
class QTableWidget;
struct AuditEntry;

class AuditTrailWindow : public QWidget
{
    Q_OBJECT
public:
    AuditTrailWindow(AuditTrail &trail, QWidget *parent);

signals:
    void saveRequested();

private:
    void add(const AuditEntry &entry);
    void showSeal();

    AuditTrail &m_trail;
    QTableWidget *m_list;
    QLabel *m_seal;
};
