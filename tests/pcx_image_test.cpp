// Pictures for "Print PCX File": our PCX reader on every depth, dithering, the
// printer's PCX as the emulator reads it, the button's decision, and converted
// bytes on the wire.
#include "emulator/tests/pcx_samples.h"
#include "link/printer_session.h"
#include "pcx/pcx_download.h"
#include "pcx/pcx_plan.h"
#include "pcx/picture.h"
#include "emulator/pcx_decode.h"
#include "tests/support/test_support.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace kivo;
Q_DECLARE_METATYPE(kivo::PcxAnswer)
Q_DECLARE_METATYPE(kivo::PcxPlan::Action)

namespace {

const QString kOnly = QStringLiteral("; the printer prints 1-bit monochrome PCX only.");

QRgb PaletteColour(int i) { return qRgb(i * 53 % 256, i * 101 % 256, i * 197 % 256); }
char Channel(QRgb c, int i) { return char(i == 3 ? qAlpha(c) : c >> (16 - 8 * i)); }

// A PCX as other programs write it (ImageMagick among them): each plane of each
// line run-length encoded on its own. Colour kinds (8 bits in 3 or 4 planes)
// take ARGB from `pixel`, the others a palette index.
QByteArray MakePcx(int width, int height, int bits, int planes, int bytesPerLine, int colours,
                   const std::function<QRgb(int, int)>& pixel) {
    QByteArray file = pcx_samples::Header(width, height, bytesPerLine);
    file[3] = char(bits), file[65] = char(planes);
    for (int i = 0; i < std::min(colours, 16) * 3; ++i) file[16 + i] = Channel(PaletteColour(i / 3), i % 3);
    for (int y = 0; y < height; ++y)
        for (int p = 0; p < planes; ++p) {
            QByteArray line(bytesPerLine, '\0');
            for (int x = 0; x < width; ++x) {
                const QRgb v = pixel(x, y);
                if (bits == 8 && planes >= 3)
                    line[x] = Channel(v, p);
                else if (planes == 1)
                    line[x * bits / 8] = char(line[x * bits / 8] | v << (8 - bits - x * bits % 8));
                else
                    line[x / 8] = char(line[x / 8] | ((v >> p) & 1) << (7 - x % 8));
            }
            file += pcx_samples::Rle(line, false);
        }
    if (bits == 8 && planes == 1) file += '\x0c';
    for (int i = 0; bits == 8 && planes == 1 && i < 768; ++i) file += Channel(PaletteColour(i / 3), i % 3);
    return file;
}

// A black-and-white picture in 3 planes of 8 bits, as ImageMagick 6 writes one.
QByteArray ImageMagickPcx(const QImage& bw) {
    return MakePcx(bw.width(), bw.height(), 8, 3, bw.width(), 0, [&](int x, int y) { return bw.pixel(x, y); });
}

QByteArray PictureFile(const QImage& image, const char* format = "PNG") {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format) ? bytes : QByteArray();
}

GreyPicture Grey(int width, int height, const std::function<int(int, int)>& level) {
    GreyPicture picture{width, height, QByteArray(qsizetype(width) * height, '\0')};
    for (int i = 0; i < picture.grey.size(); ++i) picture.grey[i] = char(level(i % width, i / width));
    return picture;
}

QImage AsThePrinterReadsIt(const QByteArray& b) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(b.constData());
    return emu::DecodeMonochromePcx({bytes, std::size_t(b.size())}).image;
}

}  // namespace

class PcxImageTest : public QObject {
    Q_OBJECT
private slots:
    void readsEveryDepth_data();
    void readsEveryDepth();
    void ditherKeepsTheGreyLevel_data();
    void ditherKeepsTheGreyLevel();
    void encoderFollowsTheRunLengthRules_data();
    void encoderFollowsTheRunLengthRules();
    void convertsPicturesTheEmulatorReadsBack_data();
    void convertsPicturesTheEmulatorReadsBack();
    void planAsksOnlyWhenItMust_data();
    void planAsksOnlyWhenItMust();
    void convertedPictureIsFramedOnTheWire();
    void shortPictureDataIsRefusedWithNoOneToAsk();

private:
    QString Write(const QString& name, const QByteArray& bytes) {
        return test::WriteFile(dir_.filePath(name), bytes) ? dir_.filePath(name) : QString();
    }
    QTemporaryDir dir_;
};

void PcxImageTest::readsEveryDepth_data() {
    // clang-format off
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("planes");
    QTest::addColumn<int>("bytesPerLine");
    QTest::addColumn<int>("colours");  // 0: direct colour
    QTest::newRow("24-bit colour, odd bytes per line") << QSize(7, 5) << 8 << 3 << 7 << 0;
    QTest::newRow("32-bit colour, transparent parts white") << QSize(6, 4) << 8 << 4 << 6 << 0;
    QTest::newRow("8-bit, palette at the end") << QSize(9, 3) << 8 << 1 << 10 << 256;
    QTest::newRow("4-bit, header palette") << QSize(5, 3) << 4 << 1 << 4 << 16;
    QTest::newRow("16 colours in 4 planes of 1 bit") << QSize(11, 2) << 1 << 4 << 2 << 16;
    QTest::newRow("2-bit") << QSize(9, 2) << 2 << 1 << 4 << 4;
    // clang-format on
}

void PcxImageTest::readsEveryDepth() {
    QFETCH(QSize, size);
    QFETCH(int, bits);
    QFETCH(int, planes);
    QFETCH(int, bytesPerLine);
    QFETCH(int, colours);
    const auto pixel = [&](int x, int y) {  // a colour, or an index into PaletteColour
        return colours ? QRgb((x * 3 + y * 5) % colours) : qRgba(x * 40, y * 70, x * 25, planes == 4 ? x * 50 : 255);
    };
    const QByteArray file = MakePcx(size.width(), size.height(), bits, planes, bytesPerLine, colours, pixel);
    const DecodedPicture read = DecodePcx(file);
    QVERIFY2(read.ok() && QSize(read.picture.width, read.picture.height) == size, qPrintable(read.error));
    for (int i = 0; i < size.width() * size.height(); ++i) {
        const QRgb v = pixel(i % size.width(), i / size.width()), c = colours ? PaletteColour(int(v)) : v;
        QCOMPARE(uchar(read.picture.grey[i]), GreyOnWhite(qRed(c), qGreen(c), qBlue(c), qAlpha(c)));
    }
}

void PcxImageTest::ditherKeepsTheGreyLevel_data() {
    // clang-format off
    QTest::addColumn<int>("level");
    for (int level : {0, 32, 128, 200, 255}) QTest::addRow("grey %d", level) << level;
    // clang-format on
}

// Error diffusion keeps the share of white dots of a flat grey; black and white stay as they are.
void PcxImageTest::ditherKeepsTheGreyLevel() {
    QFETCH(int, level);
    const MonoBitmap bitmap = DitherToBitmap(Grey(64, 64, [&](int, int) { return level; }));
    int white = 0;
    for (int i = 0; i < 64 * 64; ++i) white += bitmap.White(i % 64, i / 64);
    QVERIFY2(std::abs(white / 4096.0 - level / 255.0) <= 0.01, qPrintable(QString::number(white)));
}

void PcxImageTest::encoderFollowsTheRunLengthRules_data() {
    // clang-format off
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("pixels");  // rows of whole bytes, bit 1 white
    QTest::addColumn<int>("bytesPerLine");
    QTest::addColumn<QByteArray>("data");  // in hex
    QTest::newRow("run of 63, then white padding") << 504 << QByteArray(63, 0) << 64 << QByteArray("FF 00 C1 FF");
    QTest::newRow("run of 64: 63 and a lone byte") << 512 << QByteArray(64, 0) << 64 << QByteArray("FF 00 00");
    QTest::newRow("lone 0xC0 and more are runs") << 32 << QByteArray::fromHex("12C0FF3F") << 4
                                                 << QByteArray("12 C1 C0 C1 FF 3F");
    QTest::newRow("runs end with the line") << 16 << QByteArray::fromHex("AAAAAAAA") << 2 << QByteArray("C2 AA C2 AA");
    QTest::newRow("odd width, even bytes per line") << 17 << QByteArray(3, 0) << 4 << QByteArray("C2 00 7F C1 FF");
    // clang-format on
}

void PcxImageTest::encoderFollowsTheRunLengthRules() {
    QFETCH(int, width);
    QFETCH(QByteArray, pixels);
    QFETCH(int, bytesPerLine);
    QFETCH(QByteArray, data);
    const int stride = (width + 7) / 8, height = int(pixels.size()) / stride;
    const QByteArray file = EncodeMonochromePcx(DitherToBitmap(Grey(width, height, [&](int x, int y) {
        return (uchar(pixels[y * stride + x / 8]) >> (7 - x % 8)) & 1 ? 255 : 0;
    })));
    QByteArray header = pcx_samples::Header(width, height, bytesPerLine);  // version 5, RLE, 1 bit, 1 plane
    header[12] = header[14] = char(300 & 0xFF), header[13] = header[15] = char(300 >> 8);
    header[19] = header[20] = header[21] = char(0xFF);  // palette: 0 black, 1 white
    QCOMPARE(test::Hex(file.left(128)), test::Hex(header));
    QCOMPARE(test::Hex(file.mid(128)), test::Hex(QByteArray::fromHex(data)));
}

void PcxImageTest::convertsPicturesTheEmulatorReadsBack_data() {
    // clang-format off
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QImage>("expected");  // null: refused
    QTest::addColumn<QString>("line");     // the whole line, or the start of the refusal
    const QImage logo = pcx_samples::Picture(200, 80), odd = pcx_samples::Picture(17, 5);
    QImage clear = odd.convertToFormat(QImage::Format_ARGB32), onWhite = odd.convertToFormat(QImage::Format_RGB32);
    for (int x = 0; x < odd.width(); ++x) clear.setPixel(x, 2, 0), onWhite.setPixel(x, 2, qRgb(255, 255, 255));
    const QString made = QStringLiteral("Converted %1 to a monochrome PCX of %2 bytes");
    QTest::newRow("PNG") << "logo.png" << PictureFile(logo) << logo << made.arg("logo.png (200 x 80)", "3,478");
    QTest::newRow("BMP, odd width") << "o.bmp" << PictureFile(odd, "BMP") << odd << made.arg("o.bmp (17 x 5)", "156");
    QTest::newRow("transparent parts white") << "c.png" << PictureFile(clear) << onWhite
                                             << made.arg("c.png (17 x 5)", "152");
    QTest::newRow("24-bit PCX from ImageMagick") << "logo.pcx" << ImageMagickPcx(logo) << logo
                                                 << made.arg("logo.pcx (200 x 80)", "3,478");

    const QString tooLarge = " pixels, too large for a ticket printer (at most 2,048 wide and 8,192 tall)";
    QImage wide(2049, 1, QImage::Format_Grayscale8), tall(1, 8193, QImage::Format_Grayscale8);
    wide.fill(0), tall.fill(0);
    const QByteArray cut = ImageMagickPcx(odd).chopped(5), huge = ImageMagickPcx(QImage(4000, 1, QImage::Format_RGB32));
    QTest::newRow("wider than 2,048") << "w.png" << PictureFile(wide) << QImage() << "w.png is 2,049 x 1" + tooLarge;
    QTest::newRow("taller than 8,192") << "t.png" << PictureFile(tall) << QImage() << "t.png is 1 x 8,193" + tooLarge;
    QTest::newRow("too large by header") << "h.pcx" << huge.left(128) << QImage() << "h.pcx is 4,000 x 1" + tooLarge;
    QTest::newRow("PCX data cut short") << "c.pcx" << cut << QImage() << "Cannot read c.pcx: the picture data ends";
    QTest::newRow("not a picture") << "n.png" << QByteArray("text") << QImage() << "Cannot read n.png as a picture: ";
    // clang-format on
}

// Picture -> our PCX -> the emulator's decoder: the same black and white pixels.
void PcxImageTest::convertsPicturesTheEmulatorReadsBack() {
    QFETCH(QString, name);
    QFETCH(QByteArray, file);
    QFETCH(QImage, expected);
    QFETCH(QString, line);
    const ConvertedPcx converted = ConvertPictureToPcx(Write(name, file));
    QVERIFY2((expected.isNull() ? converted.error : converted.line).startsWith(line),
             qPrintable(converted.line + converted.error));
    QCOMPARE(converted.bytes.isEmpty(), expected.isNull());
    if (!expected.isNull()) QVERIFY(pcx_samples::SamePixels(AsThePrinterReadsIt(converted.bytes), expected));
}

void PcxImageTest::planAsksOnlyWhenItMust_data() {
    // clang-format off
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("file");   // null: no such file
    QTest::addColumn<PcxAnswer>("answer");
    QTest::addColumn<QString>("question");  // empty: none asked
    QTest::addColumn<PcxPlan::Action>("action");
    QTest::addColumn<QStringList>("lines");  // %1 is the file's path
    QByteArray palette = pcx_samples::Header(300, 2, 300);
    palette[3] = 8;
    const QByteArray colour = ImageMagickPcx(pcx_samples::Picture(200, 80));
    const QString asked = "a.pcx is a 24-bit colour PCX (3 planes of 8 bits), 200 x 80 pixels" + kOnly;
    using A = PcxPlan::Action;
    const PcxAnswer convert = PcxAnswer::Convert, asIs = PcxAnswer::SendAsItIs, cancel = PcxAnswer::Cancel;
    const QStringList made{"made %1"}, none;
    QTest::newRow("monochrome PCX") << "m.pcx" << pcx_samples::Encode(pcx_samples::Picture(8, 2)) << cancel << ""
                                    << A::SendFile << none;
    QTest::newRow("PNG") << "p.png" << QByteArray("png") << cancel << "" << A::SendConverted << made;
    QTest::newRow("24-bit: Convert") << "a.pcx" << colour << convert << asked << A::SendConverted << made;
    QTest::newRow("24-bit: Send As It Is") << "a.pcx" << colour << asIs << asked << A::SendFile << none;
    QTest::newRow("24-bit: Cancel") << "a.pcx" << colour << cancel << asked << A::Nothing
                                    << QStringList{"PCX download canceled: a.pcx was not sent"};
    QTest::newRow("8-bit palette") << "b.pcx" << palette << asIs
                                   << "b.pcx is an 8-bit palette PCX (1 plane of 8 bits), 300 x 2 pixels" + kOnly
                                   << A::SendFile << none;
    // One bit per pixel is monochrome only in one plane: in 2 or 4 it is a palette.
    for (const int planes : {2, 4}) {
        const QByteArray planar = MakePcx(16, 2, 1, planes, 2, 1 << planes, [](int x, int y) { return QRgb(x + y); });
        const QString kind = QStringLiteral("a %1-bit palette PCX (%1 planes of 1 bit)").arg(planes);
        QTest::addRow("1 bit in %d planes", planes) << "c.pcx" << planar << cancel
                                                    << "c.pcx is " + kind + ", 16 x 2 pixels" + kOnly << A::Nothing
                                                    << QStringList{"PCX download canceled: c.pcx was not sent"};
    }
    QTest::newRow("not a PCX") << "n.pcx" << PictureFile(pcx_samples::Picture(200, 1)) << asIs
                               << "n.pcx is not a PCX file" + kOnly << A::SendFile << none;
    QTest::newRow("cut short, other name") << "t.txt" << colour.left(57) << convert
                                           << "t.txt is shorter than a PCX header (57 of 128 bytes)" + kOnly
                                           << A::SendConverted << made;
 // A monochrome PCX whose picture data ends before its rows: 3 of 2 x 4 bytes.
    const QByteArray endsEarly = pcx_samples::Header(16, 4, 2) + QByteArray("\x00\x01\x02", 3);
    const QString early = "s.pcx is a 1-bit monochrome PCX, 16 x 4 pixels. But its picture data ends early: 3 of the 8 "
                          "bytes its header announces.";
    QTest::newRow("data ends early: Send As It Is") << "s.pcx" << endsEarly << asIs << early << A::SendFile << none;
    QTest::newRow("data ends early: Cancel") << "s.pcx" << endsEarly << cancel << early << A::Nothing
                                             << QStringList{"PCX download canceled: s.pcx was not sent"};
    // Convert is offered only when the conversion works ("broken" files fail).
    QTest::newRow("data ends early, no conversion: no Convert")
        << "broken.pcx" << endsEarly << cancel << QString(early).replace("s.pcx", "broken.pcx") + " no %1."
        << A::Nothing << QStringList{"PCX download canceled: broken.pcx was not sent"};
    QTest::newRow("no picture at all: no Convert") << "broken.dat" << QByteArray("junk") << asIs
                                                   << "broken.dat is not a PCX file" + kOnly + " no %1." << A::SendFile
                                                   << none;
    // A picture too large for the printer is refused by its header, whatever its depth.
    QByteArray tall = pcx_samples::Header(10, 9000, 10);
    tall[3] = 8, tall[65] = 3;
    QTest::newRow("monochrome, 3,000 wide: refused")
        << "w.pcx" << pcx_samples::Header(3000, 1, 376) + QByteArray(376, '\0') << asIs << "" << A::Nothing
        << QStringList{"w.pcx is 3,000 x 1 pixels, too large for a ticket printer (at most 2,048 wide and 8,192 "
                       "tall); nothing was sent"};
    QTest::newRow("24-bit, 9,000 tall: refused")
        << "t.pcx" << tall << asIs << "" << A::Nothing
        << QStringList{"t.pcx is 10 x 9,000 pixels, too large for a ticket printer (at most 2,048 wide and 8,192 "
                       "tall); nothing was sent"};
    QTest::newRow("a run that fills the rows is whole")
        << "r.pcx" << pcx_samples::Header(16, 4, 2) + QByteArray("\xC8\xFF", 2) << cancel << "" << A::SendFile << none;
    QTest::newRow("conversion fails") << "broken.gif" << QByteArray("gif") << cancel << "" << A::Nothing
                                      << QStringList{"no %1; nothing was sent"};
    QTest::newRow("no such file") << "gone.pcx" << QByteArray() << cancel << "" << A::Nothing
                                  << QStringList{"Cannot open PCX file %1: No such file or directory"};
    // clang-format on
}

void PcxImageTest::planAsksOnlyWhenItMust() {
    QFETCH(QString, name);
    QFETCH(QByteArray, file);
    QFETCH(PcxAnswer, answer);
    QFETCH(QString, question);
    QFETCH(PcxPlan::Action, action);
    QFETCH(QStringList, lines);
    const QString path = file.isNull() ? dir_.filePath(name) : Write(name, file);
    QList<PcxQuestionAsked> questions;
    const auto ask = [&](const PcxQuestionAsked& asked) {
        questions << asked;
        return answer;
    };
    const auto convert = [](const QString& p) {  // "broken" files fail
        return ConvertedPcx{"PCX", 1, 1, p.contains("broken") ? "no " + p : QString(), "made " + p};
    };
    const PcxPlan plan = PlanPcxDownload(path, ask, convert);
    QCOMPARE(questions.size(), question.isEmpty() ? 0 : 1);
    if (!questions.isEmpty()) {
        const PcxQuestionAsked& asked = questions[0];
        QCOMPARE(asked.text, question.replace("%1", path));
        // Convert only when it works; Enter converts, or else cancels; Escape cancels.
        const bool converts = !name.contains("broken");
        QCOMPARE(asked.AnswerTexts(), (converts ? QStringList{"Convert", "Send As It Is", "Cancel"}
                                                : QStringList{"Send As It Is", "Cancel"}));
        QCOMPARE(asked.AnswerAt(asked.DefaultIndex()), converts ? PcxAnswer::Convert : PcxAnswer::Cancel);
        QCOMPARE(asked.AnswerAt(asked.EscapeIndex()), PcxAnswer::Cancel);
    }
    QCOMPARE(int(plan.action), int(action));
    QCOMPARE(plan.lines, lines.replaceInStrings("%1", path));
    QCOMPARE(plan.image, action == PcxPlan::Action::SendConverted ? QByteArray("PCX") : QByteArray());
}

// With no one to ask, a monochrome PCX whose data ends early is refused, not sent.
void PcxImageTest::shortPictureDataIsRefusedWithNoOneToAsk() {
    const QString path = Write("s.pcx", pcx_samples::Header(16, 4, 2) + QByteArray("\x00\x01\x02", 3));
    const PcxPlan plan = PlanPcxDownload(path, {}, ConvertPictureToPcx);
    QCOMPARE(int(plan.action), int(PcxPlan::Action::Nothing));
    QCOMPARE(plan.lines, QStringList{"s.pcx: its picture data ends early: 3 of the 8 bytes its header announces; "
                                     "nothing was sent"});
}

// Converted bytes go out in the file download's frame, and nothing is written beside the picture.
// A 24-bit PCX with no one to ask, as a command line has it: converted.
void PcxImageTest::convertedPictureIsFramedOnTheWire() {
    QTemporaryDir here;
    const QString path = here.filePath("shade.pcx");
    QVERIFY(test::WriteFile(path, MakePcx(300, 120, 8, 3, 300, 0, [](int x, int y) { return qRgb(x, y * 2, 99); })));
    const PcxPlan plan = PlanPcxDownload(path, {}, ConvertPictureToPcx);
    QVERIFY2(plan.image.size() > 2048, qPrintable(plan.lines.join('\n')));  // pieces of 1024 and a rest

    test::LoopbackPrinter printer;
    test::ListConsole console;
    PrinterSession session(console);
    session.Connect(printer.Address(), printer.Port());
    QTRY_VERIFY(session.IsConnected() && printer.HasClient());
    console.outgoing.clear();
    session.Queue(QStringLiteral("Print PCX File"), [&] {
        return MakeCommandJob(*CommandOfControl(QStringLiteral("CmdPcxFile")),
                              PcxCommandInput(plan, console.AddressText()), console);
    });
    const QByteArray expected = PcxDownloadHeader(plan.image.size()) + plan.image + "<p>";
    QTRY_COMPARE(printer.Received().size(), expected.size());
    QVERIFY(printer.Received() == expected);
    QCOMPARE(console.outgoing, QStringList{"Sending the converted picture " + path + " to IP Address 127.0.0.1"});
    QCOMPARE(QDir(here.path()).entryList(QDir::Files), QStringList{"shade.pcx"});
}

QTEST_MAIN(PcxImageTest)
#include "pcx_image_test.moc"
