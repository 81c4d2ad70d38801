// What "Print PCX File" does with the file the operator picked. A monochrome
// PCX goes out as it is; a picture of another kind (png, bmp, jpg, gif) is
// converted; anything else (a PCX of another depth, a file that is no PCX)
// gets a question first. The decision is plain logic: the question and the
// converter are passed in, so a window, a command line and a test can each
// bring their own.
#pragma once

#include "link/commands.h"
#include "link/console_port.h"
#include "link/printer_job.h"
#include "pcx/pcx_image.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace kivo {

// The file dialog's filter for the button: PCX files, then any picture.
inline constexpr const char* kPcxFileFilter =
    "pcx(*.pcx)|*.pcx|Pictures (*.png *.bmp *.jpg *.jpeg *.gif *.pcx)|*.png;*.bmp;*.jpg;*.jpeg;*.gif;*.pcx";

// The answers to the question about a file that is not a monochrome PCX:
// "Convert", "Send As It Is" and "Cancel" (also Escape).
enum class PcxAnswer { Convert, SendAsItIs, Cancel };

inline constexpr const char* kPcxQuestionTitle = "Print PCX File";

// The question as it is put: its text and the answers that can work, in the
// order shown (Convert only when the conversion succeeds; Cancel always, last).
// Enter gives Convert when it is offered, Cancel otherwise.
struct PcxQuestionAsked {
    QString text;
    QList<PcxAnswer> answers;

    [[nodiscard]] QStringList AnswerTexts() const;
    [[nodiscard]] int DefaultIndex() const;
    [[nodiscard]] int EscapeIndex() const;
    // The answer at an index of answers; Cancel for any other index.
    [[nodiscard]] PcxAnswer AnswerAt(int index) const;
};

using PcxQuestion = std::function<PcxAnswer(const PcxQuestionAsked& question)>;
using PictureConverter = std::function<ConvertedPcx(const QString& path)>;

struct PcxPlan {
    enum class Action { Nothing, SendFile, SendConverted };
    Action action = Action::Nothing;
    QString path;                        // the file picked
    QByteArray image;                    // the converted PCX, for SendConverted
    QStringList lines;                   // outgoing-log lines to write now, before anything is sent
    Severity severity = Severity::None;  // how much those lines matter
};

// Whether the name ends in one of the picture suffixes of the filter other
// than .pcx.
[[nodiscard]] bool IsPictureName(const QString& path);

// Reads the file's header and decides. A PCX whose header makes it larger
// than kMaxPictureWidth x kMaxPictureHeight is refused, whatever its depth.
// Asks for a file that is neither a monochrome PCX nor a picture by its name,
// and for a monochrome PCX whose picture data ends before its header says;
// such a file is converted (through `convert`) before the question, which
// offers Convert only when that worked. Converts a picture by its name without
// asking. Without `ask` (a command line has no one to ask) a file is converted
// where the question would be asked, and a monochrome PCX whose data ends
// early is refused. A file that cannot be opened, a conversion that fails, a
// refusal and a cancel each give one line and Nothing.
[[nodiscard]] PcxPlan PlanPcxDownload(const QString& path, const PcxQuestion& ask, const PictureConverter& convert);

// The plan for a file to go as it is, with no question and no conversion: a
// PCX of any depth goes out unchanged, even one whose picture data ends early.
// A file that is no PCX and a PCX too large for the printer are refused, with
// one line that names the file by `path` as given; a file that cannot be
// opened gives one line too.
[[nodiscard]] PcxPlan PlanPcxAsIs(const QString& path);

// The bytes a plan puts on the wire: the download header, the image, and the
// print command of `printCommandSize` bytes (0 for a plan that sends nothing).
[[nodiscard]] qint64 PlannedBytes(const PcxPlan& plan, qint64 printCommandSize);

// Puts a plan into a job: the file as "Print PCX File" always sent it, or the
// converted bytes in the same frame after the line "Sending the converted
// picture <path> to IP Address <address>". False when nothing can go out.
bool AddPcxPlan(PrinterJob& job, const PcxPlan& plan, const QByteArray& printCommand, Console& console);

// The input of the PCX command of the command table for a plan: the file, the
// bytes it puts on the wire, and how it is sent (framed, ended by "<p>").
[[nodiscard]] CommandInput PcxCommandInput(const PcxPlan& plan, const QString& address);

}  // namespace kivo
