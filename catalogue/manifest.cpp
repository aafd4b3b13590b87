#include "manifest.h"

#include <QStringList>

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return false;
    }
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') ||
            c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return true;
}

std::optional<ManifestEntry> parseManifestLine(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() < 3 || fields.at(0).toUpper() != QLatin1String(Manifest::PlatformTag)) {
        return std::nullopt;
    }
    if (!isPlainFileName(fields.at(1))) {
        return std::nullopt;
    }
    return ManifestEntry{fields.at(1), fields.at(2)};
}
