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
    g_mapped += std::int64_t(newBytes - oldBytes);
    return result;
}

void unmapBytes(void* base, std::size_t bytes)
{
    bytes = pageRound(bytes);
    ::munmap(base, bytes);
    g_mapped -= std::int64_t(bytes);
}

} // namespace detail
} // namespace kvq::waveform
