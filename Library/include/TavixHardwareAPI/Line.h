// What every user of one port in this process shares: who may put frames on it
// (LineOwnership) and what it still owes its readers (ReplyLedger).
//
// A port is one line however many streams a process opens on it (the detect functions open
// their own, a program may build a second Osmira on another stream): the line is found by the
// device behind the descriptor, so a servo loop's claim and a late reply are seen by every
// object on that port. A stream that is not open has a line of its own.
//
// Exclusive use: the first stream of a process on a port takes an advisory exclusive lock on it
// (flock), the one serial tools on this platform honour; a port locked by another process does
// not open (EBUSY). Later streams of the same process share the lock, which lasts until the
// process's last stream on that port is gone.
//
// Threads: finding and releasing lines is safe from any thread; what a line holds follows the
// rules of LineOwnership (the ledger is used by whoever holds the line's call).
#pragma once

#include <map>
#include <memory>

#include "TavixHardwareAPI/LineOwnership.h"
#include "TavixHardwareAPI/ReplyLedger.h"

namespace Tavix::HardwareAPI::IO {

class Line {
public:
    // The line of the port open on `fd` (not owned, stays open): the one this process already
    // has, or a new one holding the port's exclusive lock. Null, with `err` = EBUSY, when
    // another process holds the port.
    static std::shared_ptr<Line> OfPort(int fd, int& err);
    // A line for a stream that is not open: shared with nobody.
    static std::shared_ptr<Line> Unshared();

    Line() = default;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Devices::LineOwnership ownership;
    Devices::ReplyLedger ledger;

private:
    struct Key {
        unsigned long long device = 0, inode = 0;
        bool operator<(const Key& other) const;
    };
    static Key KeyOf(int fd, bool& ok);
    static std::map<Key, std::weak_ptr<Line>>& Registry();

    Key key{};
    int lock = -1;  // a descriptor of this process's own on the port, holding its exclusive lock
};

}  // namespace Tavix::HardwareAPI::IO
