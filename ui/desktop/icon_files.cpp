// SPDX-License-Identifier: MIT
// Makes the icon files the desktops want from the XPM drawings:
//   icon_files OUT.png IN.xpm [SIZE]  one size as PNG (Linux icon theme); SIZE, a whole multiple
//                                     of the drawing's, enlarges it pixel for pixel
//   icon_files OUT.ico IN.xpm...      all sizes in one 16-colour ICO (Windows resource)
// The ICO is written by hand: Qt's ICO writer stores 32-bit images only.

#include <QColor>
#include <QFile>
#include <QImage>
#include <QList>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// The standard 16-colour Windows palette; every drawn pixel must be one of these.
constexpr std::array<QRgb, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

int paletteIndex(QRgb pixel)
{
    for (std::size_t i = 0; i < kPalette.size(); ++i)
        if ((pixel & 0xFFFFFF) == kPalette[i])
            return int(i);
    return -1;
}

void put16(QByteArray &out, unsigned v)
{
    out.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
}

void put32(QByteArray &out, unsigned v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// One BITMAPINFOHEADER image: palette, 4-bit colour rows and 1-bit transparency mask, both
// bottom-up with rows padded to 4 bytes. Transparent pixels are colour 0 with the mask bit set.
QByteArray iconImage(const QImage &image, bool &ok)
{
    const int w = image.width();
    const int h = image.height();
    const int colourRow = (w * 4 + 31) / 32 * 4;
    const int maskRow = (w + 31) / 32 * 4;
    QByteArray out;
    put32(out, 40);
    put32(out, unsigned(w));
    put32(out, unsigned(2 * h)); // colour rows and mask rows
    put16(out, 1);
    put16(out, 4);
    put32(out, 0);
    put32(out, unsigned((colourRow + maskRow) * h));
    put32(out, 0);
    put32(out, 0);
    put32(out, 16);
    put32(out, 0);
    for (QRgb c : kPalette)
        out.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append('\0');

    QByteArray colours(colourRow * h, '\0');
    QByteArray mask(maskRow * h, '\0');
    for (int y = 0; y < h; ++y) {
        const int row = h - 1 - y;
        for (int x = 0; x < w; ++x) {
            const QRgb pixel = image.pixel(x, y);
            int index = 0;
            if (qAlpha(pixel) == 0) {
                mask[row * maskRow + x / 8] = char(mask[row * maskRow + x / 8] | (0x80 >> (x % 8)));
            } else if ((index = paletteIndex(pixel)) < 0) {
                std::fprintf(stderr, "colour #%06X at %d,%d is not in the 16-colour palette\n",
                             pixel & 0xFFFFFF, x, y);
                ok = false;
            }
            char &byte = colours[row * colourRow + x / 2];
            byte = char(byte | (x % 2 ? index : index << 4));
        }
    }
    return out + colours + mask;
}

QByteArray icoFile(const QList<QImage> &images, bool &ok)
{
    QByteArray header;
    put16(header, 0);
    put16(header, 1); // icon
    put16(header, unsigned(images.size()));
    QByteArray bodies;
    unsigned offset = 6 + 16 * unsigned(images.size());
    for (const QImage &image : images) {
        const QByteArray body = iconImage(image, ok);
        header.append(char(image.width() & 0xFF)).append(char(image.height() & 0xFF));
        header.append(char(16)).append('\0');
        put16(header, 1);
        put16(header, 4);
        put32(header, unsigned(body.size()));
        put32(header, offset);
        offset += unsigned(body.size());
        bodies += body;
    }
    return header + bodies;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT.png IN.xpm [SIZE] | OUT.ico IN.xpm...\n", argv[0]);
        return 2;
    }
    const QString target = QString::fromLocal8Bit(argv[1]);
    const bool png = target.endsWith(QLatin1String(".png"));
    const int size = png && argc == 4 ? std::atoi(argv[3]) : 0;
    QList<QImage> images;
    for (int i = 2; i < (size ? 3 : argc); ++i) {
        QImage image(QString::fromLocal8Bit(argv[i]), "XPM");
        if (image.isNull()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        images.append(image.convertToFormat(QImage::Format_ARGB32));
    }

    if (png) {
        QImage image = images.front();
        if (size) {
            // Larger icons for software centres: the drawing's pixels, each a square block.
            if (size % image.width() || size % image.height()) {
                std::fprintf(stderr, "%d is no whole multiple of %s's size\n", size, argv[2]);
                return 2;
            }
            image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        }
        if (images.size() != 1 || !image.save(target, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", argv[1]);
            return 1;
        }
        return 0;
    }
    bool ok = true;
    const QByteArray ico = icoFile(images, ok);
    QFile out(target);
    if (!ok || !out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
