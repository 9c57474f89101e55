#pragma once

// A contiguous array for recordings of any length. It grows by remapping its
// pages (mremap), so growth never copies the data nor needs it twice in
// memory, and it drops elements from the front in amortised constant time
// (rolling mode). Element types must be trivially copyable.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kvq::waveform {

// Process-wide ceiling on the bytes all growable arrays may map; tests lower
// it to provoke a failed growth. Negative: no ceiling.
void setGrowableArrayLimit(std::int64_t bytes);
std::int64_t growableArrayBytes();

namespace detail {
// Maps, grows or releases an anonymous private mapping; null on failure.
void* remapBytes(void* old, std::size_t oldBytes, std::size_t newBytes);
void unmapBytes(void* base, std::size_t bytes);
// Faults in [from, from + bytes) at once; false if the kernel cannot.
bool populate(void* from, std::size_t bytes);
} // namespace detail

template <typename T> class GrowableArray {
    static_assert(std::is_trivially_copyable<T>::value, "raw memory only");

public:
    GrowableArray() = default;
    ~GrowableArray() { clear(); }
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;

    const T* data() const { return m_base + m_begin; }
    T* data() { return m_base + m_begin; }
    std::int64_t size() const { return std::int64_t(m_size); }
    bool empty() const { return m_size == 0; }
    const T& operator[](std::int64_t i) const { return m_base[m_begin + std::size_t(i)]; }
    const T& back() const { return m_base[m_begin + m_size - 1]; }
    // Bytes of address space held (pages are only resident once written).
    std::size_t capacityBytes() const { return m_capacity * sizeof(T); }

    // False when the array could not grow; the contents stay as they were.
    bool push(T value)
    {
        if (m_begin + m_size == m_capacity && !makeRoom())
            return false;
        m_base[m_begin + m_size] = value;
        ++m_size;
        return true;
    }
    // Elements that can still be pushed without growing, sliding or faulting.
    std::size_t room() const { return (m_ready < m_capacity ? m_ready : m_capacity) - m_begin - m_size; }
    // Appends where room() > 0 is known.
    void pushUnchecked(T value)
    {
        m_base[m_begin + m_size] = value;
        ++m_size;
    }
    // Ensures room for `extra` more elements without further growth.
    bool reserveMore(std::size_t extra)
    {
        while (m_begin + m_size + extra > m_capacity)
            if (!makeRoom())
                return false;
        // Pages are faulted in 2 MiB at a time: one call instead of 512 traps,
        // which matters most in a virtual machine, while at most 2 MiB per
        // array is resident ahead of the data.
        while (m_begin + m_size + extra > m_ready) {
            const std::size_t chunk = (std::size_t(2) << 20) / sizeof(T);
            const std::size_t end = m_ready + chunk < m_capacity ? m_ready + chunk : m_capacity;
            if (!detail::populate(m_base + m_ready, (end - m_ready) * sizeof(T)))
                m_populateWorks = false;
            m_ready = m_populateWorks ? end : m_capacity;
        }
        return true;
    }
    void dropFront(std::size_t n)
    {
        if (n > m_size)
            n = m_size;
        m_begin += n;
        m_size -= n;
    }
    void clear()
    {
        if (m_base)
            detail::unmapBytes(m_base, m_capacity * sizeof(T));
        m_base = nullptr;
        m_capacity = m_begin = m_size = m_ready = 0;
    }

private:
    bool makeRoom()
    {
        // Mostly dropped elements in front: slide the rest down instead of growing.
        if (m_begin > 0 && m_begin >= m_capacity / 4) {
            std::memmove(m_base, m_base + m_begin, m_size * sizeof(T));
            m_begin = 0;
            return true;
        }
        const std::size_t minimum = (std::size_t(1) << 16) / sizeof(T);
        const std::size_t next = m_capacity < minimum ? minimum : m_capacity + m_capacity / 2;
        void* grown = detail::remapBytes(m_base, m_capacity * sizeof(T), next * sizeof(T));
        if (!grown)
            return false;
        m_base = static_cast<T*>(grown);
        m_capacity = next;
        return true;
    }

    T* m_base = nullptr;
    std::size_t m_ready = 0; // elements from m_base whose pages are faulted in
    bool m_populateWorks = true;
    std::size_t m_capacity = 0;
    std::size_t m_begin = 0;
    std::size_t m_size = 0;
};

} // namespace kvq::waveform
