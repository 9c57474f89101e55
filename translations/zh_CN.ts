<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>ConnectDevice</name>
    <message>
        <location filename="../device/connectdevice.cpp" line="+108"/>
        <source>读取设备权限不足，请提升程序权限再尝试。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>无设备可连接。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+69"/>
        <source>固件版本过低，请升级固件后再使用。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+14"/>
        <source>设备连接异常</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DecodeController</name>
    <message>
        <location filename="../decode/decodecontroller.cpp" line="+197"/>
        <source>内存不足，请检查内存。</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProtocolFile</name>
    <message>
        <location filename="../files/protocolfile.cpp" line="+61"/>
        <location line="+22"/>
        <source>生成通道%1配置文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-4"/>
        <source>生成原始文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+11"/>
        <source>缺失通道%1数据目录，已经跳过。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+5"/>
        <source>读取通道%1配置文件失败，已经跳过。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+21"/>
        <location line="+4"/>
        <source>读取原始文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+17"/>
        <source>申请内存失败，无法写入数据。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+47"/>
        <source>保存工程失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+6"/>
        <source>生成通道配置文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>生成电流记录文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+5"/>
        <source>生成压缩文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>保存工程异常，错误信息:%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+5"/>
        <source>文件被占用，无法删除文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>文件被占用，无法覆盖文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>保存协议文件：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+16"/>
        <source>解压缩文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>通道配置文件缺失。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>读取通道配置文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+12"/>
        <source>读取电流记录文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+8"/>
        <source>加载工程异常，错误信息:%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+4"/>
        <source>加载协议文件：</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SessionController</name>
    <message>
        <location filename="../app/sessioncontroller.cpp" line="+212"/>
        <source>自动保存路径：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+193"/>
        <source>加载协议文件：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+90"/>
        <source>自动保存创建文件失败。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+14"/>
        <source>保存波形文件：</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SigrokFile</name>
    <message>
        <location filename="../files/sigrokfile.cpp" line="+107"/>
        <source>不是 sigrok 会话文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+5"/>
        <source>sigrok 会话文件缺少 metadata。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+8"/>
        <source>sigrok 会话文件的采样率、探头或数据格式无法使用。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+13"/>
        <location line="+60"/>
        <source>sigrok 会话文件没有采样数据。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-50"/>
        <source>sigrok 会话文件中没有探头 %1。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+25"/>
        <source>sigrok 会话文件已损坏。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+47"/>
        <source>申请内存失败，无法写入数据。</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ThreadRead</name>
    <message>
        <location filename="../protocol/threadread.cpp" line="+199"/>
        <source>内存溢出，请使用64位软件或更高配置电脑！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>数据异常，采集中止！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>数据超出限定值，无法继续采集！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>内存映射文件创建失败，请检查缓存目录访问权限！</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ThreadWork</name>
    <message>
        <location filename="../files/threadwork.cpp" line="+89"/>
        <location line="+43"/>
        <source>保存波形文件：无法打开文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-39"/>
        <source>保存波形文件：保存完成。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>保存波形文件：停止保存。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+43"/>
        <source>保存波形文件：创建表失败</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+32"/>
        <source>打开文件成功。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>停止打开文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+9"/>
        <location line="+67"/>
        <source>打开文件失败：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-29"/>
        <source>文件数据异常，无法识别。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../files/waveformfile.cpp" line="+28"/>
        <source>电压(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电流(A)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>功率(W)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>D+(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>D-(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>C1(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>C2(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电阻(R)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>能量(Wh)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>容量(Ah)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>时间(ms)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>WaveformData</name>
    <message>
        <location filename="../waveform/waveformdata.cpp" line="+181"/>
        <source>内存不足，记录已停止，已记录的数据仍保留。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../files/autosave.cpp" line="+79"/>
        <location line="+53"/>
        <source>自动保存写入文件失败，自动保存已停止。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-43"/>
        <location line="+53"/>
        <source>自动保存文件完成。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+40"/>
        <source>自动保存文件：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../files/waveformfile.cpp" line="+3"/>
        <source>电压(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电流(A)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>功率(W)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>D+(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>D-(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>C1(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>C2(V)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电阻(R)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>能量(Wh)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>容量(Ah)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>时间(ms)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <location filename="../qml/main.qml" line="+17"/>
        <location line="+38"/>
        <source>未连接设备</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
