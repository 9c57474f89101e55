#include "app/qmltypes.h"

#include "app/setting.h"
#include "app/windowerror.h"

#include <QtQml>

namespace kvq {

void registerQmlTypes()
{
    qmlRegisterType<Setting>("kvq.qml.Controls", 1, 0, "QSetting");
    qmlRegisterType<WindowError>("kvq.qml.Controls", 1, 0, "WindowError");
}

} // namespace kvq
