#include "qmltypes.h"

#include "setting.h"

#include <QtQml>

namespace kvq {

void registerQmlTypes()
{
    qmlRegisterType<Setting>("kvq.qml.Controls", 1, 0, "QSetting");
}

} // namespace kvq
