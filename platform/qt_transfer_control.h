#pragma once

#include "transfer_control.h"

#include <QNetworkReply>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

// The transfer control on Qt Network.
class QtTransferControl final : public TransferControl
{
    Q_OBJECT

public:
    explicit QtTransferControl(QNetworkAccessManager &network,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60),
                               QObject *parent = nullptr);
    ~QtTransferControl() override;

    void Execute(const QString &address, const QString &operation) override;
    bool StillExecuting() const override;
    QString GetHeader(const QString &name) const override;
    QByteArray GetChunk(int size) override;
    void Cancel() override;
    QString errorDescription() const override;

private:
    QNetworkAccessManager &m_network;
    std::chrono::milliseconds m_timeout;
    QNetworkReply *m_reply = nullptr;
    QString m_error;
};
