// Decoding speed against sigrok-cli with the decoder Debian ships, on the same
// samples in the same run: the shared real captures, a long emulated capture
// (a negotiation burst every second; KVQ_BENCH_MINUTES, default 10) and a
// dense one (packets back to back). Also the protocol data files of the long
// capture. Each benchmark runs once; counters carry the comparison.
#include "decode/decodecontroller.h"
#include "decode/runtime.h"
#include "emulator/pdtraffic.h"
#include "files/protocolfile.h"
#include "files/sigrokfile.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <quazip5/quazip.h>
#include <quazip5/quazipfile.h>
#include <quazip5/quazipnewinfo.h>

#include <functional>
#include <vector>

using kvq::waveform::Segment;

namespace {

QTemporaryDir* g_work = nullptr;
constexpr std::uint32_t kRate = 2000000;

// Produces the line `bytes` (8 samples each) at a time; false at the end.
using LineSource = std::function<bool(std::vector<std::uint8_t>& bytes)>;

// A sigrok session of the line (probe CC1 at bit 0, one byte per sample).
bool writeSession(const QString& path, std::uint32_t rate, const LineSource& next)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    const auto member = [&](const QString& name, const QByteArray& data) {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(name), nullptr, 0, Z_DEFLATED, 1))
            return false;
        return file.write(data) == data.size();
    };
    member(QStringLiteral("version"), "2");
    member(QStringLiteral("metadata"),
           QStringLiteral("[global]\nsigrok version=0.5.1\n\n[device 1]\n"
                          "capturefile=logic-1\ntotal probes=1\nsamplerate=%1 MHz\n"
                          "total analog=0\nprobe1=CC1\nunitsize=1\n")
               .arg(rate / 1e6)
               .toUtf8());
    std::vector<std::uint8_t> bits;
    QByteArray samples;
    for (int n = 1; next(bits); ++n) {
        samples.resize(int(bits.size() * 8));
        for (size_t i = 0; i < bits.size() * 8; ++i)
            samples[int(i)] = char((bits[i >> 3] >> (i & 7)) & 1);
        if (!member(QStringLiteral("logic-1-%1").arg(n), samples))
            return false;
    }
    zip.close();
    return zip.getZipError() == 0;
}

void fillStore(Segment& store, std::uint32_t rate, const LineSource& next)
{
    store.clearCapture();
    store.setRate(rate / 1000);
    std::vector<std::uint8_t> bits;
    qint64 at = 0;
    while (next(bits)) {
        store.writeBytes(0, at, bits.data(), qint64(bits.size()), true);
        at += qint64(bits.size());
    }
}

// The emulated meter's line: `seconds` of it, 4 Mi samples at a time.
LineSource emulatedLine(double seconds)
{
    auto traffic = std::make_shared<kvq::emulator::PdTraffic>();
    auto left = std::make_shared<qint64>(qint64(seconds * kRate / 8));
    return [traffic, left](std::vector<std::uint8_t>& bytes) {
        if (*left <= 0)
            return false;
        bytes.resize(size_t(std::min<qint64>(*left, 1 << 19)));
        traffic->fill(bytes.data(), bytes.size());
        *left -= qint64(bytes.size());
        return true;
    };
}

// Source_Capabilities and GoodCRC back to back, 30 us apart, for `seconds`.
LineSource denseLine(double seconds)
{
    std::vector<std::uint8_t> caps = {0xA1, 0x51};
    for (int i = 0; i < 5; ++i)
        for (std::uint8_t b : {0x2C, 0x91, 0x01, 0x0A})
            caps.push_back(b);
    std::vector<std::uint8_t> ack = {0x41, 0x00};
    // The toggles of one packet pair, repeated.
    std::vector<qint64> period;
    double t = 0;
    for (const auto* packet : {&caps, &ack}) {
        const std::vector<double> edges = kvq::emulator::PdTraffic::packetEdges(*packet, "SOP");
        for (double e : edges)
            period.push_back(qint64((t + e) * kRate + 0.5));
        t += edges.back() + 30e-6;
    }
    const qint64 length = qint64(t * kRate) + 1;
    auto sample = std::make_shared<qint64>(0);
    const qint64 total = qint64(seconds * kRate) & ~qint64(7);
    return [period, length, sample, total](std::vector<std::uint8_t>& bytes) {
        if (*sample >= total)
            return false;
        const qint64 n = std::min<qint64>(total - *sample, qint64(1) << 22);
        bytes.assign(size_t(n / 8), 0);
        for (qint64 base = (*sample / length) * length; base < *sample + n; base += length)
            for (size_t k = 0; k + 1 < period.size(); k += 2)
                for (qint64 s = base + period[k]; s < base + period[k + 1]; ++s)
                    if (s >= *sample && s < *sample + n)
                        bytes[size_t((s - *sample) >> 3)] |= std::uint8_t(1u << ((s - *sample) & 7));
        *sample += n;
        return true;
    };
}

double decodeStore(Segment& store, size_t* messages)
{
    kvq::decode::DecodeController controller;
    controller.initSession();
    controller.setSampleRate(quint64(store.rate()) * 1000);
    qint64 consumedNs = 0;
    controller.decodeToEnd(&store, 3600 * 1000, &consumedNs);
    const double seconds = consumedNs / 1e9;
    std::lock_guard<std::mutex> lock(controller.listLock());
    *messages = controller.messages().size();
    return seconds;
}

double stockDecode(const QString& session, const QString& probe, int* lines)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("SIGROKDECODE_DIR"));
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(QStringLiteral("sigrok-cli"), {"-i", session, "-P", "usb_power_delivery:cc1=" + probe, "-A",
                                           "usb_power_delivery=type:src:snk"});
    p.waitForFinished(-1);
    const double seconds = timer.nsecsElapsed() / 1e9;
    *lines = p.readAllStandardOutput().count('\n');
    return p.exitCode() == 0 ? seconds : -1;
}

void report(benchmark::State& state, double samples, double ours, double oursWithImport, size_t messages,
            double stock, int stockMessages)
{
    state.SetIterationTime(ours);
    state.counters["samples"] = samples;
    state.counters["messages"] = double(messages);
    state.counters["stock_messages"] = stockMessages;
    state.counters["ours_s"] = ours;
    state.counters["ours_with_import_s"] = oursWithImport;
    state.counters["stock_s"] = stock;
    state.counters["stock_over_ours"] = stock / oursWithImport;
}

void BM_RealCapture(benchmark::State& state, const char* name, const char* probe)
{
    const QString path = QStringLiteral(KVQ_SOURCE_DIR "/tests/decode/data/captures/") + name + ".sr";
    for (auto _ : state) {
        Segment store;
        store.setMemoryDir(g_work->path() + "/real");
        QElapsedTimer timer;
        timer.start();
        const kvq::files::SigrokImport imported = kvq::files::importSigrokSession(path, probe, store);
        const double import = timer.nsecsElapsed() / 1e9;
        size_t messages = 0;
        const double ours = decodeStore(store, &messages);
        int stockMessages = 0;
        const double stock = stockDecode(path, probe, &stockMessages);
        report(state, double(imported.samples), ours, import + ours, messages, stock, stockMessages);
        state.counters["ours_realtime_x"] = imported.samples / double(imported.rateHz) / ours;
        state.counters["stock_realtime_x"] = imported.samples / double(imported.rateHz) / stock;
    }
}

void BM_Synthetic(benchmark::State& state, bool dense)
{
    const double seconds = dense ? 2.0 : qEnvironmentVariableIntValue("KVQ_BENCH_MINUTES") * 60.0;
    const auto line = [&] { return dense ? denseLine(seconds) : emulatedLine(seconds); };
    for (auto _ : state) {
        Segment store;
        store.setMemoryDir(g_work->path() + "/synthetic");
        fillStore(store, kRate, line());
        size_t messages = 0;
        const double ours = decodeStore(store, &messages);
        const QString session = g_work->path() + (dense ? "/dense.sr" : "/long.sr");
        if (!writeSession(session, kRate, line()))
            state.SkipWithError("cannot write the sigrok session");
        Segment imported;
        imported.setMemoryDir(g_work->path() + "/imported");
        QElapsedTimer timer;
        timer.start();
        kvq::files::importSigrokSession(session, QStringLiteral("CC1"), imported);
        const double import = timer.nsecsElapsed() / 1e9;
        int stockMessages = 0;
        const double stock = stockDecode(session, QStringLiteral("CC1"), &stockMessages);
        report(state, seconds * kRate, ours, import + ours, messages, stock, stockMessages);
        state.counters["ours_realtime_x"] = seconds / ours;
        state.counters["stock_realtime_x"] = seconds / stock;
        QFile::remove(session);
    }
}

// Saving and opening the long capture as a protocol data file.
void BM_ProtocolFile(benchmark::State& state)
{
    const double seconds = qEnvironmentVariableIntValue("KVQ_BENCH_MINUTES") * 60.0;
    for (auto _ : state) {
        Segment store;
        store.setMemoryDir(g_work->path() + "/file");
        fillStore(store, kRate, emulatedLine(seconds));
        const double bytes = double(store.sampleCount(0, false)) / 8;
        std::vector<kvq::decode::MessageBus> bus = {{0, 5.0f, 0.5f}};
        const QString file = g_work->path() + "/long.kvqcc";
        QElapsedTimer timer;
        timer.start();
        const bool saved = kvq::files::saveProtocolFile(store, bus, file, g_work->path() + "/cache").ok;
        const double save = timer.nsecsElapsed() / 1e9;
        Segment loaded;
        loaded.setMemoryDir(g_work->path() + "/loaded");
        std::vector<kvq::decode::BusSample> points;
        timer.restart();
        const bool read = kvq::files::readProtocolFile(loaded, file, g_work->path() + "/cache", &points).ok;
        const double open = timer.nsecsElapsed() / 1e9;
        if (!saved || !read)
            state.SkipWithError("save or open failed");
        state.SetIterationTime(save + open);
        state.counters["capture_MB"] = bytes / 1e6;
        state.counters["file_MB"] = QFileInfo(file).size() / 1e6;
        state.counters["save_MBps"] = bytes / 1e6 / save;
        state.counters["open_MBps"] = bytes / 1e6 / open;
        QFile::remove(file);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("KVQ_BENCH_MINUTES"))
        qputenv("KVQ_BENCH_MINUTES", "10");
    QTemporaryDir work;
    g_work = &work;
    if (kvq::decode::startDecoderRuntime(QStringLiteral(KVQ_OUTPUT_DIR)) != 0) {
        std::fprintf(stderr, "bench_decode: our decoder is not installed in %s\n", KVQ_OUTPUT_DIR);
        return 1;
    }
    for (const auto& c : {std::pair{"apple_power_brick", "CC1"}, std::pair{"power_supply_20V", "CC1"},
                          std::pair{"thinkpad_yoga_370-aukey_45w", "CC2"},
                          std::pair{"zy12pds_sink_module-65w_noname_supply", "CC1"}})
        benchmark::RegisterBenchmark((std::string("BM_RealCapture/") + c.first).c_str(), BM_RealCapture,
                                     c.first, c.second)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_EmulatedLongCapture", BM_Synthetic, false)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_DenseCapture", BM_Synthetic, true)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_ProtocolFileLongCapture", BM_ProtocolFile)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
