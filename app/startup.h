#pragma once

namespace kvq {

// The whole life of the main program: process set-up, folders, logging, crash
// dumps, QML types and context, the main QML file and the event loop.
int runMainProgram(int argc, char** argv);

} // namespace kvq
