// Draws the desktop's icons from the logo the window shows: a PNG at each of
// the usual sizes and, when Qt's SVG module was found, a scalable SVG. Run at
// build time; not installed.

#include "logo.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTextStream>

#ifdef ORBISTANE_HAVE_SVG
#include <QSvgGenerator>
#endif

#include <array>

namespace {

constexpr std::array<int, 8> Sizes = {16, 22, 24, 32, 48, 64, 128, 256};
// The scalable icon's canvas, in its own units.
constexpr int SvgSize = 256;

QString iconPath(const QString &themeFolder, const QString &sizeFolder, const QString &name)
{
    const QString folder = themeFolder + QLatin1Char('/') + sizeFolder + QStringLiteral("/apps");
    if (!QDir().mkpath(folder)) {
        return QString();
    }
    return folder + QLatin1Char('/') + name;
}

bool writePng(const QString &themeFolder, const QString &id, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        paintLogo(painter, QRectF(0, 0, size, size));
    }
    const QString path = iconPath(themeFolder, QStringLiteral("%1x%1").arg(size),
                                  id + QStringLiteral(".png"));
    return !path.isEmpty() && image.save(path, "PNG");
}

#ifdef ORBISTANE_HAVE_SVG
bool writeSvg(const QString &themeFolder, const QString &id)
{
    const QString path = iconPath(themeFolder, QStringLiteral("scalable"),
                                  id + QStringLiteral(".svg"));
    if (path.isEmpty()) {
        return false;
    }
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(SvgSize, SvgSize));
    svg.setViewBox(QRect(0, 0, SvgSize, SvgSize));
    svg.setTitle(QStringLiteral("Orbistane Download"));
    svg.setDescription(QStringLiteral("A planet in orbit above a download arrow"));
    QPainter painter;
    if (!painter.begin(&svg)) {
        return false;
    }
    paintLogo(painter, QRectF(0, 0, SvgSize, SvgSize));
    return painter.end();
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        err << "usage: " << args.value(0) << " THEME_FOLDER ICON_NAME\n";
        return 2;
    }
    const QString &themeFolder = args[1];
    const QString &id = args[2];
    for (const int size : Sizes) {
        if (!writePng(themeFolder, id, size)) {
            err << "cannot write the " << size << " px icon under " << themeFolder << '\n';
            return 1;
        }
    }
#ifdef ORBISTANE_HAVE_SVG
    if (!writeSvg(themeFolder, id)) {
        err << "cannot write the scalable icon under " << themeFolder << '\n';
        return 1;
    }
#endif
    return 0;
}
