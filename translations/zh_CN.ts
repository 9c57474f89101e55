<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>main</name>
    <message>
        <location filename="../qml/main.qml" line="+19"/>
        <source>加载协议库</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
