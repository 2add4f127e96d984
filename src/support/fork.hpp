// Locks that a fork cannot leave held.
//
// fork() copies only the thread that calls it. A lock that another thread
// held at that moment stays held in the child for good, and the child's
// first call that needs it waits forever: `multiprocessing` forks this way
// while other threads are inside calls. So the forking thread takes every
// ForkSafeMutex just before the fork, when no other thread can be halfway
// through what one guards, and releases them all afterwards, in the parent
// and in the child alike.
#pragma once

#include <mutex>

namespace ostrel {

// A mutex registered for the fork handlers on construction, for good: only
// for objects that live until the process ends (at namespace scope, made as
// the module loads). The code it guards must not take another ForkSafeMutex,
// nor wait for anything that a fork in progress holds up: not the
// interpreter, and not the allocator where a thread may hold it detached
// (the sanitizers' runtimes hold theirs across the whole fork, the handlers
// included), so such code makes and frees nothing under it.
class ForkSafeMutex {
public:
    ForkSafeMutex() noexcept;
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

private:
    friend struct ForkHandlers;
    std::mutex mutex_;
    ForkSafeMutex* next_ = nullptr;
};

}  // namespace ostrel
