#pragma once

// Linux stand-ins for the operating-system services the program relies on:
// memory status, processor name, the per-user data location and process
// environment. Everything here is the one place that knows it runs on Linux.

#include <QByteArray>
#include <QString>

namespace kvq::platform {

// Bytes of physical memory the kernel reports as available for new
// allocations (MemAvailable), or -1 when it cannot be read. Every memory guard
// of the program asks this function, so a test override affects all of them.
qint64 availablePhysicalMemory();

// Total physical memory in bytes (MemTotal), or -1 when unknown.
qint64 totalPhysicalMemory();

// Makes availablePhysicalMemory() answer `bytes` until cleared with a negative
// value. Meant for tests that need to provoke the low-memory paths.
void setAvailableMemoryOverride(qint64 bytes);

// Value of a "Key:   1234 kB" line of /proc/meminfo text in bytes, -1 if absent.
qint64 parseMemInfo(const QByteArray& text, const char* key);

// The first "model name" of /proc/cpuinfo text, trimmed; empty if absent.
QString parseCpuModelName(const QByteArray& text);

// Processor name for the log, read from /proc/cpuinfo.
QString processorName();

// The writable per-user application-data folder of this program, following
// the XDG base directories; empty when XDG_DATA_HOME is set but unusable
// (relative), so that the caller applies its home-folder fallback.
QString appDataLocation();

// Sets a variable of this process's environment (inherited by children).
bool setEnvironment(const char* name, const QString& value);

} // namespace kvq::platform
