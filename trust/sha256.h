#pragma once

#include "release_pin.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

struct evp_md_ctx_st;

// SHA-256 through OpenSSL's libcrypto, which runs on the CPU's SHA
// instructions where it has them: several times the speed of a portable one.
// Throws std::runtime_error when libcrypto fails, which it does only when broken.
class Sha256 final
{
public:
    static constexpr qsizetype Size = 32;
    static constexpr qsizetype HexSize = 2 * Size;

    Sha256();
    ~Sha256();
    Sha256(Sha256 &&) noexcept;
    Sha256 &operator=(Sha256 &&) noexcept;

    void addData(QByteArrayView bytes);
    // The digest of everything added so far; the hash then starts afresh.
    QByteArray result();

    static QByteArray hash(QByteArrayView bytes);

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    void restart();

    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

// The digest of a file's contents; error says why it could not be read or
// hashed. Never throws.
struct FileDigest
{
    QByteArray digest;
    QString error;
    PieceDigests pieces = {}; // when asked for
};
FileDigest sha256OfFile(const QString &path);
// The same for the file open as descriptor, read from its first byte; name
// says which file it is in the error. With pieceBytes above 0, the digest of
// each piece of that size too, from the same reading.
FileDigest sha256OfDescriptor(int descriptor, const QString &name, qint64 pieceBytes = 0);

// The digest that text spells: exactly 64 hexadecimal digits, either case.
std::optional<QByteArray> parseSha256Hex(QStringView text);
