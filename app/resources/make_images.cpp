// SPDX-License-Identifier: MIT
// Draws the program's artwork from one set of vector shapes and writes it as SVG and PNG:
//   packwarden.svg       the scalable application icon (hicolor/scalable)
//   icons/N.png          the icon at 32, 48, 64, 128 and 256 pixels (hicolor/NxN)
//   banner.svg           the window's banner (318 x 57), its lettering as outlines
//   banner.png, banner@2x.png   the banner for the window at 1x and 2x
//   banner.bmp, banner@2x.bmp   the same for the Windows program (24-bit bitmaps)
//   packwarden.ico       the Windows program's icon: 16, 32 and 48 pixels as 32-bit bitmaps,
//                        256 as PNG
// Usage: packwarden_make_images <output folder>   (QT_QPA_PLATFORM=offscreen works)
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

const QColor Background(40, 44, 81);
const QColor Gold(222, 184, 96);
const QColor Pale(168, 182, 235);

// A filled outline: one colour, or a vertical gradient from `top` at y0 to `bottom` at y1.
struct Shape {
    QPainterPath path;
    QColor top;
    QColor bottom;
    double y0 = 0;
    double y1 = 0;
    bool gradient = false;
};

struct Artwork {
    QSizeF size;
    std::vector<Shape> shapes;

    void Add(QPainterPath path, QColor colour) {
        shapes.push_back({std::move(path), colour, colour});
    }
    void Add(QPainterPath path, QColor top, QColor bottom, double y0, double y1) {
        shapes.push_back({std::move(path), top, bottom, y0, y1, top != bottom});
    }
};

// The crewdock's mark, a ring with a "T" inside, filling the square `box`.
void AddMark(Artwork& art, QRectF box, QColor ringTop, QColor ringBottom) {
    const double w = box.width();
    const QPointF c = box.center();
    QPainterPath ring;
    ring.setFillRule(Qt::OddEvenFill);
    ring.addEllipse(c, w * 0.475, w * 0.475);
    ring.addEllipse(c, w * 0.385, w * 0.385);
    art.Add(ring, ringTop, ringBottom, box.top(), box.bottom());
    QPainterPath tee;
    tee.setFillRule(Qt::WindingFill);
    tee.addRect(QRectF(box.left() + w * 0.26, box.top() + w * 0.27, w * 0.48, w * 0.13));
    tee.addRect(QRectF(c.x() - w * 0.07, box.top() + w * 0.27, w * 0.14, w * 0.47));
    art.Add(tee.simplified(), Qt::white);
}

// The application icon on a 256-unit square: a rounded badge in the window's colours.
Artwork Icon() {
    Artwork art{QSizeF(256, 256), {}};
    QPainterPath badge;
    badge.addRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
    art.Add(badge, Background.lighter(135), Background.darker(125), 8, 248);
    QPainterPath rim;  // a thin lighter edge that keeps the badge apart from dark panels
    rim.setFillRule(Qt::OddEvenFill);
    rim.addRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
    rim.addRoundedRect(QRectF(12, 12, 232, 232), 40, 40);
    art.Add(rim, QColor(110, 118, 180), QColor(40, 44, 81), 8, 248);
    AddMark(art, QRectF(30, 30, 196, 196), Gold.lighter(118), Gold.darker(118));
    return art;
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

// Text as outlines, left-aligned and centred vertically in `box`.
QPainterPath Lettering(const QString& text, const QFont& font, QRectF box) {
    const QFontMetricsF metrics(font);
    const double baseline =
        box.top() + (box.height() - metrics.ascent() - metrics.descent()) / 2 + metrics.ascent();
    QPainterPath path;
    path.addText(QPointF(box.left(), baseline), font, text);
    return path;
}

// The window's banner, 318 x 57.
Artwork Banner() {
    Artwork art{QSizeF(318, 57), {}};
    QPainterPath field;
    field.addRect(QRectF(0, 0, 318, 57));
    art.Add(field, Background);
    AddMark(art, QRectF(6, 4, 49, 49), Gold, Gold);
    art.Add(Lettering("TORVANE", Face(31, QFont::Bold, 3.5), QRectF(66, 1, 250, 36)), Qt::white);
    QPainterPath rule;
    rule.addRect(QRectF(68, 37.25, 242, 1.5));
    art.Add(rule, Gold);
    art.Add(Lettering("PACKWARDEN", Face(11, QFont::DemiBold, 4.2), QRectF(68, 40, 250, 15)), Pale);
    return art;
}

QImage Render(const Artwork& art, QSize pixels) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(pixels.width() / art.size.width(), pixels.height() / art.size.height());
    for (const Shape& s : art.shapes) {
        if (s.gradient) {
            QLinearGradient g(0, s.y0, 0, s.y1);
            g.setColorAt(0, s.top);
            g.setColorAt(1, s.bottom);
            p.fillPath(s.path, g);
        } else {
            p.fillPath(s.path, s.top);
        }
    }
    return image;
}

QString Number(double v) {
    QString text = QString::number(v, 'f', 2);
    while (text.contains('.') && (text.endsWith('0') || text.endsWith('.'))) {
        text.chop(1);
    }
    return text == "-0" ? "0" : text;
}

QString PathData(const QPainterPath& path) {
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = Number(e.x) + ' ' + Number(e.y);
        switch (e.type) {
            case QPainterPath::MoveToElement:
                d += 'M' + point;
                break;
            case QPainterPath::LineToElement:
                d += 'L' + point;
                break;
            case QPainterPath::CurveToElement:
                d += 'C' + point;
                break;
            case QPainterPath::CurveToDataElement:
                d += ' ' + point;
                break;
        }
    }
    return d;
}

QByteArray Svg(const Artwork& art) {
    QString defs, body;
    int gradients = 0;
    for (const Shape& s : art.shapes) {
        QString fill = s.top.name();
        if (s.gradient) {
            const QString id = QString("g%1").arg(++gradients);
            defs += QString(
                        "<linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" "
                        "y1=\"%2\" x2=\"0\" y2=\"%3\"><stop offset=\"0\" stop-color=\"%4\"/>"
                        "<stop offset=\"1\" stop-color=\"%5\"/></linearGradient>\n")
                        .arg(id, Number(s.y0), Number(s.y1), s.top.name(), s.bottom.name());
            fill = "url(#" + id + ")";
        }
        body += QString("<path fill=\"%1\"%2 d=\"%3\"/>\n")
                    .arg(fill, s.path.fillRule() == Qt::OddEvenFill ? " fill-rule=\"evenodd\"" : "",
                         PathData(s.path));
    }
    const QString w = Number(art.size.width()), h = Number(art.size.height());
    return QString(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
               "viewBox=\"0 0 %1 %2\">\n%3%4</svg>\n")
        .arg(w, h, defs.isEmpty() ? QString() : "<defs>\n" + defs + "</defs>\n", body)
        .toUtf8();
}

bool Write(const QString& file, const QByteArray& data) {
    QFile out(file);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(data) == data.size();
}

void AppendLe(QByteArray& out, quint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// One icon image in the bitmap form every Windows reads: a BITMAPINFOHEADER of twice the
// height (image and mask), BGRA rows bottom-up, then an all-zero AND mask (the alpha decides).
QByteArray IconBitmap(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width(), h = image.height();
    QByteArray out;
    AppendLe(out, 40, 4);
    AppendLe(out, static_cast<quint32>(w), 4);
    AppendLe(out, static_cast<quint32>(2 * h), 4);
    AppendLe(out, 1, 2);   // planes
    AppendLe(out, 32, 2);  // bits per pixel
    AppendLe(out, 0, 4);   // BI_RGB
    AppendLe(out, static_cast<quint32>(w * h * 4), 4);
    AppendLe(out, 0, 16);  // resolution, colours used and important
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(static_cast<char>(qBlue(row[x])));
            out.append(static_cast<char>(qGreen(row[x])));
            out.append(static_cast<char>(qRed(row[x])));
            out.append(static_cast<char>(qAlpha(row[x])));
        }
    }
    const int maskRow = ((w + 31) / 32) * 4;
    out.append(QByteArray(maskRow * h, '\0'));
    return out;
}

QByteArray Ico(const Artwork& icon) {
    std::vector<QByteArray> images;
    const int sizes[] = {16, 32, 48, 256};
    for (int size : sizes) {
        const QImage image = Render(icon, QSize(size, size));
        if (size == 256) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            images.push_back(png);
        } else {
            images.push_back(IconBitmap(image));
        }
    }
    QByteArray out;
    AppendLe(out, 0, 2);
    AppendLe(out, 1, 2);  // an icon
    AppendLe(out, static_cast<quint32>(images.size()), 2);
    quint32 offset = 6 + 16 * static_cast<quint32>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = sizes[i];
        out.append(static_cast<char>(size == 256 ? 0 : size));  // 0 stands for 256
        out.append(static_cast<char>(size == 256 ? 0 : size));
        AppendLe(out, 0, 2);  // no palette, reserved
        AppendLe(out, 1, 2);
        AppendLe(out, 32, 2);
        AppendLe(out, static_cast<quint32>(images[i].size()), 4);
        AppendLe(out, offset, 4);
        offset += static_cast<quint32>(images[i].size());
    }
    for (const QByteArray& image : images) {
        out.append(image);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    bool ok = QDir(out).mkpath("icons");

    const Artwork icon = Icon();
    ok = ok && Write(out + "/icons/packwarden.svg", Svg(icon));
    for (int size : {32, 48, 64, 128, 256}) {
        ok = ok && Render(icon, QSize(size, size)).save(out + QString("/icons/%1.png").arg(size));
    }

    const Artwork banner = Banner();
    ok = ok && Write(out + "/banner.svg", Svg(banner));
    // The banner is opaque: 24-bit PNGs, as the window shows it on its own background.
    for (const auto& [size, name] : {std::pair{QSize(318, 57), QString("banner")},
                                     std::pair{QSize(636, 114), QString("banner@2x")}}) {
        const QImage image = Render(banner, size).convertToFormat(QImage::Format_RGB888);
        ok = ok && image.save(out + "/" + name + ".png") &&
             image.save(out + "/" + name + ".bmp", "BMP");
    }
    ok = ok && Write(out + "/packwarden.ico", Ico(icon));
    if (!ok) {
        std::fprintf(stderr, "%s: could not write the images into %s\n", argv[0], argv[1]);
    }
    return ok ? 0 : 1;
}
