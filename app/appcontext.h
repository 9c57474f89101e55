#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>

class QApplication;
class QObject;
class QQmlApplicationEngine;
class SharedMemoryHelper;
class WindowError;
namespace kvq {
struct LiveBus;
namespace decode {
class DecodeController;
}
namespace usb {
class USBDeviceSlot;
}
namespace waveform {
class Segment;
class WaveformData;
} // namespace waveform
} // namespace kvq

// The process-wide context of the main program: created on first access during
// start-up, used on the GUI thread only, never destroyed before the process ends.
class AppContext {
public:
    static AppContext* instance();

    QApplication* application = nullptr;
    // The block shared with other running instances and the updater.
    SharedMemoryHelper* shared = nullptr;
    QQmlApplicationEngine* engine = nullptr;
    // Where the connected meter lives.
    kvq::usb::USBDeviceSlot* deviceSlot = nullptr;
    // The capture store of the PD analyser and the current sample store.
    kvq::waveform::Segment* segment = nullptr;
    kvq::waveform::WaveformData* waveformData = nullptr;
    // The PD decode pipeline and its live VBUS/IBUS (null until they exist).
    kvq::decode::DecodeController* decodeController = nullptr;
    kvq::LiveBus* liveBus = nullptr;
    // The cache folder: capture buffers and protocol file work folders.
    QString cacheDir;
    // Upload rate of the meter in samples per second, as last applied (the
    // report reader writes it on its thread).
    std::atomic<qint32> sampleRate{0};
    // The QML error object ("windowError"), once the main window has set it.
    WindowError* windowError = nullptr;
    // The QML root object, once the engine has created it.
    QObject* root = nullptr;

private:
    AppContext() = default;
};
