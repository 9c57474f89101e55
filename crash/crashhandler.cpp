#include "crash/crashhandler.h"

#include "version.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// Everything the signal handler touches is prepared before any crash: no
// allocation, locking or Qt call is allowed once a signal has arrived.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr size_t kPathMax = 4096;

char g_folder[kPathMax];
struct sigaction g_previous[kSignalCount];
std::atomic<int> g_handling{0};
unsigned g_dumpCounter = 0;

// A small append-only text buffer for the handler: fixed storage, no libc
// formatting (snprintf is not async-signal-safe).
struct Text {
    static constexpr size_t kCapacity = kPathMax + 256;
    char data[kCapacity + 1]; // one more for the terminating zero of c_str()
    size_t size = 0;

    Text& add(const char* s)
    {
        while (*s && size < kCapacity)
            data[size++] = *s++;
        return *this;
    }
    Text& add(const Text& other)
    {
        for (size_t i = 0; i < other.size && size < kCapacity; ++i)
            data[size++] = other.data[i];
        return *this;
    }
    const char* c_str()
    {
        data[size] = 0;
        return data;
    }
    bool full() const { return size >= kCapacity; }
    Text& number(unsigned long long value, unsigned base = 10, int minDigits = 1)
    {
        char digits[32];
        int n = 0;
        do {
            const unsigned d = unsigned(value % base);
            digits[n++] = char(d < 10 ? '0' + d : 'a' + d - 10);
            value /= base;
        } while (value && n < 32);
        while (n < minDigits && n < 32)
            digits[n++] = '0';
        while (n > 0 && size < kCapacity)
            data[size++] = digits[--n];
        return *this;
    }
    Text& hex(unsigned long long value, int minDigits = 1)
    {
        add("0x");
        return number(value, 16, minDigits);
    }
};

void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

void writeText(int fd, const Text& text)
{
    writeAll(fd, text.data, text.size);
}

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "unknown";
    }
}

// UTC calendar date from seconds since 1970 (Howard Hinnant's civil_from_days).
void addUtcTime(Text& text, long long seconds)
{
    const long long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const long long secs = seconds - days * 86400;
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2);
    text.number(year, 10, 4).add("-").number(month, 10, 2).add("-").number(day, 10, 2).add(" ");
    text.number(secs / 3600, 10, 2).add(":").number(secs / 60 % 60, 10, 2).add(":").number(secs % 60, 10, 2);
    text.add(" UTC");
}

void copyFile(int out, const char* path)
{
    const int in = ::open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        writeAll(out, buffer, size_t(n));
    }
    ::close(in);
}

// Opens a new dump file with a unique identifier; returns its descriptor and
// leaves the identifier in `id`.
int createDump(Text& id, const timespec& now, long tid)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        id.size = 0;
        id.number((unsigned long long)now.tv_sec & 0xffffffffULL, 16, 8).add("-");
        id.number((unsigned long long)::getpid() & 0xffff, 16, 4).add("-");
        id.number((unsigned long long)tid & 0xffff, 16, 4).add("-");
        id.number(g_dumpCounter++ & 0xffff, 16, 4).add("-");
        id.number((unsigned long long)now.tv_nsec, 16, 12);
        Text path;
        path.add(g_folder).add("/").add(id).add(".dmp");
        if (path.full())
            return -1;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void writeDump(int sig, siginfo_t* info, void* context)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long tid = ::syscall(SYS_gettid);

    Text id;
    const int fd = createDump(id, now, tid);
    if (fd >= 0) {
        char threadName[17] = {};
        ::prctl(PR_GET_NAME, threadName, 0, 0, 0);
        Text head;
        head.add("KVQ-M crash dump\n");
        head.add("Version: ").add(KVQ_APP_VERSION).add("\n");
        head.add("Time: ");
        addUtcTime(head, now.tv_sec);
        head.add(" (").number((unsigned long long)now.tv_sec).add(")\n");
        head.add("Process: ").number((unsigned long long)::getpid()).add("\n");
        head.add("Thread: ").number((unsigned long long)tid).add(" \"").add(threadName).add("\"\n");
        head.add("Signal: ").add(signalName(sig)).add(" (").number((unsigned long long)sig).add(")");
        head.add(" code ").number((unsigned long long)(info ? unsigned(info->si_code) : 0u)).add("\n");
        head.add("Fault address: ")
            .hex((unsigned long long)(uintptr_t)(info ? info->si_addr : nullptr))
            .add("\n");
#if defined(__x86_64__)
        if (context) {
            const auto* uc = static_cast<const ucontext_t*>(context);
            head.add("Instruction pointer: ")
                .hex((unsigned long long)uc->uc_mcontext.gregs[REG_RIP])
                .add("\n");
        }
#else
        (void)context;
#endif
        head.add("\nBacktrace:\n");
        writeText(fd, head);
        void* frames[64];
        const int depth = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, depth, fd);
        // The map turns the addresses above into file offsets for addr2line.
        const char mapHeader[] = "\nMemory map:\n";
        writeAll(fd, mapHeader, sizeof(mapHeader) - 1);
        copyFile(fd, "/proc/self/maps");
        ::fsync(fd);
        ::close(fd);
    }
    QBreakpadHandler::dumpCallback(g_folder, id.c_str(), fd >= 0);
}

void onCrashSignal(int sig, siginfo_t* info, void* context)
{
    // A second fault while dumping (or a crash on another thread at the same
    // time) must not write another dump or loop: it goes straight to the default.
    if (g_handling.exchange(1) == 0)
        writeDump(sig, info, context);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(kSignals[i], &dfl, nullptr);
    }
    // Delivered once the handler returns (the signal is blocked inside it), so
    // the process ends with its real signal and status for the parent.
    ::raise(sig);
}

bool installSignalHandlers()
{
    // Warm up backtrace(): its first call loads libgcc_s, which allocates.
    void* warm[2];
    ::backtrace(warm, 2);

    // A stack of its own so that a stack overflow can still be reported.
    static char* altStack = nullptr;
    if (!altStack) {
        const size_t size = 64 * 1024;
        altStack = static_cast<char*>(std::malloc(size));
        if (altStack) {
            stack_t ss{};
            ss.ss_sp = altStack;
            ss.ss_size = size;
            ::sigaltstack(&ss, nullptr);
        }
    }

    struct sigaction action {};
    action.sa_sigaction = onCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (int i = 0; i < kSignalCount; ++i)
        ok = ::sigaction(kSignals[i], &action, &g_previous[i]) == 0 && ok;
    return ok;
}

} // namespace

QBreakpadHandler* QBreakpadHandler::instance()
{
    // 0 none, 1 being created, 2 created.
    static std::atomic<int> state{0};
    static QBreakpadHandler* handler = nullptr;
    int expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        handler = new QBreakpadHandler;
        state.store(2);
    } else {
        while (state.load() != 2)
            QThread::yieldCurrentThread();
    }
    return handler;
}

void QBreakpadHandler::setDumpPath(const QString& folder)
{
    QString path = folder;
    if (QDir::isRelativePath(path)) {
        const QString base =
            QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
        path = QDir(base).filePath(path);
    }
    path = QDir::cleanPath(path);
    QDir().mkpath(path);
    const QByteArray native = QFile::encodeName(path);
    if (!QFileInfo(path).isDir() || size_t(native.size()) >= kPathMax - 64) {
        qDebug("Failed to set dump path which not exists: %s", native.constData());
        return;
    }
    m_dumpPath = path;
    std::memcpy(g_folder, native.constData(), size_t(native.size()) + 1);
    m_installed = installSignalHandlers();
}

bool QBreakpadHandler::dumpCallback(const char* folder, const char* dumpId, bool succeeded)
{
    // Runs inside the signal handler: plain write(2) to the debug output (stderr).
    Text line;
    line.add(succeeded ? "Succeed to write minidump" : "Failed to write minidump");
    line.add(", dump path: ").add(folder).add("/").add(dumpId).add("\n");
    writeText(STDERR_FILENO, line);
    return succeeded;
}
