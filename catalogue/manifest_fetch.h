#pragma once

#include "manifest_signature_policy.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class HttpRequest;

// The manifest as it came, and where from.
struct FetchedManifest
{
    QByteArray body;
    QString address; // of the manifest
    QString folder;  // the server's folder, which serves the releases first
};

// The manifest from the first of folders that serves it and, with trust's keys,
// its signature, verified before a line of it is read: nothing of a forged list
// may show. A server that fails leaves the next to try; one whose manifest does
// not verify is reported as it is. trying is told each address as it is asked;
// ended tells whether the program ended meanwhile, which stops the search.
// Throws RuntimeError: the failure, or the report naming every server.
FetchedManifest fetchManifest(HttpRequest &http, const QStringList &folders,
                              const ManifestTrust &trust,
                              const std::function<void(const QString &)> &trying,
                              const std::function<bool()> &ended);
