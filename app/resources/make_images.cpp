// Draws the window's banner (318 x 57) and icon (32 x 32), 24-bit, in the window's colours.
// Usage: packwarden_make_images <output folder>   (QT_QPA_PLATFORM=offscreen works)
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

const QColor Background(40, 44, 81);
const QColor Gold(222, 184, 96);
const QColor Pale(168, 182, 235);

// A ring with a "T" inside: the crewdock's mark.
void DrawMark(QPainter& p, QRectF box) {
    const double w = box.width();
    p.setPen(QPen(Gold, w * 0.09));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(box.adjusted(w * 0.07, w * 0.07, -w * 0.07, -w * 0.07));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double cx = box.center().x();
    p.drawRect(QRectF(box.left() + w * 0.26, box.top() + w * 0.27, w * 0.48, w * 0.13));
    p.drawRect(QRectF(cx - w * 0.07, box.top() + w * 0.27, w * 0.14, w * 0.47));
}

QFont Face(double pixelSize, int weight, double spacing) {
    QFont font;
    font.setFamilies({"DejaVu Sans", "Liberation Sans", "Nimbus Sans"});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(pixelSize));
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);

    QImage banner(318, 57, QImage::Format_RGB888);
    banner.fill(Background);
    {
        QPainter p(&banner);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        DrawMark(p, QRectF(6, 4, 49, 49));
        p.setPen(Qt::white);
        p.setFont(Face(31, QFont::Bold, 3.5));
        p.drawText(QRectF(66, 1, 250, 36), Qt::AlignLeft | Qt::AlignVCenter, "TORVANE");
        p.setPen(QPen(Gold, 1.5));
        p.drawLine(QPointF(68, 38), QPointF(310, 38));
        p.setPen(Pale);
        p.setFont(Face(11, QFont::DemiBold, 4.2));
        p.drawText(QRectF(68, 40, 250, 15), Qt::AlignLeft | Qt::AlignVCenter, "PACKWARDEN");
    }

    QImage icon(32, 32, QImage::Format_RGB888);
    icon.fill(Background);
    {
        QPainter p(&icon);
        p.setRenderHint(QPainter::Antialiasing);
        DrawMark(p, QRectF(0, 0, 32, 32));
    }

    const bool ok = banner.save(out + "/banner.png") && icon.save(out + "/icon.png");
    return ok ? 0 : 1;
}
