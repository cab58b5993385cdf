// A second thread copying rows of an export of one file per row: the export
// offers the rows it has in view, the copier takes the newest not yet begun
// while the export copies from the oldest. Only for sources read without
// seeking (an image in memory or on a solid-state disk): there two copies in
// flight keep the copy from being bound to one core; on a disk that rotates
// they would only make it seek.
//
// Copied in the kernel where the source and the file allow, else read and
// written here. Anything else (an unreadable stretch, the end of the
// source, a failed write, a cancel) stops the row where it is, and the
// export goes on from there with its own handling of bad sectors and
// errors: what a damaged source yields does not depend on who copied first.
#pragma once

#include "scan/SFragmentFit.h"

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class NyxCIOSystemDevice;

namespace ExportCore {

class OutputFile;

class CopyAhead {
public:
    struct Row {
        NyxCIOSystemDevice* device = nullptr; // outlives the copy (see quiesce)
        int fd = -1;                          // an empty file, written at its position
        std::shared_ptr<const SExtentList> extents; // well formed, within the source
    };
    struct Copied {
        qint64 bytes = 0; // written, from the row's first byte on, in order
        qint64 reads = 0; // copy requests made
        bool whole = false;
    };

    // Stops between blocks once cancel is set.
    explicit CopyAhead(const std::atomic<bool>* cancel);
    // Finishes the row being copied, leaves the rest, and stops.
    ~CopyAhead();
    CopyAhead(const CopyAhead&) = delete;
    CopyAhead& operator=(const CopyAhead&) = delete;

    // In the order the export will reach them, after those offered before;
    // offered at once, so the copier starts from the newest of them.
    void offer(std::vector<Row> rows);
    // The row offered with fd: false when it was not begun (or never
    // offered), and is now the caller's to copy; true with what was copied,
    // waited for.
    bool take(int fd, Copied* copied);
    // Rows not begun are left to the caller; returns once none is being
    // copied, so their sources may be closed.
    void quiesce();

private:
    enum class State { Offered, Copying, Done, Left, Taken };
    struct Slot {
        Row row;
        State state = State::Offered;
        Copied copied;
    };
    void run();
    Copied copy(const Row& row);
    bool copying() const;

    const std::atomic<bool>* m_cancel;
    std::mutex m_lock;
    std::condition_variable m_work; // the copier waits here
    std::condition_variable m_done; // the caller waits here
    std::deque<Slot> m_slots;
    bool m_idle = false;
    bool m_waiting = false;
    bool m_stop = false;
    // The copier's own.
    std::unique_ptr<OutputFile> m_out;
    std::unique_ptr<char[]> m_buf;

    std::thread m_thread;
};

} // namespace ExportCore
