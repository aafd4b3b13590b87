#include "minisign.h"

#include "byte_count.h"
#include "text_lines.h"

#include <sodium.h>

#include <array>

namespace Minisign {

namespace {

constexpr qsizetype AlgorithmSize = 2;
constexpr qsizetype KeyIdSize = 8;
constexpr qsizetype KeySize = crypto_sign_PUBLICKEYBYTES;
constexpr qsizetype SignatureSize = crypto_sign_BYTES;
constexpr qsizetype PublicKeySize = AlgorithmSize + KeyIdSize + KeySize;
constexpr qsizetype PublicKeyDigits = PublicKeySize / 3 * 4; // 42 bytes need no padding
constexpr qsizetype SignatureLineSize = AlgorithmSize + KeyIdSize + SignatureSize;
constexpr qsizetype PrehashSize = crypto_generichash_BYTES_MAX; // BLAKE2b-512

// minisign 0.11 signs trusted comments of up to about 4 KiB and reads twice that; a
// signature file past these limits is not one it made, and nothing bigger is parsed.
constexpr qsizetype MaxTrustedComment = 8 * 1024;
constexpr qsizetype MaxFileSize = 16 * 1024;

constexpr QByteArrayView UntrustedPrefix = "untrusted comment: ";
constexpr QByteArrayView TrustedPrefix = "trusted comment: ";
constexpr QByteArrayView LegacyAlgorithm = "Ed";
constexpr QByteArrayView PrehashedAlgorithm = "ED";

static_assert(PublicKeySize == 42 && SignatureLineSize == 74 && PrehashSize == 64);

const unsigned char *bytesOf(QByteArrayView bytes)
{
    // An empty view may hold a null pointer, which libsodium's prototypes do not allow.
    static const unsigned char none = 0;
    return bytes.isEmpty() ? &none : reinterpret_cast<const unsigned char *>(bytes.data());
}

bool startSodium()
{
    // Fails only when libsodium cannot work on this machine; nothing is verified then.
    static const bool started = sodium_init() >= 0;
    return started;
}

Verification libraryUnavailable(const QString &why)
{
    return {Verdict::LibraryUnavailable,
            QStringLiteral("its signature cannot be checked: %1").arg(why),
            {}};
}

// Strict base64 as minisign writes it: the standard alphabet, padded, nothing else.
std::optional<QByteArray> fromBase64(QByteArrayView text)
{
    if (text.isEmpty()) {
        return std::nullopt;
    }
    QByteArray bytes(text.size() / 4 * 3 + 3, Qt::Uninitialized);
    size_t size = 0;
    const char *end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()),
                          static_cast<size_t>(bytes.size()), text.data(),
                          static_cast<size_t>(text.size()), nullptr, &size, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    bytes.truncate(static_cast<qsizetype>(size));
    return bytes;
}

// The key, or why line holds none: a phrase after "it ".
struct KeyReading
{
    std::optional<PublicKey> key;
    QString problem;
};

KeyReading readPublicKey(QStringView line)
{
    if (line.size() != PublicKeyDigits) {
        return {std::nullopt, QStringLiteral("has %1 characters instead of %2")
                                  .arg(line.size())
                                  .arg(PublicKeyDigits)};
    }
    for (const QChar c : line) {
        if (c.unicode() > 0x7f) {
            return {std::nullopt, QStringLiteral("is not base64")};
        }
    }
    const std::optional<QByteArray> bytes = fromBase64(line.toLatin1());
    if (!bytes) {
        return {std::nullopt, QStringLiteral("is not base64")};
    }
    if (bytes->size() != PublicKeySize) {
        return {
            std::nullopt,
            QStringLiteral("holds %1 bytes instead of %2").arg(bytes->size()).arg(PublicKeySize)};
    }
    if (!bytes->startsWith(LegacyAlgorithm)) {
        return {std::nullopt, QStringLiteral("is not an Ed25519 key")};
    }
    return {PublicKey{bytes->mid(AlgorithmSize, KeyIdSize),
                      bytes->mid(AlgorithmSize + KeyIdSize, KeySize)},
            {}};
}

// A line of the signature file decoded, which must hold size bytes; or why not.
struct DecodedLine
{
    std::optional<QByteArray> bytes;
    QString problem;
};

DecodedLine decodeLine(QByteArrayView line, int number, qsizetype size)
{
    const std::optional<QByteArray> bytes = fromBase64(line);
    if (!bytes) {
        return {std::nullopt, QStringLiteral("line %1 is not base64").arg(number)};
    }
    if (bytes->size() != size) {
        return {std::nullopt, QStringLiteral("line %1 holds %2 bytes instead of %3")
                                  .arg(number)
                                  .arg(bytes->size())
                                  .arg(size)};
    }
    return {bytes, {}};
}

ParsedSignature malformed(const QString &problem)
{
    return {std::nullopt, problem};
}

// Two algorithm bytes as a reader can tell them apart: as text when printable.
QString algorithmText(QByteArrayView bytes)
{
    for (const char c : bytes) {
        if (c < 0x20 || c > 0x7e) {
            return QStringLiteral("0x%1").arg(QString::fromLatin1(bytes.toByteArray().toHex()));
        }
    }
    return QStringLiteral("\"%1\"").arg(QString::fromLatin1(bytes));
}

bool signatureHolds(QByteArrayView signature, QByteArrayView message, const QByteArray &key)
{
    return crypto_sign_verify_detached(bytesOf(signature), bytesOf(message),
                                       static_cast<unsigned long long>(message.size()),
                                       bytesOf(key)) == 0;
}

} // namespace

std::optional<PublicKey> parsePublicKey(QStringView line)
{
    return readPublicKey(line).key;
}

KeyList parsePublicKeys(QStringView text)
{
    const auto isBlank = [](QChar c) { return c == u' ' || c == u'\t'; };
    const auto trimBlanks = [&](QStringView part) {
        while (!part.isEmpty() && isBlank(part.front())) {
            part = part.sliced(1);
        }
        while (!part.isEmpty() && isBlank(part.back())) {
            part.chop(1);
        }
        return part;
    };
    KeyList list;
    if (trimBlanks(text).isEmpty()) {
        return list;
    }
    for (const QStringView part : text.split(u',')) {
        const QStringView line = trimBlanks(part);
        if (line.isEmpty()) {
            return {{}, QStringLiteral("The list of public keys has an empty entry")};
        }
        KeyReading reading = readPublicKey(line);
        if (!reading.key) {
            return {{},
                    QStringLiteral("\"%1\" is not a minisign public key: it %2")
                        .arg(line, reading.problem)};
        }
        list.keys.append(std::move(*reading.key));
    }
    return list;
}

QString keyIdText(const QByteArray &keyId)
{
    // minisign prints the ID as a little-endian 64-bit number with "%" PRIX64: key
    // 0088A20EFDE58FDA is shown as 88A20EFDE58FDA, and vendors quote it that way.
    QByteArray reversed;
    reversed.reserve(keyId.size());
    for (qsizetype i = keyId.size(); i > 0; --i) {
        reversed.append(keyId.at(i - 1));
    }
    QByteArray digits = reversed.toHex().toUpper();
    qsizetype zeros = 0;
    while (zeros + 1 < digits.size() && digits.at(zeros) == '0') {
        ++zeros;
    }
    return QString::fromLatin1(digits.sliced(zeros));
}

ParsedSignature parseSignatureFile(QByteArrayView bytes)
{
    if (bytes.isEmpty()) {
        return malformed(QStringLiteral("it is empty"));
    }
    if (bytes.size() > MaxFileSize) {
        return malformed(QStringLiteral("it is larger than %1 bytes").arg(MaxFileSize));
    }
    // Checked first so that a file of another kind is not reported as a cut one.
    if (!bytes.startsWith(UntrustedPrefix)) {
        return malformed(QStringLiteral("line 1 does not start with \"%1\"")
                             .arg(QString::fromLatin1(UntrustedPrefix)));
    }

    // Lines 1 to 3 end with a line feed; line 4 may end the file without one.
    std::array<QByteArrayView, 4> lines;
    qsizetype start = 0;
    for (int i = 0; i < int(lines.size()); ++i) {
        if (start == bytes.size()) {
            return malformed(QStringLiteral("it ends after line %1").arg(i));
        }
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) {
            if (i < 3) {
                return malformed(QStringLiteral("it ends in the middle of line %1").arg(i + 1));
            }
            end = bytes.size();
        }
        QByteArrayView line = bytes.sliced(start, end - start);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        lines[i] = line;
        start = end + 1;
    }

    SignatureFile file;
    const DecodedLine line2 = decodeLine(lines[1], 2, SignatureLineSize);
    if (!line2.bytes) {
        return malformed(line2.problem);
    }
    const QByteArray &signatureLine = *line2.bytes;
    const QByteArrayView algorithm = QByteArrayView(signatureLine).first(AlgorithmSize);
    if (algorithm == LegacyAlgorithm) {
        file.algorithm = Algorithm::Legacy;
    } else if (algorithm == PrehashedAlgorithm) {
        file.algorithm = Algorithm::Prehashed;
    } else {
        return malformed(QStringLiteral("line 2 names the unknown signature algorithm %1")
                             .arg(algorithmText(algorithm)));
    }
    file.keyId = signatureLine.mid(AlgorithmSize, KeyIdSize);
    file.signature = signatureLine.mid(AlgorithmSize + KeyIdSize, SignatureSize);

    if (!lines[2].startsWith(TrustedPrefix)) {
        return malformed(QStringLiteral("line 3 does not start with \"%1\"")
                             .arg(QString::fromLatin1(TrustedPrefix)));
    }
    const QByteArrayView comment = lines[2].sliced(TrustedPrefix.size());
    if (comment.size() > MaxTrustedComment) {
        return malformed(
            QStringLiteral("its trusted comment is longer than %1 bytes").arg(MaxTrustedComment));
    }
    // minisign reads comments as C strings, so it can never have signed one with a NUL.
    if (comment.contains('\0')) {
        return malformed(QStringLiteral("its trusted comment holds a NUL byte"));
    }
    file.trustedComment = comment.toByteArray();

    const DecodedLine line4 = decodeLine(lines[3], 4, SignatureSize);
    if (!line4.bytes) {
        return malformed(line4.problem);
    }
    file.globalSignature = *line4.bytes;
    return {std::move(file), {}};
}

Verification verify(QByteArrayView content, QByteArrayView signatureFile,
                    const QList<PublicKey> &keys)
{
    const ParsedSignature parsed = parseSignatureFile(signatureFile);
    if (!parsed.signature) {
        return {Verdict::Malformed,
                QStringLiteral("the signature file is malformed: %1").arg(parsed.error),
                {}};
    }
    const SignatureFile &signature = *parsed.signature;

    QList<const PublicKey *> candidates;
    QStringList trusted;
    for (const PublicKey &key : keys) {
        // A key built by hand with other sizes would make libsodium read past it.
        if (key.keyId.size() != KeyIdSize || key.key.size() != KeySize) {
            continue;
        }
        trusted.append(keyIdText(key.keyId));
        if (key.keyId == signature.keyId) {
            candidates.append(&key);
        }
    }
    if (candidates.isEmpty()) {
        return {Verdict::UnknownKey,
                QStringLiteral("it is signed by key %1, which is not a trusted key (trusted: %2)")
                    .arg(keyIdText(signature.keyId), trusted.isEmpty()
                                                         ? QStringLiteral("none")
                                                         : trusted.join(QStringLiteral(", "))),
                {}};
    }

    if (!startSodium()) {
        return libraryUnavailable(QStringLiteral("libsodium cannot start on this machine"));
    }
    QByteArray prehash;
    if (signature.algorithm == Algorithm::Prehashed) {
        prehash.resize(PrehashSize);
        if (crypto_generichash(reinterpret_cast<unsigned char *>(prehash.data()),
                               static_cast<size_t>(prehash.size()), bytesOf(content),
                               static_cast<unsigned long long>(content.size()), nullptr, 0) != 0) {
            return libraryUnavailable(QStringLiteral("libsodium failed to hash the manifest"));
        }
    }
    const QByteArrayView message = signature.algorithm == Algorithm::Prehashed
                                       ? QByteArrayView(prehash)
                                       : content;
    const QByteArray signedComment = signature.signature + signature.trustedComment;

    // Two trusted keys may share an ID by chance; either may have signed.
    bool contentHolds = false;
    for (const PublicKey *key : std::as_const(candidates)) {
        if (!signatureHolds(signature.signature, message, key->key)) {
            continue;
        }
        contentHolds = true;
        if (signatureHolds(signature.globalSignature, signedComment, key->key)) {
            return {Verdict::Valid, {}, signature.trustedComment};
        }
    }
    if (!contentHolds) {
        return {Verdict::ContentChanged, QStringLiteral("it was changed after it was signed"), {}};
    }
    return {Verdict::TrustedCommentChanged,
            QStringLiteral("the trusted comment of its signature was changed after signing"),
            {}};
}

TrustedCommentFields readTrustedComment(QByteArrayView comment)
{
    constexpr QByteArrayView TimestampKey = "timestamp:";
    constexpr QByteArrayView FileKey = "file:";
    TrustedCommentFields fields;
    bool timestampSeen = false;
    bool fileSeen = false;
    // The first field of each kind counts, readable or not: only the holder of
    // the secret key writes here, and a second one would only blur the first.
    for (qsizetype next = 0; next >= 0;) {
        const QByteArrayView field = nextTabField(comment, next);
        if (field.startsWith(TimestampKey) && !timestampSeen) {
            timestampSeen = true;
            fields.timestamp =
                parseByteCount(QString::fromLatin1(field.sliced(TimestampKey.size())));
        } else if (field.startsWith(FileKey) && !fileSeen) {
            fileSeen = true;
            if (field.size() > FileKey.size()) {
                fields.file = QString::fromUtf8(field.sliced(FileKey.size()));
            }
        }
    }
    return fields;
}

} // namespace Minisign
