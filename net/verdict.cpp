#include "verdict.h"

#include "failure_texts.h"
#include "retry_rules.h"
#include "runtime_error.h"

namespace NetRules {

namespace {

using Action = Verdict::Action;

Verdict failure(Action action, int errorNumber, const QString &text, bool countsAttempts = true)
{
    Verdict verdict;
    verdict.action = action;
    verdict.errorNumber = errorNumber;
    verdict.text = text;
    verdict.countsAttempts = countsAttempts;
    return verdict;
}

// An answer whose body is handed out.
Verdict body(Action action, qint64 bodyStart = 0, qint64 expected = -1, qint64 total = -1)
{
    Verdict verdict;
    verdict.action = action;
    verdict.bodyStart = bodyStart;
    verdict.expected = expected;
    verdict.total = total;
    return verdict;
}

// A failure that may pass is retried; any other ends with this server.
Verdict retryOrNext(bool mayPass, int errorNumber, const QString &text)
{
    return failure(mayPass ? Action::Retry : Action::NextServer, errorNumber, text);
}

// The answer's headers, when no body of this attempt was taken yet.
Verdict judgeAnswer(const Seen &seen, const Asked &asked, const ResumeState &file,
                    const QString &address)
{
    const Answer &answer = seen.answer;
    const int status = answer.status;
    const bool atHeaders = seen.moment == Seen::Moment::Headers;
    // A redirect still being followed, or a proxy's demand for credentials,
    // which the end of the reply puts in its words.
    if (atHeaders && (status / 100 == 3 || status == 407)) {
        return {};
    }
    if (asked.head) {
        // Any answer to a HEAD has its headers, which is all it asks for.
        if (atHeaders) {
            return {};
        }
        if (!mayPass(QNetworkReply::NoError, status)) {
            return body(Action::HandOut);
        }
        Verdict verdict = failure(Action::Retry, ErrorNumber::TransferFailed,
                                  FailureTexts::answeredHttp(address, status, answer.reason));
        verdict.whenNoRetryLeft = Action::HandOut;
        return verdict;
    }
    // A piece asked for: of a retry, or of a request that starts past byte 0.
    if (seen.answeredBefore || file.resumeFrom > 0) {
        const RetriedAnswer judged = judgeRetriedAnswer(file, answer, address);
        switch (judged.kind) {
        case RetriedAnswer::Kind::CarryOn:
            return body(Action::CarryOn, judged.bodyStart, judged.expected, judged.total);
        case RetriedAnswer::Kind::StartAgain:
            return body(Action::StartAgain, 0, judged.expected, judged.total);
        case RetriedAnswer::Kind::Refuse:
            return failure(Action::NextServer, ErrorNumber::TransferFailed, judged.text, false);
        case RetriedAnswer::Kind::Failed:
            break;
        }
        return retryOrNext(mayPass(QNetworkReply::NoError, status), ErrorNumber::TransferFailed,
                           judged.text);
    }
    if (status < 200 || status > 299) {
        return retryOrNext(mayPass(QNetworkReply::NoError, status), ErrorNumber::TransferFailed,
                           FailureTexts::answeredHttp(address, status, answer.reason));
    }
    const qint64 length = answer.contentLength.value_or(-1);
    if (asked.maxBytes >= 0 && length > asked.maxBytes) {
        return failure(Action::NextServer, ErrorNumber::ManifestRefused,
                       FailureTexts::answerTooLarge(address, asked.maxBytes));
    }
    return body(Action::HandOut, 0, length, length);
}

} // namespace

Verdict judge(const Seen &seen, const Asked &asked, const ResumeState &file, const QString &address)
{
    Verdict verdict = [&]() -> Verdict {
        // The client's own stops first: they explain the error the reply ended with.
        if (seen.stopped == Stop::TooLarge) {
            return failure(Action::NextServer, ErrorNumber::ManifestRefused,
                           FailureTexts::answerTooLarge(address, asked.maxBytes));
        }
        if (seen.bodyUnderWay) {
            if (seen.moment == Seen::Moment::Headers) {
                return {};
            }
            // Whatever broke it, the next attempt may bring the rest.
            const bool failed = seen.error != QNetworkReply::NoError || seen.stopped != Stop::None;
            if (!bodyBrokeOff(failed, seen.expected, seen.handedOut, file)) {
                return body(Action::Done);
            }
            QString text;
            if (seen.stopped == Stop::TooSlow) {
                text = FailureTexts::slowerThan(address, asked.minBytesPerSecond, asked.rateWindow);
            } else if (seen.stopped == Stop::Idle) {
                text = FailureTexts::noDataFor(address, asked.timeout);
            } else if (failed) {
                text = asked.canCarryOn ? FailureTexts::transferBrokeOff(address, seen.errorText)
                                        : FailureTexts::answerBrokeOff(address, seen.errorText);
            } else {
                text = FailureTexts::transferBrokeOffAfter(address, file.position, file.total);
            }
            return failure(Action::Retry,
                           seen.stopped != Stop::None ? ErrorNumber::RequestTimedOut
                                                      : ErrorNumber::TransferFailed,
                           text);
        }
        // Refused for its security: never asked again, whatever status it carries
        // (a refused redirect carries its 3xx).
        if (!seen.refusal.isEmpty()) {
            return failure(Action::NextServer, ErrorNumber::TransferFailed, seen.refusal, false);
        }
        // Before the status: a proxy that wants credentials answers 407 itself.
        if (!seen.proxyFailure.isEmpty()) {
            return retryOrNext(mayPass(seen.error, 0), ErrorNumber::TransferFailed,
                               seen.proxyFailure);
        }
        if (seen.stopped == Stop::TooSlow) {
            return failure(
                Action::Retry, ErrorNumber::RequestTimedOut,
                FailureTexts::slowerThan(address, asked.minBytesPerSecond, asked.rateWindow));
        }
        if (seen.stopped == Stop::Idle) {
            return failure(Action::Retry, ErrorNumber::RequestTimedOut,
                           FailureTexts::noAnswerWithin(address, asked.timeout));
        }
        const int status = seen.answer.status;
        if (status == 0 && seen.moment == Seen::Moment::Headers) {
            return {};
        }
        // An answer that ended in an error of its own before its body was taken
        // (too many redirects, say) tells no more than no answer does.
        if (status == 0 || (seen.error != QNetworkReply::NoError && status < 400)) {
            return retryOrNext(mayPass(seen.error, 0), ErrorNumber::TransferFailed,
                               FailureTexts::noAnswer(address, seen.errorText));
        }
        return judgeAnswer(seen, asked, file, address);
    }();
    if (verdict.action == Action::Retry) {
        // Until a server answers, the piece asked for first is asked for again;
        // a body under way carries on where it stopped, when it can.
        verdict.from = asked.head                                   ? 0
                       : !seen.answeredBefore && !seen.bodyUnderWay ? file.firstByte
                       : asked.canCarryOn                           ? file.nextStart()
                                                                    : 0;
    }
    return verdict;
}

std::optional<Verdict> overrun(qint64 expected, qint64 handedOut, qint64 chunkBytes,
                               qint64 bodyStart, const QString &address)
{
    if (expected < 0 || handedOut + chunkBytes <= expected) {
        return std::nullopt;
    }
    return failure(Action::NextServer, ErrorNumber::TransferFailed,
                   FailureTexts::sentMoreThanAnnounced(address, expected, bodyStart), false);
}

void takeAnswer(ResumeState &file, const Verdict &verdict, const Answer &answer, bool firstAnswer)
{
    switch (verdict.action) {
    case Action::CarryOn:
        file.total = verdict.total;
        if (firstAnswer) {
            // From here on this server's own validator vouches for its pieces.
            file.acceptsRanges = true;
            file.validator = chooseValidator(answer.etag, answer.lastModified);
        }
        return;
    case Action::StartAgain:
        if (firstAnswer) {
            // Nothing came before: progress counts from the first byte.
            file.resumeFrom = 0;
            file.furthest = 0;
        }
        file.takeWholeFile(answer);
        return;
    case Action::HandOut:
        file.takeWholeFile(answer);
        return;
    default:
        return;
    }
}

} // namespace NetRules
