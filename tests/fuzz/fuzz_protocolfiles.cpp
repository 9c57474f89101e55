// Fuzz target: the text members of protocol data files and sigrok sessions,
// and the decoder's detail documents. The first byte picks the reader; none
// may crash, and what they return must stay within the store's limits.
#include "files/busfile.h"
#include "decode/decodetablemodel.h"
#include "files/protocolfile.h"
#include "files/sigrokfile.h"
#include "waveform/segment.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    const QByteArray text(reinterpret_cast<const char*>(data + 1), int(size - 1));
    switch (data[0] % 5) {
    case 0:
        for (const kvq::decode::BusSample& s : kvq::decode::parseBusFile(QString::fromUtf8(text)))
            if (s.key < 0)
                std::abort(); // entries keyed before the start are refused
        break;
    case 1:
        if (kvq::files::parseChannelFile(text).blocks.size() > size_t(kvq::waveform::Segment::kBlocks))
            std::abort();
        break;
    case 2: {
        const kvq::files::SigrokMetadata meta = kvq::files::parseSigrokMetadata(text);
        for (const auto& probe : meta.probes)
            if (probe.first < 0 || probe.first >= 64)
                std::abort();
        break;
    }
    case 3:
        (void)kvq::files::parseSigrokRate(QString::fromUtf8(text));
        break;
    default:
        (void)kvq::decode::DecodeTableModel::parseDetail(QString::fromUtf8(text));
        break;
    }
    return 0;
}
