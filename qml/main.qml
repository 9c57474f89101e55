import QtQuick 2.15
import QtQuick.Window 2.15
import "config"

// The main window until the frameless window host takes its place: it shows
// the program is up and brings the settings in the order the full UI will.
Window {
    id: root
    width: 1280
    height: 800
    visible: true
    title: appName
    color: "#1b1d23"

    Text {
        anchors.centerIn: parent
        color: "#e8e8e8"
        font.pixelSize: 22
        text: appName + "\n" + qsTr("加载协议库")
        horizontalAlignment: Text.AlignHCenter
    }

    Timer {
        interval: 10
        repeat: true
        running: true
        onTriggered: {
            if (setRoot !== 1)
                return
            stop()
            Setting.init()
            if (Setting.cachePath === "")
                Setting.cachePath = tempPath
            if (Setting.autoSavePath === "")
                Setting.autoSavePath = autoSavePath
            Setting.save()
        }
    }
}
