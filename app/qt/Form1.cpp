// SPDX-License-Identifier: MIT
#include "qt/Form1.h"

#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <iostream>

#include "FormDesign.h"
#include "qt/SocketChannel.h"

// The images live in this static library; register them before the first use.
static void InitPackwardenResources() {
    Q_INIT_RESOURCE(packwarden);
}

namespace packwarden {
namespace {

// Qt places in device-independent pixels: 96 to the inch.
constexpr int TwipsPerPixel = design::TwipsPerPixelAt96Dpi;

QRect Twips(const design::Control& control) {
    return {control.left / TwipsPerPixel, control.top / TwipsPerPixel,
            control.width / TwipsPerPixel, control.height / TwipsPerPixel};
}

QString Caption(const design::Control& control) {
    return QString::fromUtf8(control.caption);
}

// The window's face, or the nearest sans font this desktop has: names that are not installed
// are skipped rather than left to the font system's generic substitute.
QString SansFamily() {
    static const QString family = [] {
        QStringList installed;
        for (QString name : QFontDatabase::families()) {
            // "Nimbus Sans [urw]": the foundry does not matter here.
            if (const auto bracket = name.indexOf(QStringLiteral(" [")); bracket > 0) {
                name.truncate(bracket);
            }
            installed.append(name);
        }
        for (const char* name : {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans",
                                 "Arial", "Nimbus Sans", "FreeSans", "DejaVu Sans"}) {
            if (installed.contains(QString::fromLatin1(name), Qt::CaseInsensitive)) {
                return QString::fromLatin1(name);
            }
        }
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}

QFont SansFont(double pointSize, bool underline = false) {
    QFont font(SansFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setUnderline(underline);
    return font;
}

// The labels' size, stepped down until the text fits its fixed box rather than be cut off.
void SetLabelFont(QLabel* label, bool underline = false) {
    QFont font = SansFont(design::LabelPoints, underline);
    for (double size = design::LabelPoints; size >= design::SmallestLabelPoints; size -= 0.25) {
        font.setPointSizeF(size);
        const QRect needed =
            QFontMetrics(font).boundingRect(QRect(0, 0, label->width(), 10000),
                                            Qt::TextWordWrap | label->alignment(), label->text());
        if (needed.width() <= label->width() && needed.height() <= label->height()) {
            break;
        }
    }
    label->setFont(font);
}

QString FromLocalBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

std::string ToLocalBytes(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

template <typename T>
T* Control(QWidget* parent, const char* name, const design::Control& place, int tabIndex) {
    auto* control = new T(parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(Twips(place));
    if (tabIndex >= 0) {
        control->setProperty("TabIndex", tabIndex);
    }
    return control;
}

QFrame* WhiteLine(QWidget* parent, const char* name, const design::Control& place) {
    auto* line = Control<QFrame>(parent, name, place, -1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Qt::white);
    line->setPalette(palette);
    return line;
}

// A button's caption at its size, or smaller until it fits between the button's edges.
void SetButtonFont(QPushButton* button) {
    QFont font = SansFont(design::ButtonPoints);
    for (double size = design::ButtonPoints; size >= design::SmallestButtonPoints; size -= 0.25) {
        font.setPointSizeF(size);
        QString caption = button->text();
        caption.remove(QLatin1Char('&'));
        if (QFontMetrics(font).horizontalAdvance(caption) + design::ButtonMarginPixelsAt96Dpi <=
            button->width()) {
            break;
        }
    }
    button->setFont(font);
}

}  // namespace

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

Form1::Form1(Shell& shell, CentralServer server, QWidget* parent)
    : QWidget(parent), shell_(shell), flow_(*this, std::move(server)) {
    InitPackwardenResources();
    BuildControls();
    flow_.Form_Load();
    // The service has started (Form_Load made the socket): its channel joins Qt's loop.
    SocketChannel::Instance();
}

Form1::~Form1() = default;

void Form1::BuildControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(ApplicationTitle));
    QIcon icon(QStringLiteral(":/packwarden/icon.png"));
    icon.addFile(QStringLiteral(":/packwarden/icon-256.png"));  // for docks and task switchers
    setWindowIcon(icon);
    setFixedSize(design::FormWidth / TwipsPerPixel, design::FormHeight / TwipsPerPixel);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(design::Background.red, design::Background.green,
                                              design::Background.blue));
    palette.setColor(QPalette::WindowText, Qt::white);
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(SansFont(design::ButtonPoints));  // buttons and the text field

    Picture1 = Control<ClickableLabel>(this, "Picture1", design::Picture1, 7);
    QIcon banner(QStringLiteral(":/packwarden/banner.png"));
    banner.addFile(QStringLiteral(":/packwarden/banner@2x.png"));  // crisp on 2x screens
    Picture1->setPixmap(banner.pixmap(QSize(318, 57), devicePixelRatioF()));
    Picture1->setCursor(Qt::PointingHandCursor);

    Label2 = Control<QLabel>(this, "Label2", design::Label2, 3);
    Label2->setText(Caption(design::Label2));
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label2->setWordWrap(true);
    SetLabelFont(Label2);

    mydata = Control<QPlainTextEdit>(this, "mydata", design::mydata, 6);
    mydata->setVisible(false);

    Line1 = WhiteLine(this, "Line1", design::Line1);

    Label1 = Control<QLabel>(this, "Label1", design::Label1, 2);
    Label1->setText(Caption(design::Label1));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setWordWrap(true);
    SetLabelFont(Label1);

    path_to_ef2 = Control<QLineEdit>(this, "path_to_ef2", design::path_to_ef2, 1);
    path_to_ef2->setText(Caption(design::path_to_ef2));
    path_to_ef2->setPlaceholderText(QString::fromUtf8(FolderPlaceholder));

    Browse = Control<QPushButton>(this, "Browse", design::Browse, 5);
    Browse->setText(Caption(design::Browse));
    SetButtonFont(Browse);

    Line2 = WhiteLine(this, "Line2", design::Line2);

    Label3 = Control<ClickableLabel>(this, "Label3", design::Label3, 4);
    Label3->setText(Caption(design::Label3));
    Label3->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label3->setWordWrap(true);
    SetLabelFont(Label3, true);
    Label3->setCursor(Qt::PointingHandCursor);

    doit = Control<QPushButton>(this, "doit", design::doit, 0);
    doit->setText(Caption(design::doit));
    SetButtonFont(doit);
    doit->setDefault(true);

    // Tab order: doit, path_to_ef2, (labels), Browse, mydata, (Picture1).
    setTabOrder(doit, path_to_ef2);
    setTabOrder(path_to_ef2, Browse);
    setTabOrder(Browse, mydata);
    doit->setFocus();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(SyncFlow::Timer1Interval);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(SyncFlow::Timer2Interval);

    connect(doit, &QPushButton::clicked, this, [this] { flow_.doit_Click(); });
    connect(Browse, &QPushButton::clicked, this, [this] { flow_.Browse_Click(); });
    connect(Label3, &ClickableLabel::clicked, this, [this] { flow_.Label3_Click(); });
    connect(Picture1, &ClickableLabel::clicked, this, [this] { flow_.Picture1_Click(); });
    connect(Timer1, &QTimer::timeout, this, [this] { flow_.Timer1_Timer(); });
    connect(Timer2, &QTimer::timeout, this, [this] { flow_.Timer2_Timer(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void Form1::ShowFolder(std::string bytes) {
    shownFolderText_ = FromLocalBytes(bytes);
    shownFolderBytes_ = std::move(bytes);
    path_to_ef2->setText(shownFolderText_);
}

std::string Form1::FolderBytes() const {
    const QString text = path_to_ef2->text();
    return text == shownFolderText_ ? shownFolderBytes_ : ToLocalBytes(text);
}

void Form1::SetHeaderTemplate(const std::string& text) {
    // The field shows the CR LF line ends as lines.
    QString header = QString::fromStdString(text);
    header.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    mydata->setPlainText(header);
}

std::string Form1::HeaderTemplate() const {
    QString text = mydata->toPlainText();
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text.toStdString();
}

void Form1::StartTimer(Timer timer) {
    (timer == Timer::Timer1 ? Timer1 : Timer2)->start();
}

void Form1::StopTimer(Timer timer) {
    (timer == Timer::Timer1 ? Timer1 : Timer2)->stop();
}

void Form1::SetInputEnabled(bool enabled) {
    setEnabled(enabled);
}

void Form1::RunLoopWhile(const std::function<bool()>& proceed, std::chrono::milliseconds tick) {
    QEventLoop loop;
    const auto check = [&] {
        if (!proceed()) {
            loop.quit();
        }
    };
    QTimer ticker;
    ticker.setInterval(tick);
    connect(&ticker, &QTimer::timeout, &loop, check);
    connect(&SocketChannel::Instance(), &SocketChannel::Dispatched, &loop, check);
    ticker.start();
    loop.exec();
}

void Form1::HideAndEndProgram() {
    hide();
    shell_.EndProgram();
}

void Form1::ShowMessage(const std::string& text, Icon icon, const std::string& detail) {
    shell_.ShowMessage(this, QString::fromStdString(text),
                       icon == Icon::Critical ? Shell::Icon::Critical : Shell::Icon::None,
                       QString::fromStdString(detail));
}

void Form1::PrintDiagnostic(const std::string& line) {
    std::cerr << line << std::endl;  // flushed: a script may be reading while the message waits
}

bool Form1::OpenAddress(const std::string& address) {
    return shell_.OpenAddress(QString::fromStdString(address));
}

std::optional<std::string> Form1::PickFolder(const std::string& title) {
    if (std::optional<QString> folder = shell_.PickFolder(this, QString::fromStdString(title))) {
        return ToLocalBytes(*folder);
    }
    return std::nullopt;
}

}  // namespace packwarden
