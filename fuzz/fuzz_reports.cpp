// The report stream: arbitrary bytes cut into reports of arbitrary sizes (the input chooses
// the cuts) and fed through the frame handler into decoding, the LCD panel and the recorder,
// with Download Data ticked or not.
//
// Input: byte 0 bit 0 ticks Download Data, bit 1 unticks the repeat filter; then reports,
// each a length byte followed by the report ID and that many data bytes.

#include "FuzzChecks.h"
#include "app/RD7F.h"
#include "bench/QuietPrompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>

namespace {

TFCOMM *window = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    static QuietPrompts prompts;
    Prompts::install(&prompts);
    window = new TFCOMM;
    window->RecordSITime->setText(QStringLiteral("0"));
    window->limitess->trigger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    TFCOMM &w = *window;
    w.RecallData->setChecked(data[0] & 1);
    w.RepeatSet->setChecked(!(data[0] & 2));
    w.RecordSI->setChecked(false);
    const qint64 rowsBefore = w.cds1->count();
    qint32 lastNo = w.S.NextRecordNo;
    size_t i = 1;
    while (i < size) {
        const size_t len = data[i++];
        if (i >= size)
            break;
        const quint8 reportId = data[i++];
        const size_t n = std::min(len, size - i);
        w.HidDataReceived(nullptr, reportId, data + i, quint16(n));
        i += n;
        fuzzRequire(w.S.NextRecordNo >= lastNo, "NextRecordNo went back");
        lastNo = w.S.NextRecordNo;
        fuzzRequire(w.S.HidAccum.size() <= 64, "the frame under assembly grew without bound");
    }
    checkTable(*w.cds1, rowsBefore);
    // Keep the table small between inputs.
    if (w.cds1->count() > 50000)
        w.cds1->clear();
    return 0;
}
