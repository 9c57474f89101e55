#pragma once

namespace kvq {

// Registers the program's native QML types, in one place, before any engine
// exists. Tests that load the program's QML call it too.
void registerQmlTypes();

} // namespace kvq
