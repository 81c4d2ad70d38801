// The form: every control of the main window in one table (its member, object
// name, caption, tooltip, place, when it can be used, what a click does, how it
// grows with the window), and what is made from it: the controls, their places,
// the tab order and their enabled states.
#include "console/frmkivo.h"

#include "console/address_completer.h"
#include "console/app_icon.h"
#include "console/status_tally_label.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>

#include <variant>

namespace kivo {
namespace {

// Form positions are in twips; at 96 DPI a pixel is 15 twips.
constexpr int Px(int twips) { return (twips + 7) / 15; }

QFont FormFont(double points) {
    QFont font;
    font.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue")});
    font.setPointSizeF(points);
    return font;
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

// When a control can be used: always, or only in one connection state.
enum class Usable { Always, Connected, Disconnected };

struct Twips {
    int left, top, width, height;
};

// How a control follows the window when the operator makes it larger than the
// form: the logs take the extra width and share the extra height.
enum class Growth {
    Stays,        // keeps its place and size
    OutgoingLog,  // the extra width and the upper half of the extra height
    IncomingLog,  // the extra width and the rest of the height, below the outgoing log's growth
    BetweenLogs,  // moves down by the outgoing log's growth
    BandWidens,   // moves down by the outgoing log's growth and takes the extra width
    BandRight,    // moves down by the outgoing log's growth and right by the extra width
    Widens,       // keeps its place and takes the extra width
};

// A control's place in pixels, in a window `extra` larger than the form.
QRect GrownPlace(const Twips& place, Growth growth, QSize extra) {
    QRect r(Px(place.left), Px(place.top), Px(place.width), Px(place.height));
    const int outgoing = extra.height() / 2;
    switch (growth) {
    case Growth::Stays: break;
    case Growth::OutgoingLog: r.adjust(0, 0, extra.width(), outgoing); break;
    case Growth::IncomingLog: r.adjust(0, outgoing, extra.width(), extra.height()); break;
    case Growth::BetweenLogs: r.translate(0, outgoing); break;
    case Growth::BandWidens: r.adjust(0, outgoing, extra.width(), outgoing); break;
    case Growth::BandRight: r.translate(extra.width(), outgoing); break;
    case Growth::Widens: r.adjust(0, 0, extra.width(), 0); break;
    }
    return r;
}

// One control of the form: the member that holds it (its type says what kind
// of control it is), its object name, caption, tooltip, place, when it can be
// used, what a click on it does, how its text is aligned, and how it follows the
// window's growth.
// clang-format off
struct frmkivo::FormControl {
    std::variant<QPushButton* frmkivo::*, QLineEdit* frmkivo::*, QLabel* frmkivo::*, LogView* frmkivo::*,
                 QProgressBar* frmkivo::*, StatusTallyLabel* frmkivo::*>
        control;
    // clang-format on
    const char* name;
    const char* caption;
    const char* tooltip;
    Twips place;
    Usable usable;
    void (frmkivo::*click)() = nullptr;
    Qt::Alignment align = {};
    Growth growth = Growth::Stays;
};

std::span<const frmkivo::FormControl> frmkivo::Form() {
    using F = frmkivo;
    constexpr Qt::Alignment centred = Qt::AlignCenter;
    // The form's table, one control to a row, laid out by hand.
    // clang-format off
    static const FormControl form[] = {
        {&F::Cmdping, "Cmdping", "Ping", "Verify ethernet communication to current IP address",
         {1920, 360, 1095, 495}, Usable::Always, &F::Cmdping_Click},
        {&F::IP_Address, "IP_Address", "", "Enter IP Address for your Kivo Systems printer",
         {3600, 360, 2535, 495}, Usable::Disconnected, nullptr, centred},
        {&F::CmdText, "CmdText", "Send Text", "Send Text Command to the printer",
         {240, 1920, 1215, 495}, Usable::Connected, &F::CmdText_Click},
        {&F::CmdFile, "CmdFile", "Send Text File", "Send text file to printer (# of Copies)",
         {2880, 1920, 1215, 495}, Usable::Connected, &F::CmdFile_Click},
        {&F::CmdClear, "CmdClear", "Clear Messages", "Clear out messages below",
         {4560, 5040, 1335, 495}, Usable::Always, &F::CmdClear_Click, {}, Growth::BetweenLogs},
        {&F::TxtCount, "TxtCount", "1", "Enter # of copies of text commands or text files",
         {9480, 1200, 1335, 525}, Usable::Connected, nullptr, centred},
        {&F::TxtCmd, "TxtCmd", "", "Enter string here and then click on \"Send Text\" when you are ready",
         {120, 1200, 9255, 495}, Usable::Connected},
        {&F::Label1, "Label1", "Outgoing Data and General Messages", "",
         {120, 2520, 3615, 375}, Usable::Always},
        {&F::IPLBL, "IPLBL", "Enter IP Address  Here", "",
         {3600, 120, 2295, 255}, Usable::Always},
        {&F::LblCount, "LblCount", "# of Copies", "",
         {9480, 960, 1455, 255}, Usable::Always, nullptr, Qt::AlignHCenter | Qt::AlignTop},
        {&F::LblCmd, "LblCmd", "Enter Text Command or Ascii Value Here", "",
         {120, 960, 3855, 255}, Usable::Always},
        {&F::CmdConnect, "CmdConnect", "Connect", "Connect & Disconnect with Kivo Systems Printer",
         {6840, 360, 1215, 495}, Usable::Always, &F::CmdConnect_Click},
        {&F::Label2, "Label2", "Incoming Printer Data  and Messages", "",
         {120, 5280, 3615, 375}, Usable::Always, nullptr, {}, Growth::BetweenLogs},
        {&F::CmdPclFF, "CmdPclFF", "HP Form Feed", "Send a HP Form Feed to the printer",
         {9480, 1920, 1215, 495}, Usable::Connected, &F::CmdPclFF_Click},
        {&F::CmdVekFF, "CmdVekFF", "VEK Form Feed", "Send VEK Form Feed to the printer",
         {6840, 1920, 1215, 495}, Usable::Connected, &F::CmdVekFF_Click},
        {&F::CmdPcxFile, "CmdPcxFile", "Print PCX File", "Print a Monochrome PCX file on an VEK printer",
         {4200, 1920, 1215, 495}, Usable::Connected, &F::CmdPcxFile_Click},
        {&F::CmdVEKTest, "CmdVEKTest", "VEK Test Ticket", "Generate standard VEK test ticket (# of Copies)",
         {5520, 1920, 1215, 495}, Usable::Connected, &F::CmdVEKTest_Click},
        {&F::CmdHPTest, "CmdHPTest", "HP Test Ticket", "Generate standard HP ID test ticket (# of Copies)",
         {8160, 1920, 1215, 495}, Usable::Connected, &F::CmdHPTest_Click},
        {&F::CmdAscii, "CmdAscii", "Send Ascii ", "Send ASCII Value to printer",
         {1560, 1920, 1215, 495}, Usable::Connected, &F::CmdAscii_Click},
        {&F::TxtMsg, "TxtMsg", "", "", {120, 2880, 10695, 2085}, Usable::Always, nullptr, {},
         Growth::OutgoingLog},
        {&F::InTxtMsg, "InTxtMsg", "", "", {120, 5640, 10695, 2535}, Usable::Always, nullptr, {},
         Growth::IncomingLog},
        // Shown while a long send runs, between the logs right of Clear Messages;
        // last in the tab order, so the form's own order stays as it is.
        {&F::PrgSend, "PrgSend", "", "", {6000, 5040, 3480, 240}, Usable::Always, nullptr, {}, Growth::BandWidens},
        {&F::CmdStop, "CmdStop", "Stop", "Stop the running send and the sends queued behind it",
         {9600, 5040, 1215, 495}, Usable::Always, &F::CmdStop_Click, {}, Growth::BandRight},
        // The printer's statuses since Connect, on the free right of the outgoing
        // log's label row, as wide as the logs: clear of every control.
        {&F::StatusTally, "StatusTally", "", "", {3840, 2520, 6975, 345}, Usable::Always, nullptr, {},
         Growth::Widens},
        // Right of Connect on the top row; last in the tab order, as the form's own order stays.
        {&F::CmdFind, "CmdFind", "Find Printers", "Find the printers on this computer's networks",
         {8280, 360, 1455, 495}, Usable::Disconnected, &F::CmdFind_Click},
    };
    // clang-format on
    return form;
}

QStringList frmkivo::ControlPlaces() {
    QStringList lines;
    for (const FormControl& row : Form()) {
        const QRect r = GrownPlace(row.place, row.growth, QSize(0, 0));
        lines << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(QLatin1String(row.name))
                     .arg(r.x())
                     .arg(r.y())
                     .arg(r.width())
                     .arg(r.height());
    }
    return lines;
}

void frmkivo::BuildControls() {
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    setWindowIcon(AppIcon());
    // The form's size is the least the window takes; larger, the logs grow.
    setMinimumSize(Px(10965), Px(8280));
    resize(minimumSize());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(192, 192, 255));
    setPalette(pal);
    setAutoFillBackground(true);

    // The text boxes' font is the form's while the controls are made: a text box
    // lays out its text as it is made, and would load the default font for nothing.
    // Every other control sets a font of its own.
    setFont(FormFont(14.25));
    QWidget* previous = nullptr;
    for (const FormControl& row : Form()) {
        const QString caption = QString::fromLatin1(row.caption);
        QWidget* widget = std::visit(
            Overloaded{
                [&](QPushButton* frmkivo::*member) -> QWidget* {
                    auto* b = new QPushButton(caption, this);
                    // The system's font at the size of a classic dialog font, so
                    // every caption fits its button.
                    QFont font = QApplication::font(b);
                    font.setPointSizeF(7.5);
                    b->setFont(font);
                    b->setAutoDefault(false);
                    if (row.click)
                        connect(b, &QPushButton::clicked, this, [this, click = row.click] { (this->*click)(); });
                    return this->*member = b;
                },
                [&](QLineEdit* frmkivo::*member) -> QWidget* {
                    auto* t = new QLineEdit(caption, this);
                    t->setFont(FormFont(14.25));
                    if (row.align) t->setAlignment(row.align);
                    return this->*member = t;
                },
                [&](QLabel* frmkivo::*member) -> QWidget* {
                    auto* l = new QLabel(caption, this);
                    l->setFont(FormFont(9.75));
                    if (row.align) l->setAlignment(row.align);
                    return this->*member = l;
                },
                [&](LogView* frmkivo::*member) -> QWidget* {
                    auto* v = new LogView(member == &frmkivo::TxtMsg ? &outLog_ : &inLog_, this);
                    v->setFont(FormFont(8.25));
                    return this->*member = v;
                },
                [&](QProgressBar* frmkivo::*member) -> QWidget* {
                    auto* p = new QProgressBar(this);
                    p->setFont(QApplication::font(p));
                    p->setRange(0, 1000);
                    p->setAlignment(Qt::AlignCenter);
                    return this->*member = p;
                },
                [&](StatusTallyLabel* frmkivo::*member) -> QWidget* {
                    auto* l = new StatusTallyLabel(this);
                    l->setFont(FormFont(9.75));
                    return this->*member = l;
                },
            },
            row.control);
        widget->setObjectName(QString::fromLatin1(row.name));
        if (*row.tooltip) widget->setToolTip(QString::fromLatin1(row.tooltip));
        // What assistive technology says: the caption, else the tooltip (fields
        // and logs take their label's text below).
        widget->setAccessibleName(!caption.trimmed().isEmpty() ? caption.trimmed() : QString::fromLatin1(row.tooltip));
        widget->setAccessibleDescription(QString::fromLatin1(row.tooltip));
        widget->setGeometry(GrownPlace(row.place, row.growth, QSize(0, 0)));
        // Labels take no focus; every other control follows the one before it.
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previous) setTabOrder(previous, widget);
            previous = widget;
        }
    }
    // The copies box is the one text box the form gives a white background.
    QPalette white = TxtCount->palette();
    white.setColor(QPalette::Base, Qt::white);
    TxtCount->setPalette(white);
    PrgSend->hide();
    CmdStop->hide();
    for (const auto& [field, label] : {std::pair<QWidget*, QLabel*>{IP_Address, IPLBL},
                                       {TxtCmd, LblCmd},
                                       {TxtCount, LblCount},
                                       {TxtMsg, Label1},
                                       {InTxtMsg, Label2}}) {
        label->setBuddy(field);
        field->setAccessibleName(label->text().simplified());
    }
    PrgSend->setAccessibleName(QStringLiteral("Progress of the running send"));
    StatusTally->setAccessibleName(QStringLiteral("Printer statuses received since Connect"));

    ShowState();
}

void frmkivo::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize extra(std::max(0, width() - Px(10965)), std::max(0, height() - Px(8280)));
    for (const FormControl& row : Form()) {
        QWidget* widget = std::visit([this](auto member) -> QWidget* { return this->*member; }, row.control);
        widget->setGeometry(GrownPlace(row.place, row.growth, extra));
    }
}

void frmkivo::ShowState() {
    using State = PrinterSession::State;
    const State state = PrinterSocket.GetState();
    // While the connection ends (Disconnect's wait, or a close that waits for
    // the running job) nothing more can be sent; while it is made, the address
    // is the attempt's.
    const bool ending = state == State::Closing || closeWhenClosed_;
    const bool sending = state == State::Connected && !ending;
    const bool editing = state == State::Disconnected && !ending;
    for (const FormControl& row : Form()) {
        if (row.usable == Usable::Always) continue;
        QWidget* widget = std::visit([this](auto member) -> QWidget* { return this->*member; }, row.control);
        widget->setEnabled(row.usable == Usable::Connected ? sending : editing);
    }
    CmdConnect->setText(state == State::Connected || state == State::Closing ? QStringLiteral("Disconnect")
                                                                             : QStringLiteral("Connect"));
}

}  // namespace kivo
