// kvqm decode: the PD messages of a protocol data file or a sigrok session,
// printed for scripts and for comparing with other tools.
#include "tools/decodecommand.h"

#include "decode/decodecontroller.h"
#include "decode/decodetablemodel.h"
#include "decode/runtime.h"
#include "files/protocolfile.h"
#include "files/sigrokfile.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdarg>
#include <cstdio>

namespace {

using kvq::decode::DecodeTableModel;
using kvq::decode::PdMessage;

int failWith(const QString& message)
{
    std::fprintf(stderr, "kvqm: %s\n", qPrintable(message));
    return 1;
}

int decoderLog(void*, int, const char* format, va_list args)
{
    static const bool verbose = qEnvironmentVariableIsSet("KVQM_DEBUG");
    if (verbose) {
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
    }
    return 0;
}

// The columns of every format, in order.
QStringList fieldsOf(const PdMessage& m)
{
    return {DecodeTableModel::cellText(m, 7),
            DecodeTableModel::cellText(m, 8),
            m.sop,
            m.role,
            DecodeTableModel::cellText(m, 3),
            m.name,
            m.raw,
            m.crc.toUpper(),
            m.note};
}

const QStringList kHeader = {"time", "vbus_ibus", "sop", "role", "id", "name", "raw", "crc", "note"};

QString csvField(QString text)
{
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n')))
        return QLatin1Char('"') + text.replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

void print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

} // namespace

int decodeCommand(const QStringList& arguments)
{
    QStringList args = arguments;
    QString probe;
    QString format = QStringLiteral("table");
    QString input;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if ((a == QLatin1String("--probe") || a == QLatin1String("--format")) && !args.isEmpty())
            (a == QLatin1String("--probe") ? probe : format) = args.takeFirst();
        else if (input.isEmpty() && !a.startsWith(QLatin1String("--")))
            input = a;
        else
            return failWith(QStringLiteral("decode: unexpected argument '%1'").arg(a));
    }
    if (input.isEmpty())
        return failWith(QStringLiteral("decode: no input (FILE.kvqcc or FILE.sr)"));
    if (format != QLatin1String("table") && format != QLatin1String("csv") && format != QLatin1String("json"))
        return failWith(QStringLiteral("decode: --format is table, csv or json, not '%1'").arg(format));
    if (!QFileInfo(input).isFile())
        return failWith(QStringLiteral("decode: cannot read '%1'").arg(input));

    QTemporaryDir work;
    kvq::waveform::Segment store;
    store.setMemoryDir(work.path() + QStringLiteral("/buffers"));
    std::vector<kvq::decode::BusSample> bus;
    if (input.endsWith(QLatin1String(".sr"), Qt::CaseInsensitive)) {
        const kvq::files::SigrokImport imported = kvq::files::importSigrokSession(input, probe, store);
        if (!imported.ok)
            return failWith(QStringLiteral("decode: %1").arg(imported.error));
        std::fprintf(stderr, "kvqm: probe %s, %lld samples at %llu Hz\n", qPrintable(imported.probe),
                     (long long)imported.samples, (unsigned long long)imported.rateHz);
    } else {
        if (!probe.isEmpty())
            return failWith(QStringLiteral("decode: --probe is for sigrok sessions (.sr)"));
        const kvq::files::ProtocolFileResult read =
            kvq::files::readProtocolFile(store, input, work.path(), &bus);
        for (const QString& warning : read.warnings)
            std::fprintf(stderr, "kvqm: %s", qPrintable(warning));
        if (!read.ok)
            return failWith(QStringLiteral("decode: %1").arg(read.message));
    }

    const QString appDir = QCoreApplication::applicationDirPath();
    kvq_log_callback_set(&decoderLog, nullptr);
    kvq_log_loglevel_set(2);
    if (kvq::decode::startDecoderRuntime(appDir) != 0)
        return failWith(QStringLiteral("decode: the USB-PD decoder is not available beside kvqm"));
    kvq::decode::DecodeController controller;
    controller.setBusList(&bus);
    if (!controller.initSession())
        return failWith(QStringLiteral("decode: no decoder session"));
    controller.setSampleRate(quint64(store.rate()) * 1000);
    if (!controller.decodeToEnd(&store, 3600 * 1000))
        return failWith(QStringLiteral("decode: timed out"));

    std::lock_guard<std::mutex> lock(controller.listLock());
    if (format == QLatin1String("json")) {
        QJsonArray list;
        for (const PdMessage& m : controller.messages()) {
            const QStringList f = fieldsOf(m);
            QJsonObject o;
            for (int i = 0; i < kHeader.size(); ++i)
                o.insert(kHeader[i], f[i]);
            o.insert(QStringLiteral("sample"), m.startSample);
            o.insert(QStringLiteral("detail"), DecodeTableModel::detailOf(m));
            list.append(o);
        }
        print(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)));
    } else if (format == QLatin1String("csv")) {
        print(kHeader.join(QLatin1Char(',')) + QLatin1Char('\n'));
        for (const PdMessage& m : controller.messages()) {
            QStringList f = fieldsOf(m);
            for (QString& field : f)
                field = csvField(field);
            print(f.join(QLatin1Char(',')) + QLatin1Char('\n'));
        }
    } else {
        for (const PdMessage& m : controller.messages()) {
            const QStringList f = fieldsOf(m);
            print(QStringLiteral("%1  %2  %3 %4 %5 %6  %7  CRC %8  %9\n")
                      .arg(f[0], f[1], f[2].leftJustified(5), f[3].leftJustified(7), f[4].rightJustified(1),
                           f[5].leftJustified(20), f[6], f[7], f[8]));
        }
    }
    std::fflush(stdout);
    return 0;
}
