#include "manifest_fetch.h"

#include "diagnostics.h"
#include "http_request.h"
#include "manifest.h"
#include "runtime_error.h"
#include "server_list.h"

#include <QDateTime>

namespace {

QByteArray fetchSignature(HttpRequest &http, const QString &address)
{
    try {
        return http.Get(address + QLatin1String(Manifest::SignatureSuffix),
                        Manifest::MaxSignatureBytes);
    } catch (const RuntimeError &error) {
        throw RuntimeError(ErrorNumber::ManifestUntrusted,
                           QStringLiteral("The manifest at %1 cannot be trusted: its signature "
                                          "could not be fetched. %2")
                               .arg(address, error.description()));
    }
}

void verify(const QByteArray &manifest, const QByteArray &signature, const ManifestTrust &trust,
            const QString &address)
{
    if (const std::optional<QString> refusal =
            manifestSignatureRefusal(manifest, signature, QString::fromLatin1(Manifest::FileName),
                                     trust, QDateTime::currentSecsSinceEpoch())) {
        throw RuntimeError(
            ErrorNumber::ManifestUntrusted,
            QStringLiteral("The manifest at %1 cannot be trusted: %2.").arg(address, *refusal));
    }
}

} // namespace

FetchedManifest fetchManifest(HttpRequest &http, const QStringList &folders,
                              const ManifestTrust &trust,
                              const std::function<void(const QString &)> &trying,
                              const std::function<bool()> &ended)
{
    QStringList addresses;
    for (const QString &folder : folders) {
        addresses.append(folder + QLatin1String(Manifest::FileName));
    }
    ServerList servers(addresses);
    for (;;) {
        FetchedManifest fetched{{}, servers.current(), folders.value(servers.number() - 1)};
        trying(fetched.address);
        QByteArray signature;
        try {
            fetched.body = http.Get(fetched.address, Manifest::MaxBytes);
            if (trust.requiresSignature()) {
                signature = fetchSignature(http, fetched.address);
            }
        } catch (const RuntimeError &failure) {
            if (ended()) {
                throw;
            }
            if (!servers.failed(failure)) {
                throw servers.report(QStringLiteral("The manifest"));
            }
            qCInfo(lcNet).noquote()
                << QStringLiteral("%1 failed: %2. Trying %3 (%4 of %5)")
                       .arg(fetched.address, failure.description(), servers.current())
                       .arg(servers.number())
                       .arg(servers.size());
            continue;
        }
        if (trust.requiresSignature()) {
            verify(fetched.body, signature, trust, fetched.address);
        }
        return fetched;
    }
}
