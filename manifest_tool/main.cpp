#include "manifest_tool.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orbistane-manifest"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return ManifestTool::run(QCoreApplication::arguments().mid(1), out, err);
}
