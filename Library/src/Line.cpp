#include "TavixHardwareAPI/Line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <tuple>

namespace Tavix::HardwareAPI::IO {

namespace {
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

// Whether the exclusive lock on the file open on `fd` was taken by this very process: another
// copy of this library in it (a program that loads the Python module and a C++ plug-in, say)
// has its own registry of lines. The kernel's table of locks names each holder's process.
bool LockedByThisProcess(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " %d %02x:%02x:%llu ", static_cast<int>(getpid()), major(info.st_dev),
                  minor(info.st_dev), static_cast<unsigned long long>(info.st_ino));
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return false;
    char row[256];
    bool found = false;
    while (!found && std::fgets(row, sizeof row, locks) != nullptr)
        found = std::strstr(row, "FLOCK") != nullptr && std::strstr(row, wanted) != nullptr;
    std::fclose(locks);
    return found;
}
}  // namespace

bool Line::Key::operator<(const Key& other) const {
    return std::tie(device, inode) < std::tie(other.device, other.inode);
}

// Registered lines, by port; a line unregisters itself when its last stream lets go.
std::map<Line::Key, std::weak_ptr<Line>>& Line::Registry() {
    static auto* lines = new std::map<Line::Key, std::weak_ptr<Line>>;  // outlives every static stream
    return *lines;
}

Line::Key Line::KeyOf(int fd, bool& ok) {
    struct stat info {};
    ok = fstat(fd, &info) == 0;
    // A character device is one line whatever node names it (a by-id link, a second node).
    if (ok && S_ISCHR(info.st_mode)) return Key{static_cast<unsigned long long>(info.st_rdev), 0};
    return Key{static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino) + 1};
}

std::shared_ptr<Line> Line::Unshared() { return std::make_shared<Line>(); }

std::shared_ptr<Line> Line::OfPort(int fd, int& err) {
    bool known = false;
    const Key key = KeyOf(fd, known);
    if (!known) return Unshared();
    const std::lock_guard<std::mutex> guard(RegistryLock());
    auto& lines = Registry();
    if (const auto found = lines.find(key); found != lines.end()) {
        if (auto line = found->second.lock()) return line;
    }
    // A descriptor of its own: the lock lives as long as the line, not as the first stream.
    const int lock = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lock < 0) return Unshared();
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        const bool ours = why == EWOULDBLOCK && LockedByThisProcess(fd);
        close(lock);
        // Held by this process through another copy of the library: its own use, not another
        // program's. A file system without locks: shared use stays possible.
        if (why != EWOULDBLOCK || ours) return Unshared();
        err = EBUSY;
        return nullptr;
    }
    auto line = std::make_shared<Line>();
    line->key = key;
    line->lock = lock;
    lines[key] = line;
    return line;
}

Line::~Line() {
    if (lock < 0) return;
    {
        const std::lock_guard<std::mutex> guard(RegistryLock());
        auto& lines = Registry();
        // A new line for the same port may have been registered since this one expired.
        if (const auto found = lines.find(key); found != lines.end() && found->second.expired()) lines.erase(found);
    }
    close(lock);
}

}  // namespace Tavix::HardwareAPI::IO
