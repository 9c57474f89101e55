#pragma once

// How many threads use a shared object that one owner destroys or empties.
// The owner closes the count, which refuses new uses, and waits until the
// last one has ended; the wait runs none of the waiter's events, so nothing
// can re-enter the waiter meanwhile. Users poll the owner's closing flag,
// which keeps the wait short.

#include <condition_variable>
#include <memory>
#include <mutex>

namespace kvq {

class UseCount {
public:
    // A use that is never refused (the device's busy count).
    void operator++()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
    }
    void operator--()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_count == 0)
            m_idle.notify_all();
    }
    // A use unless the count is closed.
    bool tryAcquire()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return false;
        ++m_count;
        return true;
    }
    int load() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    bool isClosed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }
    void waitIdle()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_count == 0; });
    }
    // Refuses new uses and waits for the running ones to end.
    void closeAndWait()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        waitIdle();
    }
    void reopen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = false;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_count = 0;
    bool m_closed = false;
};

// One use of `T` that may travel with a queued job: copies share it, and it
// ends with the last copy, whether the job ran or was dropped unrun. Empty
// when the object was null or its count closed.
template <typename T> class Hold {
public:
    Hold() = default;
    Hold(T* object, UseCount& count)
    {
        if (object && count.tryAcquire())
            m_use = std::shared_ptr<T>(object, [&count](T*) { --count; });
    }
    T* get() const { return m_use.get(); }
    T* operator->() const { return m_use.get(); }
    T& operator*() const { return *m_use; }
    explicit operator bool() const { return bool(m_use); }
    void reset() { m_use.reset(); }

private:
    std::shared_ptr<T> m_use;
};

} // namespace kvq
