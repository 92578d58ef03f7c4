#pragma once
// What the line-based loaders share: a file read a buffer at a time and cut into whole lines
// straight from its bytes (CR LF, LF or CR), so its bytes never need memory of their own. The
// buffer grows for a long line, up to MaxLineBytes: a longer line is no line of a data file (a
// 2 GB file of zeros is one), and the load fails there.

#include "output/DataFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace DataFiles {

constexpr qint64 MaxLineBytes = qint64(4) << 20;

// Calls line(data, size) for each whole line of data[0, n) (all of it when last) while it
// returns true, and returns how many bytes were taken; the rest must come again, with more
// after it. dropTorn: a last line without its line break is no line (torn by a kill).
template <typename Line>
size_t splitLines(const char *data, size_t n, bool last, bool dropTorn, Line &&line)
{
    size_t start = 0;
    while (start < n) {
        size_t end = start;
        while (end < n && data[end] != '\r' && data[end] != '\n')
            ++end;
        // A line ends at CR LF, LF or CR; a CR at the end may still have its LF coming.
        if (!last && (end >= n || (data[end] == '\r' && end + 1 >= n)))
            break;
        if (end >= n && dropTorn)
            break;
        if (!line(data + start, end - start))
            return n;
        if (end + 1 < n && data[end] == '\r' && data[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return std::min(start, n);
}

// Reads fd to its end (or its first limit bytes) through loader.feed(data, n, last) (which returns
// the bytes it took), loader.failed() and loader.tooLong().
template <typename Loader>
LoadStatus readLines(int fd, Loader &loader, std::atomic<qint64> *bytesDone,
                     const std::atomic<bool> *cancel, qint64 limit = -1)
{
    std::vector<char> buffer(size_t(1) << 20);
    size_t have = 0;
    qint64 total = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return LoadStatus::Cancelled;
        size_t room = buffer.size() - have;
        if (limit >= 0)
            room = size_t(qMin<qint64>(qint64(room), limit - total));
        const ssize_t n = room == 0 ? 0 : ::read(fd, buffer.data() + have, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LoadStatus::Failed;
        have += size_t(n);
        total += n;
        const bool last = n == 0;
        const size_t taken = loader.feed(buffer.data(), have, last);
        if (loader.failed())
            return LoadStatus::Failed;
        std::memmove(buffer.data(), buffer.data() + taken, have - taken);
        have -= taken;
        if (bytesDone)
            bytesDone->store(total - qint64(have), std::memory_order_relaxed);
        if (last)
            return LoadStatus::Ok;
        if (have == buffer.size()) {
            if (qint64(buffer.size()) >= MaxLineBytes) {
                loader.tooLong();
                return LoadStatus::Failed;
            }
            buffer.resize(buffer.size() * 2);
        }
    }
}

} // namespace DataFiles
