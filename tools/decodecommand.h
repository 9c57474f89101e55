#pragma once

#include <QStringList>

// "kvqm decode FILE.kvqcc|FILE.sr [--probe NAME] [--format table|csv|json]".
int decodeCommand(const QStringList& args);
