#include "manifest.h"

#include <QStringList>

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return false;
    }
    for (const QChar c : name) {
        const char16_t code = c.unicode();
        if (code == u'/' || code == u'\\') {
            return false;
        }
        // ASCII decided at once; only the rest needs the Unicode tables.
        const bool control = code < 0x80 ? code < 0x20 || code == 0x7F
                                         : c.category() == QChar::Other_Control;
        if (control) {
            return false;
        }
    }
    return true;
}

namespace {

// The field upper-cased is the tag: its letters in any case.
bool isPlatformTag(QStringView field)
{
    const QLatin1StringView tag(Manifest::PlatformTag);
    if (field.size() != tag.size()) {
        return false;
    }
    for (qsizetype i = 0; i < tag.size(); ++i) {
        if (field[i].toUpper() != tag[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<ManifestEntry> parseManifestLine(const QString &line)
{
    // Views, not copies: only the two fields kept are allocated.
    const QStringView view(line);
    constexpr QChar Tab(u'\t');
    const qsizetype tagEnd = view.indexOf(Tab);
    const qsizetype fileEnd = tagEnd < 0 ? -1 : view.indexOf(Tab, tagEnd + 1);
    if (fileEnd < 0 || !isPlatformTag(view.first(tagEnd))) {
        return std::nullopt;
    }
    const QString file = view.sliced(tagEnd + 1, fileEnd - tagEnd - 1).toString();
    if (!isPlainFileName(file)) {
        return std::nullopt;
    }
    const qsizetype nameEnd = view.indexOf(Tab, fileEnd + 1);
    const qsizetype nameSize = nameEnd < 0 ? -1 : nameEnd - fileEnd - 1;
    const QString name = view.mid(fileEnd + 1, nameSize).toString();
    return ManifestEntry{file, name};
}
