#include "pcx/pcx_plan.h"

#include "link/jobs.h"
#include "pcx/pcx_download.h"

#include <QFile>
#include <QFileInfo>

#include <optional>

namespace kivo {

bool IsPictureName(const QString& path) {
    static const QStringList suffixes{QStringLiteral("png"), QStringLiteral("bmp"), QStringLiteral("jpg"),
                                      QStringLiteral("jpeg"), QStringLiteral("gif")};
    return suffixes.contains(QFileInfo(path).suffix(), Qt::CaseInsensitive);
}

namespace {

// A PCX larger than this is sent without its picture data checked.
constexpr qint64 kMaxCheckedPcxSize = 64 * 1024 * 1024;

// Opens the file and reads its header; on failure the plan holds the line.
std::optional<PcxHeaderInfo> OpenPcx(QFile& file, PcxPlan& plan) {
    if (!file.open(QIODevice::ReadOnly)) {
        plan.lines << QStringLiteral("Cannot open PCX file %1: %2").arg(plan.path, file.errorString());
        plan.severity = Severity::Fault;
        return std::nullopt;
    }
    return ReadPcxHeader(file.read(kPcxHeaderSize), file.size());
}

// A PCX the printer cannot take whole goes nowhere, converted or not: the
// refusal, or "" for a file that is no PCX or a PCX of a size it takes.
QString PcxSizeRefusal(const QString& name, const PcxHeaderInfo& info) {
    if (info.kind != PcxKind::Monochrome && info.kind != PcxKind::OtherPcx) return {};
    const QString tooLarge = PictureSizeError(name, info.width, info.height);
    return tooLarge.isEmpty() ? tooLarge : tooLarge + QStringLiteral("; nothing was sent");
}

PcxPlan Refused(PcxPlan plan, const QString& line) {
    plan.lines << line;
    plan.severity = Severity::Fault;
    return plan;
}

}  // namespace

PcxPlan PlanPcxDownload(const QString& path, const PcxQuestion& ask, const PictureConverter& convert) {
    PcxPlan plan;
    plan.path = path;
    const QString name = QFileInfo(path).fileName();

    QFile file(path);
    const std::optional<PcxHeaderInfo> header = OpenPcx(file, plan);
    if (!header) return plan;
    const PcxHeaderInfo& info = *header;
    if (const QString refusal = PcxSizeRefusal(name, info); !refusal.isEmpty()) return Refused(plan, refusal);
    // A monochrome PCX whose picture data ends before its rows do would print
    // garbage or stall the printer's reader: it is named before anything goes.
    PcxDataExtent extent;
    if (info.kind == PcxKind::Monochrome && file.size() <= kMaxCheckedPcxSize && file.seek(0))
        extent = MeasurePcxData(file.readAll());
    file.close();

    PcxQuestionAsked question{DescribePcxFile(name, info), {}};
    if (info.kind == PcxKind::Monochrome) {
        if (!extent.EndsEarly()) {
            plan.action = PcxPlan::Action::SendFile;
            return plan;
        }
        const QString shortfall = QStringLiteral("its picture data ends early: %1 of the %2 bytes its header announces")
                                      .arg(Grouped(extent.decoded), Grouped(extent.needed));
        if (!ask) return Refused(plan, QStringLiteral("%1: %2; nothing was sent").arg(name, shortfall));
        question.text += QStringLiteral(" But ") + shortfall + QLatin1Char('.');
    }
    // Converted before the question, so that it offers Convert only when the
    // conversion worked, and says why when it did not.
    ConvertedPcx converted = convert(path);
    if (ask && (!IsPictureName(path) || extent.EndsEarly())) {
        if (converted.ok())
            question.answers << PcxAnswer::Convert;
        else
            question.text += QLatin1Char(' ') + converted.error + QLatin1Char('.');
        question.answers << PcxAnswer::SendAsItIs << PcxAnswer::Cancel;
        switch (ask(question)) {
        case PcxAnswer::Convert: break;
        case PcxAnswer::SendAsItIs: plan.action = PcxPlan::Action::SendFile; return plan;
        case PcxAnswer::Cancel:
            plan.lines << QStringLiteral("PCX download canceled: %1 was not sent").arg(name);
            return plan;
        }
    }
    if (!converted.ok()) return Refused(plan, converted.error + QStringLiteral("; nothing was sent"));
    plan.action = PcxPlan::Action::SendConverted;
    plan.image = std::move(converted.bytes);
    plan.lines << converted.line;
    return plan;
}

PcxPlan PlanPcxAsIs(const QString& path) {
    PcxPlan plan;
    plan.path = path;
    QFile file(path);
    const std::optional<PcxHeaderInfo> header = OpenPcx(file, plan);
    if (!header) return plan;
    switch (header->kind) {
    case PcxKind::Monochrome:
    case PcxKind::OtherPcx: break;
    case PcxKind::NotPcx: return Refused(plan, QStringLiteral("%1 is not a PCX file").arg(path));
    case PcxKind::TooShort:
        return Refused(plan, QStringLiteral("%1 is shorter than a PCX header (%2 of %3 bytes)")
                                 .arg(path)
                                 .arg(header->fileSize)
                                 .arg(kPcxHeaderSize));
    }
    if (const QString refusal = PcxSizeRefusal(path, *header); !refusal.isEmpty()) return Refused(plan, refusal);
    plan.action = PcxPlan::Action::SendFile;
    return plan;
}

QStringList PcxQuestionAsked::AnswerTexts() const {
    static const char* const texts[] = {"Convert", "Send As It Is", "Cancel"};
    QStringList out;
    for (const PcxAnswer answer : answers) out << QString::fromLatin1(texts[int(answer)]);
    return out;
}

int PcxQuestionAsked::DefaultIndex() const {
    const qsizetype convert = answers.indexOf(PcxAnswer::Convert);
    return int(convert >= 0 ? convert : answers.indexOf(PcxAnswer::Cancel));
}

int PcxQuestionAsked::EscapeIndex() const { return int(answers.indexOf(PcxAnswer::Cancel)); }

PcxAnswer PcxQuestionAsked::AnswerAt(int index) const { return answers.value(index, PcxAnswer::Cancel); }

CommandInput PcxCommandInput(const PcxPlan& plan, const QString& address) {
    CommandInput input;
    input.path = plan.path;
    input.address = address;
    input.planBytes = PlannedBytes(plan, QByteArrayView(kVekFormFeed).size());
    input.addPlan = [plan](PrinterJob& job, Console& console) {
        return AddPcxPlan(job, plan, QByteArray(kVekFormFeed), console);
    };
    return input;
}

qint64 PlannedBytes(const PcxPlan& plan, qint64 printCommandSize) {
    if (plan.action == PcxPlan::Action::Nothing) return 0;
    const qint64 image =
        plan.action == PcxPlan::Action::SendConverted ? plan.image.size() : QFileInfo(plan.path).size();
    return PcxDownloadHeader(image).size() + image + printCommandSize;
}

bool AddPcxPlan(PrinterJob& job, const PcxPlan& plan, const QByteArray& printCommand, Console& console) {
    switch (plan.action) {
    case PcxPlan::Action::Nothing: return false;
    case PcxPlan::Action::SendFile: return AddPcxImage(job, plan.path, printCommand, console);
    case PcxPlan::Action::SendConverted:
        console.LogMessage(
            LogKind::Outgoing,
            QStringLiteral("Sending the converted picture %1 to IP Address %2").arg(plan.path, console.AddressText()));
        AddPcxBytes(job, plan.image, printCommand);
        return true;
    }
    return false;
}

}  // namespace kivo
