// The folder side of an export of one file per row, on a thread of its own:
// it makes the next rows' files ahead of the copy and closes and names the
// finished ones behind it. On a folder of many small files that bookkeeping
// costs about as much as the copy; here it runs beside it. The folder is
// listed once: a name not there then is made without looking, and renamed
// onto only while it is still free.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace ExportCore {

class FolderHand {
public:
    // What becomes of a file once closed.
    enum class Then { Rename, Keep, Remove };
    struct Closed {
        int closeError = 0;  // close failed: not renamed
        int renameError = 0; // EEXIST: the name was taken meanwhile, and kept
    };

    // dirFd: the export's folder, held open by the caller while this lives.
    explicit FolderHand(int dirFd);
    // Carries out what was asked, then stops.
    ~FolderHand();
    FolderHand(const FolderHand&) = delete;
    FolderHand& operator=(const FolderHand&) = delete;

    // When nothing bore name or writeName in the listing, makes writeName
    // (never through an existing file or link). made() tells, in the order
    // asked.
    void make(const QByteArray& name, const QByteArray& writeName);
    // The open file of the oldest make not yet taken, or -1 when name was
    // taken, writeName existed or could not be made: the caller then looks
    // for itself, and says why.
    int made();
    // Closes fd, then renames writeName to name, unless something bears that
    // name by then, or removes it, as asked. Only a rename has an outcome to
    // take.
    void close(int fd, const QByteArray& writeName, const QByteArray& name, Then then);
    // Whether the oldest rename's outcome is in.
    bool closedReady();
    // The oldest rename's outcome, waited for.
    Closed closed();

private:
    struct Task {
        bool make = false;
        int fd = -1;
        QByteArray name;
        QByteArray writeName;
        Then then = Then::Keep;
    };
    void run();
    void carryOut(const Task& t);
    // The names in the folder, kept as hashes: a name wrongly taken for
    // present only goes the long way.
    void list();
    bool listed(const QByteArray& name) const;
    int rename(const QByteArray& from, const QByteArray& to);
    // Queues t, waking the hand only when it sleeps.
    void ask(Task t);
    // The oldest outcome of one kind, waited for.
    template <class T>
    T takeOldest(std::deque<T>& outcomes);

    const int m_dirFd;
    std::mutex m_lock;
    std::condition_variable m_work; // the hand waits here
    std::condition_variable m_done; // the caller waits here
    bool m_idle = false; // asleep until woken
    std::deque<Task> m_tasks;
    std::deque<int> m_made;
    std::deque<Closed> m_closed;
    bool m_stop = false;
    // The hand's own, read before and after the listing only by it.
    std::vector<size_t> m_listed;
    bool m_noReplaceUnknown = false; // the folder's file system refuses RENAME_NOREPLACE
    std::thread m_thread;
};

} // namespace ExportCore
