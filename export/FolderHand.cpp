#include "export/FolderHand.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ExportCore {

namespace {
// While files keep coming the hand looks for work on its own, at this
// pace: a wake from the copy costs it a system call and, on a virtual
// machine, a good part of a small file's copy. Files are asked for rows
// ahead, so the wait costs nothing. After a few looks in vain it sleeps
// until woken.
constexpr auto kLookEvery = std::chrono::microseconds(250);
constexpr int kLooksBeforeSleep = 8;
} // namespace

FolderHand::FolderHand(int dirFd) : m_dirFd(dirFd), m_thread([this] { run(); }) {}

FolderHand::~FolderHand()
{
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stop = true;
    }
    m_work.notify_one();
    m_thread.join();
    // Files made and never taken: nothing was written into them.
    for (int fd : m_made)
        if (fd >= 0)
            ::close(fd);
}

void FolderHand::ask(Task t)
{
    bool wake;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_tasks.push_back(std::move(t));
        wake = m_idle;
    }
    if (wake)
        m_work.notify_one();
}

void FolderHand::make(const QByteArray& name, const QByteArray& writeName)
{
    ask({true, -1, name, writeName, Then::Keep});
}

template <class T>
T FolderHand::takeOldest(std::deque<T>& outcomes)
{
    std::unique_lock<std::mutex> g(m_lock);
    // What is asked is carried out in order: the hand need only be awake.
    if (outcomes.empty() && !m_tasks.empty())
        m_work.notify_one();
    m_done.wait(g, [&] { return !outcomes.empty(); });
    const T oldest = outcomes.front();
    outcomes.pop_front();
    return oldest;
}

int FolderHand::made() { return takeOldest(m_made); }

void FolderHand::close(int fd, const QByteArray& writeName, const QByteArray& name, Then then)
{
    ask({false, fd, name, writeName, then});
}

bool FolderHand::closedReady()
{
    std::lock_guard<std::mutex> g(m_lock);
    return !m_closed.empty();
}

FolderHand::Closed FolderHand::closed() { return takeOldest(m_closed); }

void FolderHand::run()
{
    std::unique_lock<std::mutex> g(m_lock);
    int looks = 0;
    for (;;) {
        if (m_tasks.empty()) {
            if (m_stop)
                return;
            if (looks < kLooksBeforeSleep) {
                ++looks;
                m_work.wait_for(g, kLookEvery);
            } else {
                m_idle = true;
                m_work.wait(g);
                m_idle = false;
            }
            continue;
        }
        looks = 0;
        const Task t = std::move(m_tasks.front());
        m_tasks.pop_front();
        g.unlock();
        carryOut(t);
        g.lock();
    }
}

void FolderHand::carryOut(const Task& t)
{
    if (t.make) {
        struct stat st {};
        int fd = -1;
        if (::fstatat(m_dirFd, t.name.constData(), &st, 0) != 0 && errno == ENOENT) {
            do {
                fd = ::openat(m_dirFd, t.writeName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              0666);
            } while (fd < 0 && errno == EINTR);
        }
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_made.push_back(fd);
        }
        m_done.notify_one();
        return;
    }
    Closed c;
    // Linux closes the descriptor even when close reports an error; never retry.
    if (::close(t.fd) != 0)
        c.closeError = errno;
    if (t.then == Then::Remove)
        ::unlinkat(m_dirFd, t.writeName.constData(), 0);
    if (t.then != Then::Rename)
        return;
    if (!c.closeError && ::renameat(m_dirFd, t.writeName.constData(), m_dirFd, t.name.constData()) != 0)
        c.renameError = errno;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_closed.push_back(c);
    }
    m_done.notify_one();
}

} // namespace ExportCore
