// SPDX-License-Identifier: MIT
#include "Form1.h"

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

#include "SocketChannel.h"

// The images live in this static library; register them before the first use.
static void InitPackwardenResources() {
    Q_INIT_RESOURCE(packwarden);
}

namespace packwarden {
namespace {

constexpr int TwipsPerPixel = 15;
const QColor Background(40, 44, 81);

QRect Twips(int left, int top, int width, int height) {
    return {left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
            height / TwipsPerPixel};
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

// 9.75 pt, the labels' size; a substitute face is wider, so step down until the text fits its
// fixed box rather than be cut off.
void SetLabelFont(QLabel* label, bool underline = false) {
    QFont font = SansFont(9.75, underline);
    for (double size = 9.75; size >= 6.0; size -= 0.25) {
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
T* Control(QWidget* parent, const char* name, QRect geometry, int tabIndex) {
    auto* control = new T(parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(geometry);
    if (tabIndex >= 0) {
        control->setProperty("TabIndex", tabIndex);
    }
    return control;
}

QFrame* WhiteLine(QWidget* parent, const char* name, int x1, int y, int x2) {
    auto* line = Control<QFrame>(parent, name, Twips(x1, y, x2 - x1, TwipsPerPixel), -1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Qt::white);
    line->setPalette(palette);
    return line;
}

// A button's caption at 8.25 pt, or smaller until it fits between the button's edges.
void SetButtonFont(QPushButton* button) {
    QFont font = SansFont(8.25);
    for (double size = 8.25; size >= 6.75; size -= 0.25) {
        font.setPointSizeF(size);
        QString caption = button->text();
        caption.remove(QLatin1Char('&'));
        if (QFontMetrics(font).horizontalAdvance(caption) + 12 <= button->width()) {
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
    setFixedSize(6000 / TwipsPerPixel, 5865 / TwipsPerPixel);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Background);
    palette.setColor(QPalette::WindowText, Qt::white);
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(SansFont(8.25));  // buttons and the text field

    Picture1 = Control<ClickableLabel>(this, "Picture1", Twips(480, 240, 4935, 855), 7);
    QIcon banner(QStringLiteral(":/packwarden/banner.png"));
    banner.addFile(QStringLiteral(":/packwarden/banner@2x.png"));  // crisp on 2x screens
    Picture1->setPixmap(banner.pixmap(QSize(318, 57), devicePixelRatioF()));
    Picture1->setCursor(Qt::PointingHandCursor);

    Label2 = Control<QLabel>(this, "Label2", Twips(240, 1440, 5535, 1575), 3);
    Label2->setText(QStringLiteral(
        "This program will detect what pk3 files are stored on your system, and send it to the "
        "Torvane server. The server will then return a page giving you direct download links for "
        "any pk3's in our system that you don't have, or that are outmoded. We do not collect "
        "any data on you, other than what pk3 files you have and what software version you're "
        "running."));
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label2->setWordWrap(true);
    SetLabelFont(Label2);

    mydata = Control<QPlainTextEdit>(this, "mydata", Twips(-720, 1080, 6015, 285), 6);
    mydata->setVisible(false);

    Line1 = WhiteLine(this, "Line1", 360, 3120, 5640);

    Label1 = Control<QLabel>(this, "Label1", Twips(360, 3480, 1215, 495), 2);
    Label1->setText(QStringLiteral("Elite Force II base folder path:"));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setWordWrap(true);
    SetLabelFont(Label1);

    path_to_ef2 = Control<QLineEdit>(this, "path_to_ef2", Twips(1680, 3600, 2775, 285), 1);
    path_to_ef2->setText(QStringLiteral("Text1"));

    Browse = Control<QPushButton>(this, "Browse", Twips(4680, 3600, 975, 375), 5);
    Browse->setText(QStringLiteral("Browse"));
    SetButtonFont(Browse);

    Line2 = WhiteLine(this, "Line2", 360, 4200, 5640);

    Label3 = Control<ClickableLabel>(this, "Label3", Twips(240, 4440, 5535, 495), 4);
    Label3->setText(
        QStringLiteral("Developed by Brightforge for Torvane. If you are a developer, "
                       "join the Torvane crewdock today!"));
    Label3->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label3->setWordWrap(true);
    SetLabelFont(Label3, true);
    Label3->setCursor(Qt::PointingHandCursor);

    doit = Control<QPushButton>(this, "doit", Twips(2280, 5160, 1215, 495), 0);
    doit->setText(QStringLiteral("&Launch system"));
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
