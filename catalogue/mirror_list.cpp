#include "mirror_list.h"

#include "text_lines.h"

#include <QUrl>

namespace {

// Two spellings of one folder ("HTTPS://Host.:443/a/" and "https://host/a/") are one.
// QUrl already writes scheme, host and percent-escapes in one case; the path's
// letter case is the server's to tell apart, so "/a/" and "/A/" stay two folders.
// A trailing dot only roots the host name in DNS: it names the same server.
QString addressKey(const QString &address)
{
    QUrl url = QUrl(address).adjusted(QUrl::NormalizePathSegments);
    const int defaultPort = url.scheme() == QLatin1String("https") ? 443 : 80;
    if (url.port() == defaultPort) {
        url.setPort(-1);
    }
    if (const QString host = url.host(); host.endsWith(QLatin1Char('.'))) {
        url.setHost(host.chopped(1));
    }
    return url.toString(QUrl::FullyEncoded);
}

bool isHttpOnly(const QString &address)
{
    return QUrl(address).scheme() == QLatin1String("http");
}

} // namespace

MirrorLine readMirrorLine(QStringView line)
{
    MirrorLine result;
    qsizetype next = 0;
    result.tagged =
        nextTabField(line, next).compare(QLatin1String(Manifest::MirrorTag), Qt::CaseInsensitive) ==
        0;
    if (!result.tagged) {
        return result;
    }
    const QString field = nextTabField(line, next).trimmed().toString();
    const QUrl url(field, QUrl::StrictMode);
    // Port 0 reaches no server: the connection would fail on every release.
    if (field.isEmpty() || !url.isValid() || url.isRelative() || url.host().isEmpty() ||
        url.port() == 0 || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()) {
        result.skipped = MirrorSkip::NotAnAddress;
    } else if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) {
        result.skipped = MirrorSkip::NotHttp;
    } else if (!url.path().endsWith(QLatin1Char('/'))) {
        result.skipped = MirrorSkip::NoTrailingSlash;
    } else {
        result.address = url.toString(QUrl::FullyEncoded);
    }
    return result;
}

QString describeMirrorSkip(MirrorSkip reason)
{
    switch (reason) {
    case MirrorSkip::None:
        break;
    case MirrorSkip::NotAnAddress:
        return QStringLiteral("field 1 is not the address of a folder (scheme, host and path, "
                              "without credentials, query, fragment or port 0)");
    case MirrorSkip::NotHttp:
        return QStringLiteral("the address is neither http:// nor https://");
    case MirrorSkip::NoTrailingSlash:
        return QStringLiteral("the address does not end in \"/\", so it names no folder");
    case MirrorSkip::Duplicate:
        return QStringLiteral("the same folder is listed before");
    case MirrorSkip::TooMany:
        return QStringLiteral("%1 mirrors are listed before, the most that are used")
            .arg(Manifest::MaxMirrors);
    case MirrorSkip::HttpWithoutPins:
        return QStringLiteral("an http:// mirror serves only releases the manifest pins, and "
                              "this manifest pins none");
    }
    return {};
}

ReleaseServers::ReleaseServers(const QString &manifestFolder)
{
    if (!manifestFolder.isEmpty()) {
        m_folders.append(manifestFolder);
        m_keys.insert(addressKey(manifestFolder));
    }
}

MirrorSkip ReleaseServers::addMirror(const QString &address)
{
    const QString key = addressKey(address);
    if (m_keys.contains(key)) {
        return MirrorSkip::Duplicate;
    }
    if (m_folders.size() > Manifest::MaxMirrors) {
        return MirrorSkip::TooMany;
    }
    m_folders.append(address);
    m_keys.insert(key);
    return MirrorSkip::None;
}

bool ReleaseServers::isWeaker(const QString &mirror, const QString &manifestFolder)
{
    return isHttpOnly(mirror) && !isHttpOnly(manifestFolder);
}

QStringList ReleaseServers::forRelease(const ReleasePin &pin) const
{
    QStringList folders;
    for (const QString &folder : m_folders) {
        // Over http, only a pin tells the release from something put in its place.
        if (folders.isEmpty() || pin.pinsDigest() || !isWeaker(folder, m_folders.first())) {
            folders.append(folder);
        }
    }
    return folders;
}

QStringList splitServerList(const QString &servers)
{
    QStringList list;
    for (const QString &server : servers.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (const QString trimmed = server.trimmed(); !trimmed.isEmpty()) {
            list.append(trimmed);
        }
    }
    return list;
}
