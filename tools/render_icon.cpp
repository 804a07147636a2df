// Renders an SVG icon to a square PNG of the size given: the application icon's hicolor sizes are
// made from its one SVG at build time. Usage: render_icon <svg> <size> <png>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const int size = argc == 4 ? std::atoi(argv[2]) : 0;
    QSvgRenderer renderer(QString::fromLocal8Bit(argc == 4 ? argv[1] : ""));
    if (size <= 0 || !renderer.isValid()) {
        std::fprintf(stderr, "usage: render_icon <svg> <size> <png>\n");
        return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[3]), "PNG") ? 0 : 1;
}
