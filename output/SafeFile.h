#pragma once
// The one way the program writes a file: every write, the flush of what is buffered, the sync
// and the rename are checked, and the first failure is kept with its errno so the caller can
// give the real reason. A file is replaced only by a complete, synced copy, so a failed save
// leaves the old one byte for byte.
//
// FileFaults is the seam under it: a test installs a hook that fails any step of any file
// with an errno of its choice (ENOSPC, EIO), as a full or failing disk would.

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <functional>

namespace FileFaults {

enum class Step
{
    Open,   // creating or opening the file
    Write,  // one write() while the file is being written
    Flush,  // the write() of what is still buffered when the file is finished
    Sync,   // fdatasync()
    Rename, // putting the finished copy in place of the file
};

// Returns the errno to fail step of the file at path with, or 0 to let it run.
using Hook = std::function<int(Step step, const QString &path)>;
// Installs hook for every later file step, on any thread; an empty hook removes it.
void install(Hook hook);
// The hook's answer; 0 when none is installed.
int inject(Step step, const QString &path);

} // namespace FileFaults

namespace FileIo {

// Writes all of data to fd as step; 0 on success, else the errno (ENOSPC for a write of
// nothing).
int writeAll(int fd, const char *data, qsizetype size, const QString &path,
             FileFaults::Step step = FileFaults::Step::Write);
int sync(int fd, const QString &path);
int rename(const QString &from, const QString &to);
// The reason for an errno, as the user reads it ("No space left on device").
QString reason(int error);
// The program's state folder ($XDG_STATE_HOME/tx9-logger, ~/.local/state/tx9-logger by
// default): its journals, its logs and its signing key.
QString stateFolder();
// Whether a and b name one file: the same device and inode when both exist, else (neither
// exists yet) the same name in the same folder.
bool sameFile(const QString &a, const QString &b);
// Why path must not be replaced by a file of the kind (named kind) whose bytes begin with
// magic: it holds something else (a recording given as a report's name). Empty when it may be.
QString holdsSomethingElse(const QString &path, const QByteArray &magic, const QString &kind);
// Up to size bytes of fd from offset at (fewer at its end, none when a read fails).
QByteArray readAt(int fd, qint64 at, qint64 size);
// The offset of the last byte c in fd's bytes [floor, end), or -1 when there is none (or a
// read fails). Read backwards in large blocks: a gigabyte without c costs about a second.
qint64 lastByte(int fd, char c, qint64 floor, qint64 end);

} // namespace FileIo

// A file written through a temporary copy beside it, put in its place by commit().
class SafeFile
{
public:
    // newFileMode: the permissions of a file that did not exist (before the umask); a file
    // that did keeps its own.
    explicit SafeFile(const QString &path, int newFileMode = 0666);
    ~SafeFile(); // an uncommitted copy is removed; the old file stays
    SafeFile(const SafeFile &) = delete;
    SafeFile &operator=(const SafeFile &) = delete;

    // Only a regular file (or a new name) is written: a pipe would block until a reader
    // comes, and a device node is no place for a table.
    bool open();
    bool write(const char *data, qsizetype size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // The rest written out, synced, and renamed over the file. False on any failure, with the
    // old file untouched.
    bool commit();

    // bytes as the whole of path, written, synced and renamed over it; false with the reason
    // (the old file untouched) when any step failed.
    static bool writeWhole(const QString &path, const QByteArray &bytes, QString *reason,
                           int newFileMode = 0666);

    // The errno of the first failure, 0 while none (EINVAL for a path that is not a regular
    // file).
    int error() const { return m_error; }
    // Why the file could not be written, in words.
    QString errorString() const;

private:
    bool fail(int error);
    bool writeOut(FileFaults::Step step);

    QString m_path, m_target, m_temp;
    int m_newFileMode;
    int m_fd = -1;
    int m_error = 0;
    bool m_notRegular = false;
    QByteArray m_buffer;
};

// A QIODevice over a SafeFile, for writers that want a device (image and PDF writers).
class SafeFileDevice : public QIODevice
{
public:
    explicit SafeFileDevice(const QString &path) : m_file(path) {}
    bool open(OpenMode mode) override;
    bool isSequential() const override { return true; }
    bool commit() { return m_file.commit(); }
    const SafeFile &file() const { return m_file; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    SafeFile m_file;
};
