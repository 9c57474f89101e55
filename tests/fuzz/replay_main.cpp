// Without libFuzzer (the normal GCC build): run the fuzz target over the
// committed corpus (seeds and every input that once failed) and over a fixed
// set of pseudo-random mutations of it, so that the test suite keeps them fixed.
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
        return 2;
    }
    const int mutations = argc > 2 ? std::atoi(argv[2]) : 20000;
    std::vector<QByteArray> inputs;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            inputs.push_back(file.readAll());
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no corpus in %s\n", argv[1]);
        return 2;
    }
    for (const QByteArray& input : inputs)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
    std::mt19937 rng(12345);
    for (int i = 0; i < mutations; ++i) {
        QByteArray input = inputs[rng() % inputs.size()];
        const int edits = 1 + int(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
            case 0:
                if (!input.isEmpty())
                    input[int(rng() % uint32_t(input.size()))] = char(rng());
                break;
            case 1:
                input.insert(int(rng() % uint32_t(input.size() + 1)), char(rng() % 2 ? 0xEE : rng()));
                break;
            case 2:
                if (!input.isEmpty())
                    input.remove(int(rng() % uint32_t(input.size())), 1 + int(rng() % 8));
                break;
            default:
                input.append(inputs[rng() % inputs.size()]);
                break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
    }
    std::printf("%zu corpus inputs and %d mutations passed\n", inputs.size(), mutations);
    return 0;
}
