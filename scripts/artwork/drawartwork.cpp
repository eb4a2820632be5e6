// Draws the logo images and the program icon from one vector drawing, so every size is
// rendered from the same shapes instead of being scaled from another bitmap.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QPair>
#include <QPen>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QTextStream>
#include <QTransform>
#include <QtEndian>

namespace {

const QColor green(0x4f, 0xcd, 0x7f);
const QColor white(0xff, 0xff, 0xff);
const QColor panel(0x32, 0x32, 0x32);

// The drawing's own coordinate space: the logo's size at scale 1.
const double drawingWidth = 77;
const double drawingHeight = 72;

struct Floret
{
    QPointF centre;
    double radius;
    double turn;
};

// A larkspur floret seen from the front: five rounded petals around a pale eye.
void drawFloret(QPainter &painter, const Floret &floret)
{
    const QPointF centre = floret.centre;
    const double radius = floret.radius;
    QPainterPath petals;
    for (int index = 0; index < 5; ++index) {
        QTransform placement;
        placement.translate(centre.x(), centre.y());
        placement.rotate(floret.turn + index * 72.0);
        QPainterPath petal;
        petal.addEllipse(QPointF(0, -radius * 0.52), radius * 0.42, radius * 0.5);
        petals = petals.united(placement.map(petal));
    }
    painter.fillPath(petals, green);
    painter.setBrush(white);
    painter.drawEllipse(centre, radius * 0.3, radius * 0.3);
}

// The spike in drawing coordinates: a gently curved stem, two slender leaves at its foot,
// open florets that shrink towards the top, and closed buds above them.
void drawSpike(QPainter &painter)
{
    painter.setPen(Qt::NoPen);

    QPainterPath stem;
    stem.moveTo(37.0, 71.0);
    stem.cubicTo(36.0, 50.0, 41.0, 24.0, 40.0, 4.5);
    painter.strokePath(stem, QPen(green, 2.2, Qt::SolidLine, Qt::RoundCap));

    QPainterPath leaves;
    leaves.moveTo(36.8, 70.0);
    leaves.cubicTo(30.0, 66.0, 22.0, 64.0, 15.0, 56.0);
    leaves.cubicTo(24.0, 59.0, 31.0, 61.0, 36.8, 65.0);
    leaves.closeSubpath();
    leaves.moveTo(37.2, 68.0);
    leaves.cubicTo(44.0, 64.0, 52.0, 62.0, 60.0, 53.0);
    leaves.cubicTo(51.0, 57.0, 43.0, 59.0, 37.2, 62.5);
    leaves.closeSubpath();
    painter.fillPath(leaves, green);

    const Floret florets[] = {
        {{29.0, 50.0}, 9.5, 8.0},  {{47.0, 42.0}, 8.8, -10.0}, {{31.0, 32.0}, 8.0, 20.0},
        {{47.5, 23.5}, 7.0, -4.0}, {{33.5, 16.5}, 6.0, 14.0},
    };
    for (const Floret &floret : florets)
        drawFloret(painter, floret);

    painter.setBrush(green);
    painter.drawEllipse(QPointF(44.5, 10.0), 3.3, 4.0);
    painter.drawEllipse(QPointF(40.0, 3.6), 2.4, 3.0);
}

QImage transparentImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// Converted to straight alpha, which is what both PNG and the icon bitmaps store.
QImage logoImage(int scale)
{
    QImage image = transparentImage(qRound(drawingWidth * scale), qRound(drawingHeight * scale));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);
    drawSpike(painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The spike on a rounded dark square, so that the icon reads on light and dark desktops alike.
QImage iconImage(int size)
{
    QImage image = transparentImage(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(panel);
    const double corner = size * 0.2;
    painter.drawRoundedRect(QRectF(0, 0, size, size), corner, corner);
    // The spike is taller than it is wide, so its height sets the scale.
    const double scale = size * 0.8 / drawingHeight;
    painter.translate((size - drawingWidth * scale) / 2, (size - drawingHeight * scale) / 2);
    painter.scale(scale, scale);
    drawSpike(painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void appendLittleEndian16(QByteArray &bytes, quint16 value)
{
    char raw[2];
    qToLittleEndian(value, raw);
    bytes.append(raw, 2);
}

void appendLittleEndian32(QByteArray &bytes, quint32 value)
{
    char raw[4];
    qToLittleEndian(value, raw);
    bytes.append(raw, 4);
}

// An icon bitmap: a BITMAPINFOHEADER whose height counts the colour rows and the mask rows
// together, the BGRA rows bottom-up, then the AND mask rows, each padded to 32 bits. Windows
// draws a 32-bit image through its alpha channel; the mask only matters to callers that ignore
// alpha, so it marks exactly the fully transparent pixels.
QByteArray bitmapWithMask(const QImage &image)
{
    const int width = image.width();
    const int height = image.height();
    const int maskStride = (width + 31) / 32 * 4;
    const quint32 pixelBytes = quint32(width * height * 4 + maskStride * height);

    QByteArray bytes;
    appendLittleEndian32(bytes, 40);
    appendLittleEndian32(bytes, quint32(width));
    appendLittleEndian32(bytes, quint32(height * 2));
    appendLittleEndian16(bytes, 1);
    appendLittleEndian16(bytes, 32);
    appendLittleEndian32(bytes, 0);
    appendLittleEndian32(bytes, pixelBytes);
    appendLittleEndian32(bytes, 0);
    appendLittleEndian32(bytes, 0);
    appendLittleEndian32(bytes, 0);
    appendLittleEndian32(bytes, 0);

    for (int y = height - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x)
            appendLittleEndian32(bytes, row[x]);
    }
    for (int y = height - 1; y >= 0; --y) {
        QByteArray maskRow(maskStride, '\0');
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            if (qAlpha(row[x]) == 0)
                maskRow[x / 8] = char(maskRow[x / 8] | (0x80 >> (x % 8)));
        }
        bytes.append(maskRow);
    }
    return bytes;
}

// Sizes up to 128 pixels are bitmaps, which every Windows version reads; larger ones are PNG,
// which keeps the file small and which Windows reads for sizes of 256 pixels and more.
QByteArray iconFile(const QList<int> &sizes)
{
    QList<QByteArray> images;
    for (int size : sizes) {
        const QImage image = iconImage(size);
        images.append(size <= 128 ? bitmapWithMask(image) : pngBytes(image));
    }

    const int directoryEntryBytes = 16;
    QByteArray bytes;
    appendLittleEndian16(bytes, 0);
    appendLittleEndian16(bytes, 1);
    appendLittleEndian16(bytes, quint16(sizes.size()));
    quint32 offset = quint32(6 + directoryEntryBytes * sizes.size());
    for (int index = 0; index < sizes.size(); ++index) {
        // One byte holds the size, so 256 and larger are written as 0.
        const char sizeByte = sizes[index] >= 256 ? 0 : char(sizes[index]);
        bytes.append(sizeByte);
        bytes.append(sizeByte);
        bytes.append(char(0));
        bytes.append(char(0));
        appendLittleEndian16(bytes, 1);
        appendLittleEndian16(bytes, 32);
        appendLittleEndian32(bytes, quint32(images[index].size()));
        appendLittleEndian32(bytes, offset);
        offset += quint32(images[index].size());
    }
    for (const QByteArray &image : images)
        bytes.append(image);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        error = QString("Failed to write %1 (%2).").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream errors(stderr);
    if (argc != 2) {
        errors << "usage: artwork OUTPUT_DIRECTORY\n";
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    const QList<QPair<QString, QByteArray>> files = {
        {"lumo.png", pngBytes(logoImage(1))},
        {"lumo@2x.png", pngBytes(logoImage(2))},
        {"larkspur.ico", iconFile({32, 64, 128, 256, 512, 1024})},
    };
    for (const auto &file : files) {
        QString error;
        if (!writeFile(directory.filePath(file.first), file.second, error)) {
            errors << error << '\n';
            return 1;
        }
    }
    return 0;
}
