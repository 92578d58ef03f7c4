#include "output/DataFiles.h"
#include "proof/Digest.h"
#include "proof/GrowingSeal.h"
#include "proof/SigningKey.h"
#include "proof/SshSig.h"
#include "proof/SshWire.h"
#include "proof/Trail.h"
#include "proof/Verify.h"
#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

// Keys and signatures against the real ssh-keygen, both ways; the seal of every file format;
// and every change to a signed file found, with no false alarm on the honest paths.
class tst_Proof : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::optional<SigningKey> m_key;
    const std::vector<AuditEntry> m_entries{
        AuditEntry::now(0, QStringLiteral("session started")),
        AuditEntry::now(0, QStringLiteral("interval"), QStringLiteral("1"), QStringLiteral("5"))};

    QString path(const QString &name) const { return m_dir.filePath(name); }

    static int keygen(const QStringList &args, const QByteArray &input = {},
                      QByteArray *output = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral("ssh-keygen"), args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(30000);
        if (output)
            *output = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    static void write(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static QByteArray read(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Rows of a random walk, dated, as a recording holds them.
    static void fill(MeasurementTable &t, qint64 n, QRandomGenerator &rng)
    {
        QDateTime at(QDate(2026, 12, 9), QTime(23, 59, 0));
        double v = 20;
        for (qint64 i = 0; i < n; ++i) {
            at = at.addSecs(1 + rng.bounded(3));
            v += (rng.bounded(21) - 10) / 10.0;
            const bool none = rng.bounded(50) == 0;
            t.appendRow({qint32(i + 1), at.time().toString(QStringLiteral("HH:mm:ss")),
                         none ? QStringLiteral("----") : QString::number(v, 'f', 1),
                         rng.bounded(2) ? QStringLiteral("#") : QStringLiteral("?"), at});
        }
    }
    // The table saved as name (its extension or csv deciding the format), sealed and signed
    // with two entries; the seal.
    QString save(const MeasurementTable &t, const QString &name)
    {
        const QString file = path(name);
        QString why;
        const bool ok = name.endsWith(QLatin1String(".csv"))
                            ? DataFiles::saveCsv(t, file, nullptr, &why)
                            : DataFiles::saveTable(t, file, QDate(2026, 12, 9), nullptr, &why);
        if (!ok)
            return QStringLiteral("unsaved: ") + why;
        // The same entries for every save (made once: a slow save must not see another second).
        std::vector<AuditEntry> entries = m_entries;
        entries[1].Rows = t.count() / 2;
        const std::optional<QString> seal = Trail::sealSaved(file, t, entries, *m_key, &why);
        return seal ? *seal : QStringLiteral("unsealed: ") + why;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_key = SigningKey::generate(QStringLiteral("tx9-logger@test"));
        QVERIFY(m_key);
        write(path("allowed_signers"), "tx9-logger@test " + m_key->publicLine() + '\n');
        // The keys trusted here without --allowed-signers: the user's list names the test's.
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("config/tx9-logger")));
        write(path("config/tx9-logger/allowed_signers"),
              "tx9-logger@test " + m_key->publicLine() + '\n');
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(path("config")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(path("state")));
    }

    // The allowed-signers reader against ssh-keygen -Y verify, line by line: each line alone
    // in a file, the same signature, the same moment; both must allow or refuse alike.
    void allowedSignersAsOpenSsh()
    {
        const QByteArray data = "No\tTime\n1\t10:00:00\t20.0\t#\n";
        write(path("as.txt"), data);
        write(path("as.txt.sig"), SshSig::sign(*m_key, Digest::of(Digest::Kind::Sha512, data)));
        const std::optional<SigningKey> other = SigningKey::generate(QStringLiteral("o@x"));
        const QByteArray k = "ssh-ed25519 " + m_key->publicBlob().toBase64();
        const QByteArray o = "ssh-ed25519 " + other->publicBlob().toBase64();
        const QByteArray rsaTyped = "ssh-rsa " + m_key->publicBlob().toBase64();
        const QDateTime at(QDate(2026, 12, 10), QTime(12, 0));
        const struct
        {
            QByteArray Line;
            const char *Identity;
            bool Allowed;
        } lines[] = {
            {"a@x " + k, "a@x", true},
            {"a@x namespaces=\"tx9-logger\" " + k, "a@x", true},
            {"a@x namespaces=\"other\" " + k, "a@x", false},
            {"a@x namespaces=\"xtx9-logger\" " + k, "a@x", false},
            {"a@x namespaces=\"tx9-logger,other\" " + k, "a@x", true},
            {"a@x namespaces=\"other,tx9-logger\" " + k, "a@x", true},
            {"a@x namespaces=\"tx9-*\" " + k, "a@x", true},
            {"a@x namespaces=\"!tx9-logger,*\" " + k, "a@x", false},
            {"a@x NAMESPACES=\"tx9-logger\" " + k, "a@x", true},
            {"a@x namespaces=tx9-logger " + k, "a@x", false},
            {"a@x valid-after=\"20261201\" " + k, "a@x", true},
            {"a@x valid-after=\"20261211\" " + k, "a@x", false},
            {"a@x valid-before=\"20261209\" " + k, "a@x", false},
            {"a@x valid-before=\"20261211Z\" " + k, "a@x", true},
            {"a@x valid-after=\"202612010000\",valid-before=\"20270101000000\" " + k, "a@x", true},
            {"a@x valid-after=\"20261205\",valid-before=\"20261201\" " + k, "a@x", false},
            {"a@x valid-after=\"2026\" " + k, "a@x", false},
            {"a@x " + rsaTyped, "a@x", false},
            {"# a@x " + k, "a@x", false},
            {"   a@x\t" + k + " a comment", "a@x", true},
            {"\"a@x b@y\" " + k, "a@x b@y", true},
            {"a@x,b@y " + k, "b@y", true},
            {"a@x cert-authority " + k, "a@x", false},
            {"a@x " + o, "a@x", false},
            {"a@x unknown=\"1\" " + k, "a@x", false},
            {"a@x namespaces=\"tx9-logger\",cert-authority " + k, "a@x", false},
            {"a@x namespaces=\"tx9-logger " + k, "a@x", false},
            {"a@x", "a@x", false},
        };
        int i = 0;
        for (const auto &l : lines) {
            const QString file = path(QStringLiteral("signers-%1").arg(++i));
            write(file, l.Line + '\n');
            const int keygenSays =
                keygen({"-Y", "verify", "-f", file, "-I", QString::fromUtf8(l.Identity), "-n",
                        "tx9-logger", "-s", path("as.txt.sig"), "-Overify-time=20261210120000"},
                       data);
            AllowedSigners ours;
            QString why;
            QVERIFY(ours.read(file, &why));
            const AllowedSigners::Verdict v = ours.check(m_key->publicBlob(), "tx9-logger", at);
            const QString said = QStringLiteral("line %1 (%2): ssh-keygen %3, ours %4 %5")
                                     .arg(i)
                                     .arg(QString::fromUtf8(l.Line.left(60)))
                                     .arg(keygenSays)
                                     .arg(v.Principals.join(','), v.Why);
            QVERIFY2((keygenSays == 0) == l.Allowed, qPrintable(said));
            QVERIFY2(!v.Principals.isEmpty() == l.Allowed, qPrintable(said));
            if (l.Allowed)
                QVERIFY2(AllowedSigners::matchList(QString::fromUtf8(l.Identity),
                                                   v.Principals.join(',')) == 1 ||
                             v.Principals.contains(QString::fromUtf8(l.Identity)),
                         qPrintable(said));
            if (l.Line.contains("cert-authority") && l.Line.endsWith(k))
                QVERIFY2(ours.problems().join(' ').contains("certificates are not"),
                         qPrintable(said));
        }
    }

    // --verify trusts only keys it knows: another key's signature, on a file whose trail is
    // gone, is not intact; a missing trail is said and is status 12; a signature with bytes
    // after it inside its blob is refused as OpenSSH refuses it.
    void trustOnlyKnownKeys()
    {
        QRandomGenerator rng(21);
        MeasurementTable t;
        fill(t, 300, rng);
        QVERIFY(save(t, "trusted.txt").contains('@'));
        const QString file = path("trusted.txt");
        QCOMPARE(Verify::file(file, {}).What, Verify::Outcome::Intact);
        // No trail: the signature still checked, and said.
        QVERIFY(QFile::rename(Trail::trailOf(file), file + ".kept"));
        Verify::Result r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Unsigned);
        QVERIFY2(r.Sentence.startsWith("no audit trail beside it: rows cannot be named, seals "
                                       "cannot be checked"),
                 qPrintable(r.Sentence));
        QCOMPARE(Verify::status({r}), Verify::Unsigned);
        // Changed and signed again with a stranger's key: not trusted here.
        QByteArray bytes = read(file);
        bytes.replace("\t20.", "\t21.");
        write(file, bytes);
        const std::optional<SigningKey> stranger = SigningKey::generate(QStringLiteral("s@x"));
        QString why;
        QVERIFY(
            Trail::writeSignature(file, Digest::of(Digest::Kind::Sha512, bytes), *stranger, &why));
        r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains("signed by a key that is not trusted here: " +
                                     SigningKey::fingerprint(stranger->publicBlob())),
                 qPrintable(r.Sentence));
        // A signature blob with a byte after the signature: OpenSSH refuses it, and so do we.
        const QByteArray sig = SshSig::sign(*m_key, Digest::of(Digest::Kind::Sha512, bytes));
        std::optional<QByteArray> blob = SshWire::unarmour("SSH SIGNATURE", sig);
        QVERIFY(blob);
        // The last string is the signature: its length grows by one, a byte follows.
        const qsizetype lenAt = blob->size() - (4 + 11 + 4 + 64) - 4;
        QCOMPARE(quint8(blob->at(lenAt + 3)), quint8(4 + 11 + 4 + 64));
        (*blob)[lenAt + 3] = char(4 + 11 + 4 + 64 + 1);
        *blob += 'x';
        write(Trail::signatureOf(file), SshWire::armour("SSH SIGNATURE", *blob));
        QVERIFY(keygen({"-Y", "verify", "-f", path("allowed_signers"), "-I", "tx9-logger@test",
                        "-n", "tx9-logger", "-s", Trail::signatureOf(file)},
                       bytes) != 0);
        r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains("bytes follow its signature"), qPrintable(r.Sentence));
    }

    // A private key others may read is refused where the program keeps its own, as ssh
    // refuses it, and so is a link there; a key a person names is taken with a notice.
    void keyFilePermissions()
    {
        const QString own = path("own-key");
        write(own, m_key->openSshText());
        QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                       QFile::ReadOther);
        QString why, notice;
        QVERIFY(!SigningKey::loadOrCreate(own, QStringLiteral("c"), &why));
        QVERIFY2(why.startsWith("permissions 0644 for " + own + " are too open"), qPrintable(why));
        QVERIFY(SigningKey::readChosen(own, &why, &notice));
        QVERIFY2(notice.contains("are too open") && notice.contains("--signing-key"),
                 qPrintable(notice));
        QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY2(SigningKey::loadOrCreate(own, QStringLiteral("c"), &why), qPrintable(why));
        const QString link = path("linked-key");
        QVERIFY(QFile::link(own, link));
        QVERIFY(!SigningKey::loadOrCreate(link, QStringLiteral("c"), &why));
        QVERIFY2(why.contains("it is a link"), qPrintable(why));
    }

    // Our key file is one ssh-keygen reads, with the same public key and fingerprint; a key
    // ssh-keygen made is one we read; the keys we cannot sign with are refused in words.
    void keysBothWays()
    {
        const QString ours = path("ours");
        write(ours, m_key->openSshText());
        QFile::setPermissions(ours, QFile::ReadOwner | QFile::WriteOwner);
        QByteArray out;
        QCOMPARE(keygen({"-y", "-f", ours}, {}, &out), 0);
        QCOMPARE(out.trimmed(), m_key->publicLine());
        QCOMPARE(keygen({"-l", "-f", ours}, {}, &out), 0);
        QVERIFY2(out.contains(SigningKey::fingerprint(m_key->publicBlob()).toLatin1()), out);

        const QString theirs = path("theirs");
        QCOMPARE(keygen({"-q", "-t", "ed25519", "-N", "", "-C", "anna@desk", "-f", theirs}), 0);
        QString why;
        const std::optional<SigningKey> read =
            SigningKey::fromOpenSsh(::tst_Proof::read(theirs), &why);
        QVERIFY2(read, qPrintable(why));
        QCOMPARE(read->publicLine(), ::tst_Proof::read(theirs + ".pub").trimmed());
        QCOMPARE(SigningKey::fromOpenSsh(read->openSshText(), &why)->publicLine(),
                 read->publicLine());

        const struct
        {
            QStringList Args;
            const char *Why;
        } refused[] = {
            {{"-t", "ed25519", "-N", "secret"}, "passphrase"},
            {{"-t", "ecdsa", "-N", ""}, "Ed25519 key"},
        };
        for (const auto &r : refused) {
            const QString f = path(QStringLiteral("refused-%1").arg(r.Why).replace(' ', '-'));
            QCOMPARE(keygen(QStringList{"-q"} + r.Args + QStringList{"-f", f}), 0);
            QVERIFY(!SigningKey::fromOpenSsh(::tst_Proof::read(f), &why));
            QVERIFY2(why.contains(QLatin1String(r.Why)), qPrintable(why));
        }
        QByteArray damaged = m_key->openSshText();
        damaged[120] = damaged[120] == 'A' ? 'B' : 'A';
        QVERIFY(!SigningKey::fromOpenSsh(damaged, &why));
    }

    // We sign and ssh-keygen verifies; ssh-keygen signs and we verify; a changed byte fails
    // both; a signature for another namespace is not ours.
    void signaturesBothWays()
    {
        const QString data = path("data.bin");
        QByteArray bytes(100000, Qt::Uninitialized);
        QRandomGenerator rng(7);
        for (char &c : bytes)
            c = char(rng.bounded(256));
        write(data, bytes);
        QString why;
        QVERIFY2(Trail::writeSignature(data, Digest::of(Digest::Kind::Sha512, bytes), *m_key, &why),
                 qPrintable(why));
        const QStringList verify{"-Y", "verify",          "-f", path("allowed_signers"),
                                 "-I", "tx9-logger@test", "-n", "tx9-logger",
                                 "-s", data + ".sig"};
        QCOMPARE(keygen(verify, bytes), 0);
        QByteArray changed = bytes;
        changed[5000] ^= 1;
        QVERIFY(keygen(verify, changed) != 0);

        // Signed by ssh-keygen with its own key, and read by us.
        const QString key = path("theirs");
        for (const char *ns : {"tx9-logger", "file"}) {
            QFile::remove(data + ".sig");
            QCOMPARE(keygen({"-Y", "sign", "-q", "-f", key, "-n", ns, data}), 0);
            const std::optional<SshSig::Parsed> sig = SshSig::parse(read(data + ".sig"), &why);
            QVERIFY2(sig, qPrintable(why));
            QCOMPARE(sig->Ns, QByteArray(ns));
            QCOMPARE(sig->PublicBlob, SigningKey::fromOpenSsh(read(key), &why)->publicBlob());
            const Digest::Kind kind =
                sig->HashAlgorithm == "sha256" ? Digest::Kind::Sha256 : Digest::Kind::Sha512;
            QVERIFY(SshSig::holds(*sig, Digest::of(kind, bytes)));
            QVERIFY(!SshSig::holds(*sig, Digest::of(kind, changed)));
        }
    }

    // The text, XML and CSV saves of the same rows have one seal, and each checks intact,
    // by whom the allowed signers say.
    void oneSealForEveryFormat()
    {
        QRandomGenerator rng(11);
        MeasurementTable t;
        fill(t, 9000, rng);
        const QString text = save(t, "rows.txt"), xml = save(t, "rows.xml"),
                      csv = save(t, "rows.csv");
        QVERIFY2(text.contains('@'), qPrintable(text));
        QCOMPARE(xml, text);
        QCOMPARE(csv, text);
        AllowedSigners signers;
        QString why;
        QVERIFY2(signers.read(path("allowed_signers"), &why), qPrintable(why));
        for (const char *name : {"rows.txt", "rows.xml", "rows.csv"}) {
            const Verify::Result r = Verify::file(path(name), {&signers});
            QCOMPARE(r.What, Verify::Outcome::Intact);
            QVERIFY2(r.Sentence.startsWith(QLatin1String("intact: 9000 rows, signed by "
                                                         "tx9-logger@test at ")),
                     qPrintable(r.Sentence));
            QCOMPARE(r.Seal, text);
            // The seal kept elsewhere: this one holds; another does not.
            Verify::Options o{&signers, text.left(64).toLatin1(), 9000};
            QCOMPARE(Verify::file(path(name), o).What, Verify::Outcome::Intact);
            o.SealHex = QByteArray(64, 'a');
            QCOMPARE(Verify::file(path(name), o).What, Verify::Outcome::Changed);
            // ssh-keygen checks it alone.
            QCOMPARE(keygen({"-Y", "verify", "-f", path("allowed_signers"), "-I", "tx9-logger@test",
                             "-n", "tx9-logger", "-s", path(name) + ".sig"},
                            read(path(name))),
                     0);
        }
        // Another key, not among the allowed signers.
        const std::optional<SigningKey> stranger = SigningKey::generate(QStringLiteral("x@y"));
        QVERIFY(Trail::writeSignature(path("rows.txt"),
                                      Digest::of(Digest::Kind::Sha512, read(path("rows.txt"))),
                                      *stranger, &why));
        const Verify::Result r = Verify::file(path("rows.txt"), {&signers});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains(QLatin1String("not among the allowed signers")),
                 qPrintable(r.Sentence));
    }

    // Every change to a file, its signature or its trail is found: a row changed, removed,
    // added or swapped with another, a byte of the signature or the trail. Where rows
    // changed, the rows named include the first one changed.
    void everyChangeIsFound()
    {
        QRandomGenerator rng(QRandomGenerator::global()->generate());
        const quint32 seed = rng.generate();
        rng.seed(seed);
        for (int round = 0; round < 48; ++round) {
            MeasurementTable t;
            fill(t, 50 + rng.bounded(9000), rng);
            const char *formats[] = {"t.txt", "t.csv", "t.xml"};
            const QString name = QString::fromLatin1(formats[rng.bounded(3)]);
            const QString file = path(name);
            const QString seal = save(t, name);
            QVERIFY2(seal.contains('@'), qPrintable(seal));
            QCOMPARE(Verify::file(file, {}).What, Verify::Outcome::Intact);

            QByteArray bytes = read(file);
            const bool xml = name.endsWith(QLatin1String(".xml"));
            // The rows' lines (a text or CSV file: after the header; XML: its row elements).
            QList<QByteArray> lines = bytes.split('\n');
            const int headerLines = name.endsWith(QLatin1String(".txt")) ? 3 : 1;
            const int kind = xml ? 4 + rng.bounded(3) : rng.bounded(7);
            const qint64 row = rng.bounded(int(t.count()));
            QString what;
            switch (kind) {
            case 0: { // a value changed
                QByteArray &line = lines[headerLines + row];
                const qsizetype at =
                    line.lastIndexOf(name.endsWith(QLatin1String(".csv")) ? ',' : '\t');
                line.insert(at, "9");
                what = QStringLiteral("changed");
                break;
            }
            case 1:
                lines.removeAt(headerLines + row);
                what = QStringLiteral("removed");
                break;
            case 2:
                lines.insert(headerLines + row, lines[headerLines + row]);
                what = QStringLiteral("added");
                break;
            case 3: {
                const qint64 other = (row + 1 + rng.bounded(int(t.count()) - 1)) % t.count();
                lines.swapItemsAt(headerLines + row, headerLines + other);
                what = QStringLiteral("swapped");
                break;
            }
            default:
                break;
            }
            if (kind <= 3) {
                write(file, lines.join('\n'));
            } else if (kind == 4 || kind == 5) { // the signature or the trail, a byte of it
                const QString victim = kind == 4 ? Trail::signatureOf(file) : Trail::trailOf(file);
                QByteArray v = read(victim);
                const int at = 40 + rng.bounded(int(v.size()) - 80);
                v[at] = v[at] == 'A' ? 'B' : 'A';
                write(victim, v);
                what = QStringLiteral("a byte of %1").arg(victim);
            } else { // the signature cut short
                write(Trail::signatureOf(file), read(Trail::signatureOf(file)).left(100));
                what = QStringLiteral("signature cut");
            }
            const Verify::Result r = Verify::file(file, {});
            QVERIFY2(r.What == Verify::Outcome::Changed || r.What == Verify::Outcome::Unreadable,
                     qPrintable(QStringLiteral("seed %1 round %2 %3 (row %4): %5")
                                    .arg(seed)
                                    .arg(round)
                                    .arg(what)
                                    .arg(row)
                                    .arg(r.Sentence)));
            if (kind <= 3 && kind != 2 && r.Sentence.contains(QLatin1String(" to No "))) {
                // "the rows No a to No b differ": a <= the first row changed (for a row
                // removed, the one that took its place).
                const QRegularExpression range(QStringLiteral("No (\\d+) to No (\\d+)"));
                const QRegularExpressionMatch m = range.match(r.Sentence);
                QVERIFY(m.hasMatch());
                QVERIFY2(
                    m.captured(1).toLongLong() <= row + (kind == 1 ? 2 : 1),
                    qPrintable(
                        QStringLiteral("%1 row %2: %3").arg(what).arg(row + 1).arg(r.Sentence)));
                // A changed value is named within a seal's span of rows.
                if (kind == 0)
                    QVERIFY2(m.captured(2).toLongLong() - m.captured(1).toLongLong() + 1 <=
                                 Trail::sealSpan(t.count()),
                             qPrintable(QStringLiteral("%1 row %2 of %3: %4")
                                            .arg(what)
                                            .arg(row + 1)
                                            .arg(t.count())
                                            .arg(r.Sentence)));
            }
            QFile::remove(file);
            QFile::remove(Trail::signatureOf(file));
            QFile::remove(Trail::trailOf(file));
            QFile::remove(Trail::signatureOf(Trail::trailOf(file)));
        }
    }

    // A file that grows: each sync signs and seals it; rows written after the last sync (a
    // run killed) are named as such and nothing else; going on with it seals them in.
    void growingFile()
    {
        const QString file = path("grow.txt");
        QRandomGenerator rng(5);
        MeasurementTable t;
        fill(t, 400, rng);
        auto lines = [&](qint64 first, qint64 last) {
            QByteArray out;
            DataFiles::appendTextRows(out, t, first, last);
            return out;
        };
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        GrowingSeal seal(file, *m_key);
        QString why;
        QVERIFY2(seal.start(&why), qPrintable(why));
        const QByteArray header = DataFiles::textFileHeader(QDate(2026, 12, 9));
        f.write(header);
        seal.addBytes(header);
        seal.addEntry(AuditEntry::now(0, QStringLiteral("session started")));
        qint64 done = 0;
        while (done < 300) {
            const qint64 n = qMin<qint64>(300 - done, 1 + rng.bounded(20));
            const QByteArray bytes = lines(done, done + n - 1);
            f.write(bytes);
            f.flush();
            for (qint64 r = done; r < done + n; ++r)
                seal.expectRow();
            seal.addBytes(bytes);
            for (qint64 r = done; r < done + n; ++r)
                seal.addRow(t, r);
            done += n;
            if (rng.bounded(3) == 0)
                seal.addEntry(AuditEntry::now(0, QStringLiteral("note added"), {},
                                              QStringLiteral("tab\there")));
            QVERIFY2(seal.sync(&why), qPrintable(why));
            const Verify::Result now = Verify::file(file, {});
            QVERIFY2(now.What == Verify::Outcome::Intact, qPrintable(now.Sentence));
        }
        // Killed after writing rows it never synced, with a torn last line.
        f.write(lines(300, 309) + "311\t00:0");
        f.close();
        const qint64 wholeEnd = read(file).lastIndexOf('\n') + 1;
        Verify::Result r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains(QLatin1String("10 rows were added after its last seal (from "
                                                   "No 301)")),
                 qPrintable(r.Sentence));
        Verify::Detail detail;
        r = Verify::file(file, {nullptr, std::nullopt, 0, wholeEnd}, &detail);
        QVERIFY2(r.OnlyAfterSeal, qPrintable(r.Sentence));
        QCOMPARE(detail.Rows->count(), 310);

        // Going on with it: the torn line cut, the rows after the seal sealed in.
        QVERIFY(QFile::resize(file, wholeEnd));
        GrowingSeal more(file, *m_key);
        QVERIFY2(more.resume(wholeEnd, *detail.Rows, detail.Trail, detail.TrailEnd, &why),
                 qPrintable(why));
        more.addEntry(AuditEntry::now(0, QStringLiteral("rows after the last seal"), QString(),
                                      QStringLiteral("10")));
        QVERIFY(f.open(QIODevice::Append));
        const QByteArray rest = lines(310, 399);
        f.write(rest);
        f.close();
        for (qint64 r = 310; r < 400; ++r)
            more.expectRow();
        more.addBytes(rest);
        for (qint64 r = 310; r < 400; ++r)
            more.addRow(t, r);
        QVERIFY2(more.sync(&why), qPrintable(why));
        r = Verify::file(file, {});
        QVERIFY2(r.What == Verify::Outcome::Intact, qPrintable(r.Sentence));
        QCOMPARE(r.Rows, 400);
        QCOMPARE(r.Seal, more.seal().text());
        // Rows come faster than syncs: a changed one is still named within 64 rows.
        QByteArray grown = read(file);
        const qsizetype line = grown.indexOf("\n351\t");
        QVERIFY(line > 0);
        grown.insert(grown.indexOf('\n', line + 1), "9");
        write(file, grown);
        r = Verify::file(file, {});
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("No (\\d+) to No (\\d+)")).match(r.Sentence);
        QVERIFY2(m.hasMatch() && m.captured(1).toInt() <= 351 && m.captured(2).toInt() >= 351 &&
                     m.captured(2).toInt() - m.captured(1).toInt() < 64,
                 qPrintable(r.Sentence));
    }

    // What is not a signed data file ends as changed or unreadable, in a sentence, quickly:
    // junk, one huge line, a signature of another namespace, of another kind of key, cut
    // short, far too large, or no signature at all.
    void hostileInput()
    {
        QRandomGenerator rng(3);
        MeasurementTable t;
        fill(t, 100, rng);
        const QString good = path("good.txt");
        QVERIFY(save(t, "good.txt").contains('@'));
        const QByteArray sig = read(Trail::signatureOf(good));
        const struct
        {
            const char *Name;
            QByteArray Data, Sig;
            Verify::Outcome Expected;
        } cases[] = {
            {"junk", QByteArray(5000, '\x07'), sig, Verify::Outcome::Changed},
            {"huge-line", QByteArray(50 << 20, 'x'), {}, Verify::Outcome::Unreadable},
            {"nothing", {}, {}, Verify::Outcome::Unreadable},
            {"sig-cut", read(good), sig.left(sig.size() / 2) + "\n-----END SSH SIGNATURE-----\n",
             Verify::Outcome::Changed},
            {"sig-junk", read(good), QByteArray(200, 'A'), Verify::Outcome::Changed},
            {"sig-huge", read(good), QByteArray(1 << 20, 'A'), Verify::Outcome::Changed},
            {"unsigned", read(good), {}, Verify::Outcome::Unsigned},
        };
        for (const auto &c : cases) {
            const QString file = path(QStringLiteral("%1.txt").arg(c.Name));
            write(file, c.Data);
            if (!c.Sig.isEmpty())
                write(Trail::signatureOf(file), c.Sig);
            QElapsedTimer clock;
            clock.start();
            const Verify::Result r = Verify::file(file, {});
            QVERIFY2(r.What == c.Expected,
                     qPrintable(QStringLiteral("%1: %2").arg(c.Name, r.Sentence)));
            QVERIFY(!r.Sentence.isEmpty());
        }
        // Signatures made by ssh-keygen of another namespace and with another kind of key.
        const QString file = path("other.txt");
        write(file, read(good));
        QCOMPARE(keygen({"-Y", "sign", "-q", "-f", path("theirs"), "-n", "file", file}), 0);
        Verify::Result r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains(QLatin1String("is for \"file\"")), qPrintable(r.Sentence));
        QFile::remove(file + ".sig");
        QCOMPARE(keygen({"-Y", "sign", "-q", "-f", path("refused-Ed25519-key"), "-n", "tx9-logger",
                         file}),
                 0);
        r = Verify::file(file, {});
        QCOMPARE(r.What, Verify::Outcome::Changed);
        QVERIFY2(r.Sentence.contains(QLatin1String("not an Ed25519")), qPrintable(r.Sentence));
    }
};

QTEST_GUILESS_MAIN(tst_Proof)
#include "tst_Proof.moc"
