#pragma once

#include <QObject>

#include <functional>

namespace kvq::platform {

// Turns SIGTERM, SIGINT and SIGHUP (logout, Ctrl-C, kill) into a call of
// `onQuit` on the thread of `context`, so that the program shuts down through
// its normal window-close path instead of dying with unflushed files.
void installQuitSignalHandler(QObject* context, std::function<void()> onQuit);

} // namespace kvq::platform
