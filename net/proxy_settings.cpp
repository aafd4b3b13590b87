#include "proxy_settings.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

// The port curl assumes for a proxy that names none.
constexpr quint16 DefaultProxyPort = 1080;

std::optional<ProxyEnvironment::Variable> readVariable(const char *lower, const char *upper)
{
    for (const char *name : {lower, upper}) {
        const QString value = qEnvironmentVariable(name).trimmed();
        if (!value.isEmpty()) {
            return ProxyEnvironment::Variable{QString::fromLatin1(name), value};
        }
    }
    return std::nullopt;
}

// What a proxy's value shows in a message: its scheme, host and port, never a
// user or password, whatever characters those hold. "scheme://..." when no host
// can be told apart, empty when not even a scheme can.
QString shownProxy(const QString &value)
{
    static const QRegularExpression schemePattern(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    static const QRegularExpression hostPattern(
        QStringLiteral("^([A-Za-z0-9._-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?$"));
    const QRegularExpressionMatch scheme = schemePattern.match(value);
    QString rest = value.mid(scheme.capturedLength());
    // The credentials end at the last "@": a password may hold "@" and "/" itself.
    rest = rest.mid(rest.lastIndexOf(QLatin1Char('@')) + 1);
    const qsizetype end = rest.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (end >= 0) {
        rest.truncate(end);
    }
    if (hostPattern.match(rest).hasMatch()) {
        return scheme.captured() + rest;
    }
    return scheme.hasMatch() ? scheme.captured() + QStringLiteral("...") : QString();
}

// An entry's port, split off: "host:8080", "[::1]:8080". -1 when it names
// none, 0 when the one it names is no port.
int splitPort(QString &entry)
{
    QString port;
    if (entry.startsWith(QLatin1Char('['))) {
        const qsizetype close = entry.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return 0;
        }
        const QString rest = entry.mid(close + 1);
        entry = entry.mid(1, close - 1);
        if (rest.isEmpty()) {
            return -1;
        }
        if (!rest.startsWith(QLatin1Char(':'))) {
            return 0;
        }
        port = rest.mid(1);
    } else if (entry.count(QLatin1Char(':')) == 1) {
        port = entry.section(QLatin1Char(':'), 1);
        entry = entry.section(QLatin1Char(':'), 0, 0);
    } else {
        return -1; // no port, or a bare IPv6 address
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    return ok && number >= 1 && number <= 65535 ? static_cast<int>(number) : 0;
}

} // namespace

ProxyEnvironment ProxyEnvironment::fromProcess()
{
    ProxyEnvironment environment;
    environment.http = readVariable("http_proxy", "HTTP_PROXY");
    environment.https = readVariable("https_proxy", "HTTPS_PROXY");
    environment.all = readVariable("all_proxy", "ALL_PROXY");
    environment.no = readVariable("no_proxy", "NO_PROXY");
    return environment;
}

ProxySettings ProxySettings::direct()
{
    ProxySettings settings;
    settings.m_direct = true;
    return settings;
}

ProxySettings::ProxySettings(ProxyEnvironment environment) : m_environment(std::move(environment))
{
}

QString ProxySettings::problem() const
{
    if (m_direct) {
        return {};
    }
    for (const auto &variable : {m_environment.http, m_environment.https, m_environment.all}) {
        QString why;
        if (variable && !parseProxy(variable->value, &why)) {
            const QString shown = shownProxy(variable->value);
            const QString setting = shown.isEmpty()
                                        ? variable->name
                                        : QStringLiteral("%1=\"%2\"").arg(variable->name, shown);
            return QStringLiteral("The proxy setting %1 cannot be used: %2").arg(setting, why);
        }
    }
    return {};
}

ProxyRoute ProxySettings::route(const QUrl &url) const
{
    if (m_direct) {
        return {};
    }
    if (m_environment.isEmpty()) {
        return {ProxyRoute::Kind::Desktop, {}, {}};
    }
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    if (m_environment.no && bypasses(m_environment.no->value, url.host(), port)) {
        return {};
    }
    std::optional<ProxyEnvironment::Variable> variable;
    if (scheme == QLatin1String("https")) {
        variable = m_environment.https;
    } else if (scheme == QLatin1String("http")) {
        variable = m_environment.http;
    }
    if (!variable) {
        variable = m_environment.all;
    }
    if (!variable) {
        return {};
    }
    // problem() is asked before any request goes out, so a value that names
    // no proxy never gets this far in the program.
    const std::optional<QNetworkProxy> proxy = parseProxy(variable->value);
    if (!proxy) {
        return {};
    }
    return {ProxyRoute::Kind::Proxy, *proxy, variable->name};
}

std::optional<ProxyRoute> ProxySettings::proxyFor(const QUrl &url) const
{
    ProxyRoute chosen = route(url);
    if (chosen.kind == ProxyRoute::Kind::Desktop) {
        const QList<QNetworkProxy> proxies =
            QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
        if (proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy ||
            proxies.first().type() == QNetworkProxy::DefaultProxy) {
            return std::nullopt;
        }
        chosen = {ProxyRoute::Kind::Proxy, proxies.first(),
                  QStringLiteral("the desktop's proxy settings")};
    }
    if (chosen.kind != ProxyRoute::Kind::Proxy) {
        return std::nullopt;
    }
    return chosen;
}

bool ProxySettings::bypasses(const QString &noProxy, const QString &host, int port)
{
    QString name = host.toLower();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        name = name.mid(1, name.size() - 2);
    }
    while (name.endsWith(QLatin1Char('.'))) {
        name.chop(1);
    }
    QHostAddress address;
    const bool isAddress = address.setAddress(name);

    for (const QString &item : noProxy.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString entry = item.trimmed().toLower();
        if (entry == QLatin1String("*")) {
            return true;
        }
        const int entryPort = splitPort(entry);
        if (entry.isEmpty() || entryPort == 0 || (entryPort > 0 && entryPort != port)) {
            continue;
        }
        if (isAddress) {
            if (entry.contains(QLatin1Char('/'))) {
                const auto subnet = QHostAddress::parseSubnet(entry);
                if (!subnet.first.isNull() && address.isInSubnet(subnet)) {
                    return true;
                }
            } else if (QHostAddress other; other.setAddress(entry) && other.isEqual(address)) {
                return true;
            }
            continue;
        }
        if (entry.startsWith(QLatin1String("*."))) {
            entry.remove(0, 1);
        }
        if (entry.startsWith(QLatin1Char('.'))) {
            entry.remove(0, 1);
        }
        while (entry.endsWith(QLatin1Char('.'))) {
            entry.chop(1);
        }
        if (!entry.isEmpty() && (name == entry || name.endsWith(QLatin1Char('.') + entry))) {
            return true;
        }
    }
    return false;
}

std::optional<QNetworkProxy> ProxySettings::parseProxy(const QString &value, QString *why)
{
    const auto refuse = [why](const QString &reason) -> std::optional<QNetworkProxy> {
        if (why) {
            *why = reason;
        }
        return std::nullopt;
    };
    QString text = value.trimmed();
    if (!text.contains(QLatin1String("://"))) {
        text.prepend(QLatin1String("http://"));
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return refuse(QStringLiteral("it is not [scheme://][user:password@]host[:port]"));
    }
    const QString scheme = url.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::HttpProxy;
    if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")) {
        type = QNetworkProxy::Socks5Proxy;
    } else if (scheme != QLatin1String("http")) {
        return refuse(QStringLiteral("proxies reached over %1:// are not supported; "
                                     "http://, socks5:// and socks5h:// are")
                          .arg(scheme));
    }
    if (url.port() == 0) {
        return refuse(QStringLiteral("0 is not a port"));
    }
    QNetworkProxy proxy(type, url.host(), static_cast<quint16>(url.port(DefaultProxyPort)),
                        url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    if (scheme == QLatin1String("socks5")) {
        // socks5 resolves names here, socks5h at the proxy.
        proxy.setCapabilities(proxy.capabilities() & ~QNetworkProxy::HostNameLookupCapability);
    }
    return proxy;
}

QString ProxySettings::describe(const QNetworkProxy &proxy)
{
    QString scheme = QStringLiteral("http");
    if (proxy.type() == QNetworkProxy::Socks5Proxy) {
        scheme = proxy.capabilities() & QNetworkProxy::HostNameLookupCapability
                     ? QStringLiteral("socks5h")
                     : QStringLiteral("socks5");
    }
    QUrl url;
    url.setScheme(scheme);
    url.setHost(proxy.hostName());
    url.setPort(proxy.port());
    return url.toString();
}

SettingsProxyFactory::SettingsProxyFactory(std::shared_ptr<const ProxySettings> settings)
    : m_settings(std::move(settings))
{
}

QList<QNetworkProxy> SettingsProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    const ProxyRoute chosen = m_settings->route(query.url());
    switch (chosen.kind) {
    case ProxyRoute::Kind::Proxy:
        return {chosen.proxy};
    case ProxyRoute::Kind::Desktop:
        return systemProxyForQuery(query);
    case ProxyRoute::Kind::Direct:
        break;
    }
    return {QNetworkProxy(QNetworkProxy::NoProxy)};
}
