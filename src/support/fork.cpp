// The fork handlers of every ForkSafeMutex.
#include "support/fork.hpp"

#include <pthread.h>

namespace ostrel {

struct ForkHandlers {
    // Held from before a fork to after it, so that no mutex joins the list
    // between the handler that takes them all and the one that releases them.
    static inline std::mutex list_lock;
    static inline ForkSafeMutex* registered = nullptr;
    static inline bool installed = false;

    static void before() noexcept {
        list_lock.lock();
        for (ForkSafeMutex* m = registered; m != nullptr; m = m->next_) m->mutex_.lock();
    }
    // In the child the forking thread is the one that took them, so it may
    // release them as the parent does.
    static void after() noexcept {
        for (ForkSafeMutex* m = registered; m != nullptr; m = m->next_) m->mutex_.unlock();
        list_lock.unlock();
    }
};

ForkSafeMutex::ForkSafeMutex() noexcept {
    const std::lock_guard held(ForkHandlers::list_lock);
    // Without the handlers a fork behaves as with a plain mutex; installing
    // them fails only when the C library is out of memory.
    if (!ForkHandlers::installed) {
        ForkHandlers::installed = ::pthread_atfork(ForkHandlers::before, ForkHandlers::after, ForkHandlers::after) == 0;
    }
    next_ = ForkHandlers::registered;
    ForkHandlers::registered = this;
}

}  // namespace ostrel
