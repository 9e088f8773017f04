// Draws the product mark: a cloud in a blue gradient with white sync arrows.
// Writes logo.png (128 px) and logo.ico (16 to 256 px, each entry a PNG
// image) into the folder given as the only argument.
//
//   g++ -std=c++17 -fPIC makelogo.cpp $(pkg-config --cflags --libs Qt5Gui) -o makelogo
//   QT_QPA_PLATFORM=offscreen ./makelogo ../page/img
#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

static QPainterPath cloud()
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addRoundedRect(QRectF(24, 126, 208, 82), 41, 41);
    path.addEllipse(QPointF(84, 136), 44, 44);
    path.addEllipse(QPointF(134, 110), 64, 64);
    path.addEllipse(QPointF(188, 142), 42, 42);
    return path.simplified();
}

// Two arcs chasing each other round the centre, each ending in an arrow head.
static void syncArrows(QPainter& p)
{
    const QPointF c(128, 150);
    const qreal r = 34;
    QPen pen(Qt::white, 13, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
    for (int half = 0; half < 2; ++half) {
        const qreal start = 30 + half * 180;
        p.drawArc(box, int(start * 16), int(120 * 16));
        const qreal end = qDegreesToRadians(start + 120);
        const QPointF tip(c.x() + r * qCos(end), c.y() - r * qSin(end));
        // Tangent direction of a counter-clockwise arc at its end.
        const QPointF dir(-qSin(end), -qCos(end));
        const QPointF normal(-dir.y(), dir.x());
        QPolygonF head;
        head << tip + dir * 16 << tip + normal * 14 << tip - normal * 14;
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPolygon(head);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
    }
}

static QImage render(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    p.translate(0, 2);
    QLinearGradient fill(QPointF(40, 50), QPointF(210, 220));
    fill.setColorAt(0, QColor("#6cc3ff"));
    fill.setColorAt(0.55, QColor("#3a86f5"));
    fill.setColorAt(1, QColor("#1f4fd8"));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(cloud());
    if (size >= 32)
        syncArrows(p);
    return image;
}

static QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// ICO container whose entries hold PNG data.
static QByteArray ico(const QList<int>& sizes)
{
    QList<QByteArray> images;
    for (int size : sizes)
        images << png(render(size));
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(sizes.size());
    quint32 offset = 6 + 16 * sizes.size();
    for (int i = 0; i < sizes.size(); ++i) {
        const quint8 side = sizes[i] >= 256 ? 0 : quint8(sizes[i]);
        s << side << side << quint8(0) << quint8(0) << quint16(1) << quint16(32)
          << quint32(images[i].size()) << offset;
        offset += images[i].size();
    }
    for (const QByteArray& image : images)
        s.writeRawData(image.constData(), image.size());
    return out;
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    render(128).save(dir + "/logo.png");
    QFile file(dir + "/logo.ico");
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(ico({16, 24, 32, 48, 64, 128, 256}));
    return 0;
}
