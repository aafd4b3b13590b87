#include "sha256.h"

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <unistd.h>

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    if (!m_context) {
        throw std::bad_alloc();
    }
    restart();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

void Sha256::restart()
{
    // Fails only when libcrypto itself is broken; a wrong digest must not follow.
    if (EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("libcrypto cannot start a SHA-256");
    }
}

void Sha256::addData(QByteArrayView bytes)
{
    if (!bytes.isEmpty() &&
        EVP_DigestUpdate(m_context.get(), bytes.data(), static_cast<size_t>(bytes.size())) != 1) {
        throw std::runtime_error("libcrypto failed to hash");
    }
}

QByteArray Sha256::result()
{
    QByteArray digest(Size, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(m_context.get(), reinterpret_cast<unsigned char *>(digest.data()),
                           &size) != 1 ||
        size != Size) {
        throw std::runtime_error("libcrypto failed to finish a SHA-256");
    }
    restart();
    return digest;
}

QByteArray Sha256::hash(QByteArrayView bytes)
{
    Sha256 sha;
    sha.addData(bytes);
    return sha.result();
}

FileDigest sha256OfDescriptor(int descriptor, const QString &name, qint64 pieceBytes)
{
    // libcrypto failing, or no memory: said like any other reason the file was
    // not checked, so that it reaches the error report instead of ending the program.
    try {
        Sha256 sha;
        Sha256 piece;
        PieceDigests pieces{pieceBytes, {}};
        qint64 inPiece = 0; // bytes of the piece being hashed
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        // pread: from the first byte, whatever the descriptor's offset.
        for (off_t offset = 0;;) {
            const ssize_t read = ::pread(descriptor, block.data(), size_t(block.size()), offset);
            if (read < 0 && errno == EINTR) {
                continue;
            }
            if (read < 0) {
                return {{},
                        QStringLiteral("Cannot read \"%1\": %2").arg(name, qt_error_string(errno))};
            }
            if (read == 0) {
                if (inPiece > 0) {
                    pieces.sha256 += piece.result();
                }
                return {sha.result(), {}, std::move(pieces)};
            }
            QByteArrayView bytes(block.constData(), read);
            sha.addData(bytes);
            offset += read;
            // A block may end one piece and start the next.
            while (pieceBytes > 0 && !bytes.isEmpty()) {
                const qsizetype taken =
                    qsizetype(std::min<qint64>(bytes.size(), pieceBytes - inPiece));
                piece.addData(bytes.first(taken));
                bytes = bytes.sliced(taken);
                inPiece += taken;
                if (inPiece == pieceBytes) {
                    pieces.sha256 += piece.result();
                    inPiece = 0;
                }
            }
        }
    } catch (const std::exception &error) {
        return {{},
                QStringLiteral("Cannot compute the SHA-256 of \"%1\": %2")
                    .arg(name, QString::fromLocal8Bit(error.what()))};
    }
}

FileDigest sha256OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {{}, QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString())};
    }
    return sha256OfDescriptor(file.handle(), path);
}

std::optional<QByteArray> parseSha256Hex(QStringView text)
{
    if (text.size() != Sha256::HexSize) {
        return std::nullopt;
    }
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        const bool hex = (code >= u'0' && code <= u'9') || (code >= u'a' && code <= u'f') ||
                         (code >= u'A' && code <= u'F');
        if (!hex) {
            return std::nullopt;
        }
    }
    return QByteArray::fromHex(text.toLatin1());
}
