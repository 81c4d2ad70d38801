#include "pcx/pcx_plan.h"

#include "link/jobs.h"
#include "pcx/pcx_download.h"

#include <QFile>
#include <QFileInfo>

namespace kivo {
namespace {

// A PCX larger than this is sent without its picture data checked.
constexpr qint64 kMaxCheckedPcxSize = 64 * 1024 * 1024;

}  // namespace

bool IsPictureName(const QString& path) {
    static const QStringList suffixes{QStringLiteral("png"), QStringLiteral("bmp"), QStringLiteral("jpg"),
                                      QStringLiteral("jpeg"), QStringLiteral("gif")};
    return suffixes.contains(QFileInfo(path).suffix(), Qt::CaseInsensitive);
}

PcxPlan PlanPcxDownload(const QString& path, const PcxQuestion& ask, const PictureConverter& convert) {
    PcxPlan plan;
    plan.path = path;
    const QString name = QFileInfo(path).fileName();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        plan.lines << QStringLiteral("Cannot open PCX file %1: %2").arg(path, file.errorString());
        plan.severity = Severity::Fault;
        return plan;
    }
    const PcxHeaderInfo info = ReadPcxHeader(file.read(kPcxHeaderSize), file.size());
    // A monochrome PCX whose picture data ends before its rows do would print
    // garbage or stall the printer's reader: it is named before anything goes.
    PcxDataExtent extent;
    if (info.kind == PcxKind::Monochrome && file.size() <= kMaxCheckedPcxSize && file.seek(0))
        extent = MeasurePcxData(file.readAll());
    file.close();

    QString question = DescribePcxFile(name, info);
    if (info.kind == PcxKind::Monochrome) {
        if (!extent.EndsEarly()) {
            plan.action = PcxPlan::Action::SendFile;
            return plan;
        }
        const QString shortfall = QStringLiteral("its picture data ends early: %1 of the %2 bytes its header announces")
                                      .arg(Grouped(extent.decoded), Grouped(extent.needed));
        if (!ask) {
            plan.lines << QStringLiteral("%1: %2; nothing was sent").arg(name, shortfall);
            plan.severity = Severity::Fault;
            return plan;
        }
        question += QStringLiteral(" But ") + shortfall + QLatin1Char('.');
    }
    if (ask && (!IsPictureName(path) || extent.EndsEarly())) {
        switch (ask(question)) {
        case PcxAnswer::Convert: break;
        case PcxAnswer::SendAsItIs: plan.action = PcxPlan::Action::SendFile; return plan;
        case PcxAnswer::Cancel:
            plan.lines << QStringLiteral("PCX download canceled: %1 was not sent").arg(name);
            return plan;
        }
    }
    ConvertedPcx converted = convert(path);
    if (!converted.ok()) {
        plan.lines << converted.error + QStringLiteral("; nothing was sent");
        plan.severity = Severity::Fault;
        return plan;
    }
    plan.action = PcxPlan::Action::SendConverted;
    plan.image = std::move(converted.bytes);
    plan.lines << converted.line;
    return plan;
}

PcxAnswer PcxAnswerAt(int index) {
    switch (index) {
    case 0: return PcxAnswer::Convert;
    case 1: return PcxAnswer::SendAsItIs;
    default: return PcxAnswer::Cancel;
    }
}

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
