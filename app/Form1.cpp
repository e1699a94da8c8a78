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

#include "Module1.h"
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
    : QWidget(parent), shell_(shell), server_(std::move(server)) {
    InitPackwardenResources();
    BuildControls();
    Form_Load();
}

Form1::~Form1() {
    if (winsock1) {
        winsock1->SetOwner(nullptr);
    }
}

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
    Timer1->setInterval(100);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(5000);

    connect(doit, &QPushButton::clicked, this, &Form1::doit_Click);
    connect(Browse, &QPushButton::clicked, this, &Form1::Browse_Click);
    connect(Label3, &ClickableLabel::clicked, this, &Form1::Label3_Click);
    connect(Picture1, &ClickableLabel::clicked, this, &Form1::Picture1_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void Form1::Form_Load() {
    winsock1 = CSocket::Create();
    winsock1->SetOwner(this);  // declared to receive its events; none is handled
    SocketChannel::Instance();
    winsock1->RemoteHost(server_.host);
    winsock1->RemotePort(server_.port);
    client_version = 2;
    generator_.emplace();
    // The template holds CR LF line ends; the field shows them as lines.
    QString header = QString::fromStdString(HeaderTemplate(server_.HostAndPort()));
    header.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    mydata->setPlainText(header);
    ShowFolder(Module1::InstallBaseFolder());
    Timer1->start();
}

void Form1::doit_Click() {
    // A connection still open after a failed scan or send carries the next request; connecting
    // it again would start a lookup that leaves it unusable.
    if (winsock1->State() != StateConnected) {
        try {
            winsock1->Connect();
        } catch (const std::exception&) {
            // A refused attempt shows as the time-out below, as every connect failure does.
        }
    }
    // A failure in send_inventory stopped the poll; the press resumes it.
    Timer1->start();
    Timer2->start();
}

void Form1::Timer1_Timer() {
    if (winsock1->State() == StateConnected) {
        Timer1->stop();
        Timer2->stop();
        send_inventory();
    }
}

void Form1::Timer2_Timer() {
    Timer2->stop();
    Message("Couldn't connect");
}

void Form1::send_inventory() {
    session_number = generator_->NextSessionNumber();

    std::vector<PackageEntry> entries;
    ShowFolder(WithTrailingSeparator(FolderBytes()));
    if (!ListPackages(FolderBytes(), entries)) {
        Message("Couldn't open base folder");
        return;
    }

    try {
        const std::string body = InventoryBody(client_version, session_number, entries);
        winsock1->SendData(Variant(ComposeRequest(HeaderTemplateFromMydata(), body)));
    } catch (const std::exception&) {
        Message("Couldn't send data");
        return;
    }
    launch_browser();
}

void Form1::launch_browser() {
    // Closing shuts the sending direction down; whatever is still buffered must go out first.
    if (!FlushSendBuffer()) {
        Message("Couldn't send data");
        return;
    }
    winsock1->CloseSocket();

    QString address;
    bool opened = false;
    try {
        address = QString::fromStdString(server_.SessionPage(session_number, client_version));
        opened = shell_.OpenAddress(address);
    } catch (const std::exception&) {
        opened = false;
    }
    if (!opened) {
        // The player can still open the page by hand.
        Message("Couldn't launch browser", address);
        return;
    }
    hide();
    shell_.EndProgram();
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

void Form1::Browse_Click() {
    if (std::optional<QString> folder =
            shell_.PickFolder(this, QStringLiteral("Select EFII base folder:"))) {
        path_to_ef2->setText(*folder);
    }
}

void Form1::Label3_Click() {
    shell_.OpenAddress(QString::fromStdString(server_.Address("/crewdock/")));
}

void Form1::Picture1_Click() {
    shell_.OpenAddress(QString::fromStdString(server_.Address("/")));
}

void Form1::winsock1_Error(int16_t /*Number*/, std::string& /*Description*/, int32_t /*Scode*/,
                           const std::string& /*Source*/, const std::string& /*HelpFile*/,
                           int32_t /*HelpContext*/, bool& /*CancelDisplay*/) {
    shell_.ShowMessage(this, QStringLiteral("Winsock error"), Shell::Icon::None);
}

bool Form1::FlushSendBuffer() {
    const auto done = [this] {
        return winsock1->SendBufferSize() == 0 || winsock1->State() != StateConnected;
    };
    if (!done()) {
        QEventLoop loop;
        QTimer stalled;
        stalled.setSingleShot(true);
        connect(&stalled, &QTimer::timeout, &loop, &QEventLoop::quit);
        std::size_t waiting = winsock1->SendBufferSize();
        connect(&SocketChannel::Instance(), &SocketChannel::Dispatched, &loop, [&] {
            if (done()) {
                loop.quit();
            } else if (const std::size_t now = winsock1->SendBufferSize(); now != waiting) {
                waiting = now;
                stalled.start(flushLimit_);  // bytes moved: the limit counts from here
            }
        });
        // No second press or edit while the request drains.
        setEnabled(false);
        stalled.start(flushLimit_);
        loop.exec();
        setEnabled(true);
    }
    if (winsock1->SendBufferSize() == 0 && winsock1->State() == StateConnected) {
        return true;
    }
    // Given up: what is left of the request must not reach the server later.
    winsock1->Abort();
    return false;
}

std::string Form1::HeaderTemplateFromMydata() const {
    QString text = mydata->toPlainText();
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text.toStdString();
}

void Form1::Message(const char* text, const QString& detail) {
    shell_.ShowMessage(this, QString::fromUtf8(text), Shell::Icon::Critical, detail);
}

}  // namespace packwarden
