#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

// The proxy variables of the environment: http_proxy, https_proxy, all_proxy and
// no_proxy, each in lower or upper case (HTTP_PROXY included), the lower-case
// name winning when both are set.
struct ProxyEnvironment
{
    struct Variable
    {
        QString name; // as found, "http_proxy" or "HTTP_PROXY"
        QString value;
    };

    std::optional<Variable> http;
    std::optional<Variable> https;
    std::optional<Variable> all;
    std::optional<Variable> no;

    // The process's own environment; a variable set to blanks counts as unset.
    static ProxyEnvironment fromProcess();
    bool isEmpty() const { return !http && !https && !all && !no; }
};

// Which way a request goes.
struct ProxyRoute
{
    enum class Kind {
        Direct,
        Proxy,
        // Nothing in the environment: the desktop's own settings decide.
        Desktop,
    };

    Kind kind = Kind::Direct;
    QNetworkProxy proxy;
    QString source; // the variable the proxy came from
};

// The proxy rules a program follows for the life of its network manager.
class ProxySettings final
{
public:
    // Every request goes direct, whatever the environment says: for tests.
    static ProxySettings direct();
    // The environment's variables, falling back to the desktop's settings
    // when it names no proxy at all.
    explicit ProxySettings(ProxyEnvironment environment);

    // What is wrong with a variable that is set, naming it and showing only the
    // proxy's scheme, host and port; empty when nothing is.
    QString problem() const;
    ProxyRoute route(const QUrl &url) const;
    // The proxy a request for url goes through, the desktop's included, with
    // where it was set; nothing when the request goes direct.
    std::optional<ProxyRoute> proxyFor(const QUrl &url) const;

    // Whether host (and port) is one that no_proxy sends direct. "*" matches every
    // host; a name matches itself and its subdomains, a leading "." or "*."
    // aside; an address matches itself, or its network in CIDR form; an entry
    // with a port matches that port only.
    static bool bypasses(const QString &noProxy, const QString &host, int port);
    // The proxy a variable's value names: [scheme://][user[:password]@]host[:port],
    // http, socks5 or socks5h, port 1080 unless given. Nothing when it names none.
    static std::optional<QNetworkProxy> parseProxy(const QString &value, QString *why = nullptr);
    // "http://host:port", "socks5://host:port" or, for a proxy that resolves
    // names itself, "socks5h://host:port"; credentials left out.
    static QString describe(const QNetworkProxy &proxy);

private:
    ProxySettings() = default;

    ProxyEnvironment m_environment;
    bool m_direct = false;
};

// Hands Qt the route ProxySettings chose for each request.
class SettingsProxyFactory final : public QNetworkProxyFactory
{
public:
    explicit SettingsProxyFactory(std::shared_ptr<const ProxySettings> settings);
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

private:
    std::shared_ptr<const ProxySettings> m_settings;
};
