#include "waveform/growablearray.h"

#include <sys/mman.h>
#include <unistd.h>

namespace kvq::waveform {
namespace {
std::atomic<std::int64_t> g_limit{-1};
std::atomic<std::int64_t> g_mapped{0};

std::size_t pageRound(std::size_t bytes)
{
    static const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}
} // namespace

void setGrowableArrayLimit(std::int64_t bytes)
{
    g_limit = bytes;
}

std::int64_t growableArrayBytes()
{
    return g_mapped.load();
}

namespace detail {

void* remapBytes(void* old, std::size_t oldBytes, std::size_t newBytes)
{
    oldBytes = old ? pageRound(oldBytes) : 0;
    newBytes = pageRound(newBytes);
    const std::int64_t limit = g_limit.load();
    if (limit >= 0 && g_mapped.load() + std::int64_t(newBytes - oldBytes) > limit)
        return nullptr;
    void* result =
        old ? ::mremap(old, oldBytes, newBytes, MREMAP_MAYMOVE)
            : ::mmap(nullptr, newBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (result == MAP_FAILED)
        return nullptr;
    // Huge pages: a recording touches its arrays page after page, and in a
    // virtual machine every 4 KiB fault is costly. Advice only; ignored where
    // the kernel has no transparent huge pages.
    if (newBytes >= (std::size_t(2) << 20))
        ::madvise(result, newBytes, MADV_HUGEPAGE);
    g_mapped += std::int64_t(newBytes - oldBytes);
    return result;
}

bool populate(void* from, std::size_t bytes)
{
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14
#endif
    // madvise wants a page-aligned start; the partial page before it is mapped already.
    static const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(from) & ~(page - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(from) + bytes;
    return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) == 0;
}

void unmapBytes(void* base, std::size_t bytes)
{
    bytes = pageRound(bytes);
    ::munmap(base, bytes);
    g_mapped -= std::int64_t(bytes);
}

} // namespace detail
} // namespace kvq::waveform
