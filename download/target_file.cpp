#include "target_file.h"

#include "runtime_error.h"

namespace {

int errorNumberOf(const QFile &file)
{
    switch (file.error()) {
    case QFileDevice::OpenError:
    case QFileDevice::PermissionsError:
        return ErrorNumber::PathAccess;
    case QFileDevice::ResourceError:
        return ErrorNumber::DiskFull;
    default:
        return ErrorNumber::DeviceIo;
    }
}

} // namespace

std::unique_ptr<QFile> openTarget(const QString &path)
{
    auto file = std::make_unique<QFile>(path);
    // Buffered: a system call per 1 KiB chunk would cost more than the network.
    // A write error then shows at a later write or at the flush in closeTarget.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw RuntimeError(errorNumberOf(*file),
                           QStringLiteral("Cannot open \"%1\" for writing: %2")
                               .arg(path, file->errorString()));
    }
    return file;
}

void writeTarget(QFile &file, const QByteArray &bytes)
{
    if (bytes.isEmpty()) {
        return;
    }
    if (file.write(bytes) != bytes.size()) {
        throw RuntimeError(errorNumberOf(file), QStringLiteral("Cannot write to \"%1\": %2")
                                                    .arg(file.fileName(), file.errorString()));
    }
}

void closeTarget(QFile &file)
{
    if (!file.flush()) {
        throw RuntimeError(errorNumberOf(file), QStringLiteral("Cannot write to \"%1\": %2")
                                                    .arg(file.fileName(), file.errorString()));
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        throw RuntimeError(errorNumberOf(file), QStringLiteral("Cannot close \"%1\": %2")
                                                    .arg(file.fileName(), file.errorString()));
    }
}

void discardTarget(std::unique_ptr<QFile> &file)
{
    if (!file) {
        return;
    }
    file->close();
    file->remove();
    file.reset();
}
