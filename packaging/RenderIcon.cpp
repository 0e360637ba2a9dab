// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-render-icon: draws the application's SVG icon as square PNGs for the hicolor theme, at
// build time, with the same SVG renderer the window uses. Writes OUTDIR/<N>x<N>/corvane.png.
// Usage: corvane-render-icon SVG OUTDIR SIZE...
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "Usage: corvane-render-icon SVG OUTDIR SIZE...\n");
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "corvane-render-icon: %s is not a readable SVG file\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 4096) {
            std::fprintf(stderr, "corvane-render-icon: '%s' is not an icon size\n", argv[i]);
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            renderer.render(&painter);
        }
        const QString folder = QStringLiteral("%1x%1").arg(size);
        const QString path = out.filePath(folder + QStringLiteral("/corvane.png"));
        if (!out.mkpath(folder) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "corvane-render-icon: couldn't write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
