#include "export/FolderHand.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
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

void FolderHand::list()
{
    const int fd = ::openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return; // every make then finds its name free and the rename tells
    }
    while (const dirent* e = ::readdir(dir))
        m_listed.push_back(std::hash<std::string_view>()(e->d_name));
    ::closedir(dir);
    std::sort(m_listed.begin(), m_listed.end());
}

bool FolderHand::listed(const QByteArray& name) const
{
    const size_t h = std::hash<std::string_view>()(std::string_view(name.constData(), size_t(name.size())));
    return std::binary_search(m_listed.begin(), m_listed.end(), h);
}

int FolderHand::rename(const QByteArray& from, const QByteArray& to)
{
    if (!m_noReplaceUnknown) {
        if (::renameat2(m_dirFd, from.constData(), m_dirFd, to.constData(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        m_noReplaceUnknown = true;
    }
    // Looked at just before, as close as this file system allows.
    struct stat st {};
    if (::fstatat(m_dirFd, to.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(m_dirFd, from.constData(), m_dirFd, to.constData()) == 0 ? 0 : errno;
}

void FolderHand::run()
{
    list();
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
        int fd = -1;
        if (!listed(t.name) && !listed(t.writeName)) {
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
    if (!c.closeError)
        c.renameError = rename(t.writeName, t.name);
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_closed.push_back(c);
    }
    m_done.notify_one();
}

} // namespace ExportCore
