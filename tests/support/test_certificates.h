#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

// A certificate and its private key in PEM, as a server is given them.
struct TestIdentity
{
    QByteArray certificatePem;
    QByteArray keyPem;

    QSslCertificate certificate() const;
    QSslKey key() const;
    // Writes certificatePem and keyPem to the two paths; false if either fails.
    bool writeTo(const QString &certificatePath, const QString &keyPath) const;
};

// A certificate authority of the test's own, made afresh for each use and never
// known to the system, with server certificates it signs. Every key is EC P-256,
// quick to make. Failures of the library throw std::runtime_error.
class TestCertificateAuthority
{
public:
    enum class Validity {
        Current, // since yesterday, for a month
        Expired, // for a month, until yesterday
    };

    TestCertificateAuthority();

    // What a client is told to trust.
    QSslCertificate certificate() const { return m_identity.certificate(); }
    const TestIdentity &identity() const { return m_identity; }

    // A server certificate signed by this authority, valid for hosts (DNS names
    // or IP addresses).
    TestIdentity issue(const QStringList &hosts, Validity validity = Validity::Current) const;

    // A server certificate for hosts signed with its own key: no authority vouches
    // for it.
    static TestIdentity selfSigned(const QStringList &hosts);

    // The names a certificate for this machine's loopback server carries.
    static QStringList loopbackHosts()
    {
        return {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};
    }

private:
    TestIdentity m_identity;
};
