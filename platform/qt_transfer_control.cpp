#include "qt_transfer_control.h"

#include "runtime_error.h"

#include <QNetworkAccessManager>

QtTransferControl::QtTransferControl(QNetworkAccessManager &network,
                                     std::chrono::milliseconds timeout, QObject *parent)
    : TransferControl(parent), m_network(network), m_timeout(timeout)
{
}

QtTransferControl::~QtTransferControl() = default;

void QtTransferControl::Execute(const QString &, const QString &)
{
    throw RuntimeError(ErrorNumber::InvalidCall, QStringLiteral("Not built yet"));
}

bool QtTransferControl::StillExecuting() const { return false; }

QString QtTransferControl::GetHeader(const QString &) const { return {}; }

QByteArray QtTransferControl::GetChunk(int) { return {}; }

void QtTransferControl::Cancel() {}

QString QtTransferControl::errorDescription() const { return m_error; }
