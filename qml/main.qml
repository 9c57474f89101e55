import QtQuick 2.15
import QtQuick.Window 2.15
import kvq.qml.Controls 1.0
import "config"

// The main window until the frameless window host takes its place: it shows
// that the program is up, the meter's connection state and any error, and
// brings the settings in the order the full UI will.
Window {
    id: root
    width: 1280
    height: 800
    visible: true
    title: appName
    color: "#1b1d23"

    property string deviceText: qsTr("未连接设备")

    Column {
        anchors.centerIn: parent
        spacing: 12
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            color: "#e8e8e8"
            font.pixelSize: 22
            text: appName
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            color: "#9aa0aa"
            font.pixelSize: 16
            text: root.deviceText
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            color: "#FF0000"
            font.pixelSize: 16
            text: windowError.error_msg
            visible: text !== ""
        }
    }

    WindowError {
        id: windowError
        objectName: "windowError"
    }

    Connections {
        target: deviceHost
        ignoreUnknownSignals: true
        function onReceiveDeviceCreanInfo(port, json, connect) {
            if (connect)
                root.deviceText = json.model + "  " + json.sn + "  FW " + json.version + "  HW " + json.HVersion
            else
                root.deviceText = qsTr("未连接设备")
        }
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
