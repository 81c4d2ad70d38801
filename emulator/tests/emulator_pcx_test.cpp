// Decoding of client-sent PCX pictures: the layouts real encoders write, and
// refusal (never a crash or an over-read) of everything else.
#include "emulator/pcx_decode.h"
#include "emulator/tests/pcx_samples.h"

#include <QRandomGenerator>
#include <QTest>

using namespace kivo::emu;

Q_DECLARE_METATYPE(pcx_samples::Layout)

namespace {
std::span<const std::uint8_t> AsSpan(const QByteArray& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}
void Put16(QByteArray& file, int at, int v) {
    file[at] = char(v & 0xFF);
    file[at + 1] = char((v >> 8) & 0xFF);
}
}  // namespace

class PcxDecodeTest : public QObject {
    Q_OBJECT
private slots:
    void decodes_data();
    void decodes();
    void refuses_data();
    void refuses();
    void survivesDamagedFiles();
};

void PcxDecodeTest::decodes_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<pcx_samples::Layout>("layout");
    using L = pcx_samples::Layout;
    const auto with = [](auto change) {
        L layout;
        change(layout);
        return layout;
    };
    QTest::newRow("one run per line") << QSize(40, 12) << L{};
    QTest::newRow("width not a multiple of 8") << QSize(13, 7) << L{};
    QTest::newRow("single pixel") << QSize(1, 1) << L{};
    QTest::newRow("padded lines") << QSize(20, 9) << with([](L& l) { l.bytesPerLine = 8; });
    QTest::newRow("runs across line ends") << QSize(24, 30) << with([](L& l) { l.runsAcrossLines = true; });
    QTest::newRow("empty runs between data") << QSize(17, 5) << with([](L& l) { l.zeroRuns = true; });
    QTest::newRow("window not at the origin") << QSize(33, 4) << with([](L& l) { l.xMin = 100, l.yMin = 40; });
    QTest::newRow("palette after the data") << QSize(16, 16) << with([](L& l) { l.trailer = QByteArray(769, '\x0c'); });
}

void PcxDecodeTest::decodes() {
    QFETCH(QSize, size);
    QFETCH(pcx_samples::Layout, layout);
    const QImage source = pcx_samples::Picture(size.width(), size.height());
    const PcxDecoded decoded = DecodeMonochromePcx(AsSpan(pcx_samples::Encode(source, layout)));
    QVERIFY2(!decoded.image.isNull(), decoded.error.c_str());
    QVERIFY(pcx_samples::SamePixels(decoded.image, source));
}

void PcxDecodeTest::refuses_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    const QByteArray good = pcx_samples::Encode(pcx_samples::Picture(16, 4));
    const auto with = [&](int at, char value) {
        QByteArray f = good;
        f[at] = value;
        return f;
    };
    const auto with16 = [&](int at, int value) {
        QByteArray f = good;
        Put16(f, at, value);
        return f;
    };
    QTest::newRow("header cut short") << good.left(127) << "shorter";
    QTest::newRow("not PCX") << with(0, 'P') << "not a PCX";
    QTest::newRow("version 1") << with(1, 1) << "version";
    QTest::newRow("not RLE") << with(2, 0) << "RLE";
    QTest::newRow("8 bits per pixel") << with(3, 8) << "bits per pixel";
    QTest::newRow("4 planes") << with(65, 4) << "planes";
    QTest::newRow("inverted window") << with16(4, 100) << "inverted";
    QTest::newRow("65536 pixels wide") << [&] {
        auto f = with16(8, 65535);
        Put16(f, 66, 8192);
        return f;
    }() << "larger";
    QTest::newRow("line too short for width") << with16(66, 1) << "too small";
    QTest::newRow("decoded size over the bound") << [&] {
        auto f = with16(66, 65535);
        Put16(f, 10, 16383);
        return f;
    }() << "too large";
    QTest::newRow("data ends early") << good.left(good.size() - 1) << "ends early";
    QTest::newRow("run without its value") << pcx_samples::Header(8, 1, 2) + QByteArray("\xC1", 1) << "ends early";
}

void PcxDecodeTest::refuses() {
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    const PcxDecoded decoded = DecodeMonochromePcx(AsSpan(file));
    QVERIFY(decoded.image.isNull());
    QVERIFY2(QString::fromStdString(decoded.error).contains(reason), decoded.error.c_str());
}

// Random damage to a good file and random data behind a valid header: the
// decoder either refuses or yields a picture of the size the header states.
void PcxDecodeTest::survivesDamagedFiles() {
    QRandomGenerator random(20240611);
    const QByteArray good = pcx_samples::Encode(pcx_samples::Picture(40, 20));
    for (int round = 0; round < 3000; ++round) {
        QByteArray file;
        if (round % 2 == 0) {
            file = good;
            const int flips = 1 + int(random.bounded(6));
            for (int i = 0; i < flips; ++i) file[random.bounded(int(file.size()))] = char(random.bounded(256));
            file.truncate(random.bounded(int(file.size()) + 1));
        } else {
            const int width = 1 + int(random.bounded(300)), height = 1 + int(random.bounded(300));
            file = pcx_samples::Header(width, height, (width + 7) / 8 + int(random.bounded(3)));
            QByteArray body(int(random.bounded(4000)), Qt::Uninitialized);
            for (char& c : body) c = char(random.bounded(256));
            file += body;
        }
        const PcxDecoded decoded = DecodeMonochromePcx(AsSpan(file));
        if (decoded.image.isNull()) {
            QVERIFY(!decoded.error.empty());
            continue;
        }
        const auto u16 = [&](int at) { return int(std::uint8_t(file[at])) | int(std::uint8_t(file[at + 1])) << 8; };
        QCOMPARE(decoded.image.width(), u16(8) - u16(4) + 1);
        QCOMPARE(decoded.image.height(), u16(10) - u16(6) + 1);
    }
}

QTEST_APPLESS_MAIN(PcxDecodeTest)
#include "emulator_pcx_test.moc"
