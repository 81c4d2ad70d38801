#include "pcx/pcx_plan.h"

#include "link/jobs.h"
#include "pcx/pcx_download.h"

#include <QFile>
#include <QFileInfo>

namespace kivo {

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
    file.close();

    if (info.kind == PcxKind::Monochrome) {
        plan.action = PcxPlan::Action::SendFile;
        return plan;
    }
    if (ask && !IsPictureName(path)) {
        switch (ask(DescribePcxFile(name, info))) {
        case PcxAnswer::Convert:
            break;
        case PcxAnswer::SendAsItIs:
            plan.action = PcxPlan::Action::SendFile;
            return plan;
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
    input.sendPlan = [plan](Sender& sender, ws::SOCKET s, Console& console) {
        return SendPcxPlan(sender, s, plan, QByteArray(kVekFormFeed), console);
    };
    return input;
}

qint64 PlannedBytes(const PcxPlan& plan, qint64 printCommandSize) {
    if (plan.action == PcxPlan::Action::Nothing) return 0;
    const qint64 image =
        plan.action == PcxPlan::Action::SendConverted ? plan.image.size() : QFileInfo(plan.path).size();
    return PcxDownloadHeader(image).size() + image + printCommandSize;
}

bool SendPcxPlan(Sender& sender, ws::SOCKET s, const PcxPlan& plan, const QByteArray& printCommand,
                 Console& console) {
    switch (plan.action) {
    case PcxPlan::Action::Nothing:
        return true;
    case PcxPlan::Action::SendFile:
        return SendPcxImage(sender, s, plan.path, printCommand, console);
    case PcxPlan::Action::SendConverted:
        console.LogMessage(LogKind::Outgoing, QStringLiteral("Sending the converted picture %1 to IP Address %2")
                                                    .arg(plan.path, console.AddressText()));
        SendPcxBytes(sender, s, plan.image, printCommand);
        return !sender.JobFailed();
    }
    return false;
}

}  // namespace kivo
