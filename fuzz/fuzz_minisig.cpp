// Feeds arbitrary bytes to the minisign signature reader and verifier: neither
// may crash or read out of bounds, a parsed signature must have the sizes the
// verifier relies on, and nothing may pass for a key whose secret nobody has.
#include "minisign.h"

#include <cstdint>
#include <cstdlib>

using namespace Minisign;

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// The key ID of the key that signed the seed corpus, with a made-up Ed25519 key,
// so that mutated seeds reach the signature checks and never pass them.
const QList<PublicKey> &madeUpKeys()
{
    static const QList<PublicKey> keys{
        {QByteArray::fromHex("4166c5f3429df46a"), QByteArray(32, 'k')}};
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, static_cast<qsizetype>(size));
    const ParsedSignature parsed = parseSignatureFile(bytes);
    check(parsed.signature.has_value() == parsed.error.isEmpty());
    if (parsed.signature) {
        const SignatureFile &signature = *parsed.signature;
        check(signature.algorithm == Algorithm::Legacy ||
              signature.algorithm == Algorithm::Prehashed);
        check(signature.keyId.size() == 8);
        check(signature.signature.size() == 64);
        check(signature.globalSignature.size() == 64);
        check(!signature.trustedComment.contains('\n'));
        check(!signature.trustedComment.contains('\0'));
    }

    const QByteArray content = "W2003\torbistane-2.1.sh\tOrbistane 2.1\n";
    const Verification untrusted = verify(content, bytes, {});
    check(untrusted.verdict == (parsed.signature ? Verdict::UnknownKey : Verdict::Malformed));
    check(!untrusted.description.isEmpty());

    const Verification madeUp = verify(content, bytes, madeUpKeys());
    if (!parsed.signature) {
        check(madeUp.verdict == Verdict::Malformed);
    } else if (parsed.signature->keyId == madeUpKeys().first().keyId) {
        check(madeUp.verdict == Verdict::ContentChanged);
    } else {
        check(madeUp.verdict == Verdict::UnknownKey);
    }
    check(!madeUp.description.isEmpty() && madeUp.trustedComment.isEmpty());
    return 0;
}
