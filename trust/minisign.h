#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// Reading and verifying what the minisign tool makes: public keys and
// detached signature files (".minisig"). The cryptography is libsodium's.
namespace Minisign {

struct PublicKey
{
    QByteArray keyId; // 8 bytes
    QByteArray key;   // 32 bytes, Ed25519

    bool operator==(const PublicKey &) const = default;
};

// The key a public key line holds: the base64 line of a .pub file ("RW...").
std::optional<PublicKey> parsePublicKey(QStringView line);

// Keys separated by commas, blanks around each ignored. On a bad key, keys is
// empty and error names it.
struct KeyList
{
    QList<PublicKey> keys;
    QString error;
};
KeyList parsePublicKeys(QStringView text);

// A key ID as minisign prints it: the 8 bytes as a little-endian number in
// upper-case hexadecimal without leading zeros, so at times under 16 digits.
QString keyIdText(const QByteArray &keyId);

enum class Algorithm {
    Legacy,    // "Ed": the signature is over the file itself
    Prehashed, // "ED": the signature is over the file's BLAKE2b-512
};

struct SignatureFile
{
    Algorithm algorithm = Algorithm::Prehashed;
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes
    QByteArray trustedComment;  // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// The four lines of a signature file. On failure, error says what is wrong
// with it (empty, truncated, not base64, unknown algorithm...).
struct ParsedSignature
{
    std::optional<SignatureFile> signature;
    QString error;
};
ParsedSignature parseSignatureFile(QByteArrayView bytes);

enum class Verdict {
    Valid,
    Malformed,             // the signature file cannot be read
    UnknownKey,            // signed by a key that is not one of the trusted ones
    ContentChanged,        // the signature does not match the content
    TrustedCommentChanged, // the global signature does not match
    LibraryUnavailable,    // libsodium cannot start or failed: nothing was decided
};

struct Verification
{
    Verdict verdict = Verdict::Malformed;
    // Why, in a phrase that follows "The manifest cannot be trusted: ", empty
    // when valid.
    QString description;
    QByteArray trustedComment; // set when valid
};

// Checks signatureFile against content: the key ID must be one of keys, the
// signature must verify for the content (either algorithm), and the global
// signature must verify for the trusted comment. A libsodium that cannot work
// is a verdict too, not an exception.
Verification verify(QByteArrayView content, QByteArrayView signatureFile,
                    const QList<PublicKey> &keys);

// The fields minisign writes into a trusted comment unless told otherwise:
// "timestamp:SECONDS<tab>file:BASE NAME", with "<tab>hashed" after prehashed
// signatures. A field that is missing or cannot be read is left empty.
struct TrustedCommentFields
{
    std::optional<qint64> timestamp; // seconds since 1970, UTC
    std::optional<QString> file;     // never empty when set
};
TrustedCommentFields readTrustedComment(QByteArrayView comment);

} // namespace Minisign
