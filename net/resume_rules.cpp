#include "resume_rules.h"

#include "byte_count.h"
#include "failure_texts.h"

#include <algorithm>

namespace NetRules {

std::optional<ByteRange> parseContentRange(const QByteArray &value)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes ")) {
        return std::nullopt;
    }
    const QByteArray range = text.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash < 0 || slash < dash) {
        return std::nullopt;
    }
    const auto count = [](const QByteArray &digits) {
        return parseByteCount(QString::fromLatin1(digits));
    };
    const std::optional<qint64> first = count(range.left(dash));
    const std::optional<qint64> last = count(range.mid(dash + 1, slash - dash - 1));
    const QByteArray totalText = range.mid(slash + 1);
    const std::optional<qint64> total = count(totalText);
    if (!first || !last || *last < *first || (!total && totalText != "*") ||
        (total && *last >= *total)) {
        return std::nullopt;
    }
    return ByteRange{*first, *last, total.value_or(-1)};
}

QByteArray chooseValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray strong = etag.trimmed();
    return !strong.isEmpty() && !strong.startsWith("W/") ? strong : lastModified.trimmed();
}

bool isHeaderValue(QByteArrayView value)
{
    constexpr qsizetype MaxBytes = 1024;
    return value.size() <= MaxBytes &&
           std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= ' ' && c <= '~'; });
}

qint64 ResumeState::takeWholeFile(const Answer &answer)
{
    acceptsRanges = answer.acceptRanges.trimmed().toLower() == "bytes";
    validator = chooseValidator(answer.etag, answer.lastModified);
    total = answer.contentLength.value_or(-1);
    position = 0;
    return total;
}

bool ResumeState::advance(qint64 bytes)
{
    position += bytes;
    if (position <= furthest) {
        return false;
    }
    furthest = position;
    return true;
}

ResumeState ResumeState::from(qint64 first, qint64 last)
{
    ResumeState state;
    state.position = first;
    state.furthest = first;
    state.resumeFrom = first;
    state.firstByte = first;
    state.last = last;
    return state;
}

qint64 ResumeState::end() const
{
    if (last >= 0) {
        return total >= 0 ? std::min(last + 1, total) : last + 1;
    }
    return total;
}

qint64 ResumeState::nextStart() const
{
    return acceptsRanges && !validator.isEmpty() ? position : 0;
}

RetriedAnswer judgeRetriedAnswer(const ResumeState &state, const Answer &answer,
                                 const QString &address)
{
    RetriedAnswer judged;
    if (answer.status == 206) {
        const QString field = QString::fromLatin1(answer.contentRange);
        const std::optional<ByteRange> range = parseContentRange(answer.contentRange);
        // Not a byte past the piece asked for: they would be another's.
        if (!range || range->first != state.resumeFrom ||
            (state.total >= 0 && range->total != state.total) ||
            (state.last >= 0 && range->last > state.last)) {
            judged.kind = RetriedAnswer::Kind::Refuse;
            judged.text = FailureTexts::wrongRange(address, field, state.resumeFrom, state.total);
            return judged;
        }
        judged.bodyStart = range->first;
        judged.expected = range->last - range->first + 1;
        if (answer.contentLength && *answer.contentLength != judged.expected) {
            judged.kind = RetriedAnswer::Kind::Refuse;
            judged.text = FailureTexts::wrongRangeLength(address, *answer.contentLength, field);
            return judged;
        }
        judged.kind = RetriedAnswer::Kind::CarryOn;
        // The first answer may not have said; the file's end is known from here on.
        judged.total = state.total >= 0 ? state.total : range->total;
        return judged;
    }
    if (answer.status == 200) {
        // The file changed since, or the server does not serve pieces.
        judged.kind = RetriedAnswer::Kind::StartAgain;
        judged.expected = answer.contentLength.value_or(-1);
        judged.total = judged.expected;
        return judged;
    }
    judged.text = FailureTexts::answeredHttpForRange(address, answer.status, answer.reason,
                                                     state.resumeFrom);
    return judged;
}

bool bodyBrokeOff(bool failed, qint64 expected, qint64 handedOut, const ResumeState &state)
{
    const qint64 end = state.end();
    return failed || (expected >= 0 && handedOut < expected) || (end >= 0 && state.position < end);
}

} // namespace NetRules
