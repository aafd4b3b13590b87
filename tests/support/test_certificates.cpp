#include "test_certificates.h"

#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

template <typename T, void (*Free)(T *)> struct Freer
{
    void operator()(T *object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

constexpr long Day = 24 * 60 * 60;

[[noreturn]] void fail(const char *what)
{
    char reason[256] = "no reason given";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string("Cannot make a test certificate (") + what +
                             "): " + reason);
}

template <typename T> T *check(T *result, const char *what)
{
    if (result == nullptr) {
        fail(what);
    }
    return result;
}

void check(int result, const char *what)
{
    if (result <= 0) {
        fail(what);
    }
}

Key newKey()
{
    return Key(check(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "EC P-256 key"));
}

Bio pemBio(const QByteArray &pem)
{
    return Bio(check(BIO_new_mem_buf(pem.constData(), int(pem.size())), "memory buffer"));
}

QByteArray drain(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

void addExtension(X509 *certificate, X509V3_CTX *context, int nid, const QByteArray &value)
{
    const Extension extension(
        check(X509V3_EXT_conf_nid(nullptr, context, nid, value.constData()), "extension"));
    check(X509_add_ext(certificate, extension.get(), -1), "adding an extension");
}

struct Request
{
    QString commonName;
    QStringList hosts;
    bool authority = false;
    TestCertificateAuthority::Validity validity = TestCertificateAuthority::Validity::Current;
};

// Signs a certificate for key as the request says: with issuerKey under
// issuer's name, or with key itself when there is no issuer.
Certificate sign(const Request &request, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey)
{
    Certificate certificate(check(X509_new(), "new certificate"));
    X509 *const x = certificate.get();
    check(X509_set_version(x, X509_VERSION_3), "version");
    // Serials differ, so that no cache takes one certificate for another.
    check(ASN1_INTEGER_set_uint64(X509_get_serialNumber(x),
                                  QRandomGenerator::global()->generate64() >> 1),
          "serial number");
    const bool expired = request.validity == TestCertificateAuthority::Validity::Expired;
    check(X509_gmtime_adj(X509_getm_notBefore(x), expired ? -30 * Day : -Day) != nullptr,
          "start of validity");
    check(X509_gmtime_adj(X509_getm_notAfter(x), expired ? -Day : 30 * Day) != nullptr,
          "end of validity");

    X509_NAME *name = X509_get_subject_name(x);
    const QByteArray commonName = request.commonName.toUtf8();
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char *>(commonName.data()), -1,
                                     -1, 0),
          "subject");
    check(X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name), "issuer");
    check(X509_set_pubkey(x, key), "public key");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : x, x, nullptr, nullptr, 0);
    addExtension(x, &context, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(x, &context, NID_authority_key_identifier, "keyid:always");
    }
    if (request.authority) {
        addExtension(x, &context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else if (issuer) {
        addExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(x, &context, NID_key_usage, "critical,digitalSignature");
        addExtension(x, &context, NID_ext_key_usage, "serverAuth");
    }
    // A self-signed server certificate carries no usage limits, as the usual
    // quickly made ones do; with them the library would not take it as its own issuer.
    if (!request.hosts.isEmpty()) {
        QStringList names;
        for (const QString &host : request.hosts) {
            names.append(
                (QHostAddress(host).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) +
                host);
        }
        addExtension(x, &context, NID_subject_alt_name, names.join(QLatin1Char(',')).toUtf8());
    }
    check(X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()), "signature");
    return certificate;
}

TestIdentity identityOf(X509 *certificate, EVP_PKEY *key)
{
    const Bio certificateOut(check(BIO_new(BIO_s_mem()), "memory buffer"));
    check(PEM_write_bio_X509(certificateOut.get(), certificate), "certificate PEM");
    const Bio keyOut(check(BIO_new(BIO_s_mem()), "memory buffer"));
    check(PEM_write_bio_PrivateKey(keyOut.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
          "key PEM");
    return {drain(certificateOut.get()), drain(keyOut.get())};
}

} // namespace

QSslCertificate TestIdentity::certificate() const
{
    return QSslCertificate(certificatePem, QSsl::Pem);
}

QSslKey TestIdentity::key() const
{
    return QSslKey(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
}

bool TestIdentity::writeTo(const QString &certificatePath, const QString &keyPath) const
{
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    return certificateFile.open(QIODevice::WriteOnly) &&
           certificateFile.write(certificatePem) == certificatePem.size() &&
           keyFile.open(QIODevice::WriteOnly) && keyFile.write(keyPem) == keyPem.size();
}

TestCertificateAuthority::TestCertificateAuthority()
{
    const Key key = newKey();
    const Certificate certificate = sign({QStringLiteral("Orbistane Test Authority"), {}, true},
                                         key.get(), nullptr, nullptr);
    m_identity = identityOf(certificate.get(), key.get());
}

TestIdentity TestCertificateAuthority::issue(const QStringList &hosts, Validity validity) const
{
    const Bio certificateIn = pemBio(m_identity.certificatePem);
    const Certificate authority(
        check(PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr), "authority"));
    const Bio keyIn = pemBio(m_identity.keyPem);
    const Key authorityKey(
        check(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr), "authority key"));
    const Key key = newKey();
    const Certificate certificate = sign({hosts.value(0), hosts, false, validity}, key.get(),
                                         authority.get(), authorityKey.get());
    return identityOf(certificate.get(), key.get());
}

TestIdentity TestCertificateAuthority::selfSigned(const QStringList &hosts)
{
    const Key key = newKey();
    const Certificate certificate = sign({hosts.value(0), hosts}, key.get(), nullptr, nullptr);
    return identityOf(certificate.get(), key.get());
}
