#include "app/base/helpers.h"
#include "app/base/logging.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

// Log lines come from the USB and decode threads; this is what one costs,
// flushes (every sixth line, with its pause) included.
static void BM_WriteLog(benchmark::State& state)
{
    QTemporaryDir dir;
    kvq::startLog(dir.path());
    const QString line = QStringLiteral("    USB read of 16384 bytes completed");
    for (auto _ : state)
        kvq::writeLog(line);
    kvq::closeLog();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteLog);

// Statistics panels format several values per channel once a second; cheap is enough.
static void BM_FormatFixed4(benchmark::State& state)
{
    double v = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kvq::formatFixed4(v));
        v += 0.00731;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatFixed4);
