// Installs the crash handler and then dies the way argv[2] says, so that the
// test can look at what was left in the crash folder.
#include "crash/crashhandler.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

volatile int g_zero = 0;
volatile int g_numerator = 100; // 1 / x would be folded into a compare without a division

// The faults are the point here, so the sanitizers must not report them first.
[[noreturn]] __attribute__((no_sanitize("undefined", "address"))) void die(const char* how)
{
    if (!std::strcmp(how, "segv")) {
        volatile int* p = nullptr;
        *p = 42;
    } else if (!std::strcmp(how, "abort")) {
        std::abort();
    } else if (!std::strcmp(how, "fpe")) {
        volatile int r = g_numerator / g_zero;
        (void)r;
    } else if (!std::strcmp(how, "ill")) {
        __builtin_trap();
    } else if (!std::strcmp(how, "bus")) {
        std::raise(SIGBUS);
    } else if (!std::strcmp(how, "thread")) {
        std::thread([] { die("segv"); }).join();
    }
    std::_Exit(3);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    QCoreApplication app(argc, argv);
    QBreakpadHandler::instance()->setDumpPath(QString::fromLocal8Bit(argv[1]));
    die(argv[2]);
}
