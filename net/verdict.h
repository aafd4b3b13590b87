#pragma once

#include "resume_rules.h"

#include <QNetworkReply>
#include <QString>

#include <chrono>
#include <optional>

// What an attempt of a request comes to: the one table both HTTP clients, the
// transfer and the manifest fetch, ask after every answer and every end. They
// send, wait and read; this decides.
namespace NetRules {

// Why the client itself stopped an attempt.
enum class Stop {
    None,
    Idle,     // nothing came for the idle time-out
    TooSlow,  // less than the floor on the rate came over a window
    TooLarge, // the answer is larger than the request allows
};

// What a request asks for and under which limits.
struct Asked
{
    bool head = false;
    // A transfer carries a broken body on with a range; the manifest fetch
    // takes its answer whole or not at all, and starts again.
    bool canCarryOn = true;
    qint64 maxBytes = -1; // the largest body taken; -1: any
    std::chrono::milliseconds timeout{0};
    qint64 minBytesPerSecond = 0;
    std::chrono::milliseconds rateWindow{0};
};

// What one attempt saw, at its answer's headers or at its end.
struct Seen
{
    enum class Moment { Headers, Finished };
    Moment moment = Moment::Finished;
    Answer answer;                                              // status 0: none came
    QNetworkReply::NetworkError error = QNetworkReply::NoError; // at the end
    QString errorText;                                          // the system's words for it
    QString refusal;      // refused for its security, in FailureTexts' words; else empty
    QString proxyFailure; // the proxy is to blame, in FailureTexts' words; else empty
    Stop stopped = Stop::None;
    // An answer of this request was taken before: the headers now seen answer a
    // retry for a piece of a body already under way.
    bool answeredBefore = false;
    // This attempt's answer was taken: its body is being handed out.
    bool bodyUnderWay = false;
    qint64 expected = -1; // that body's announced length; -1: not said
    qint64 handedOut = 0; // of that body
};

struct Verdict
{
    enum class Action {
        Wait,       // nothing to decide yet: a redirect is being followed, or no headers
        HandOut,    // the answer's body is the file's from its first byte
        CarryOn,    // a 206 for the piece asked: its body goes on at bodyStart
        StartAgain, // the whole file again, from its first byte: what came is thrown away
        Done,       // the body is whole
        Retry,      // may pass: ask again from byte `from`, if the schedule allows
        NextServer, // this server does not serve it; another may (the caller decides)
    };
    Action action = Action::Wait;
    qint64 bodyStart = 0;
    qint64 expected = -1; // the body's length, -1 when not said
    qint64 total = -1;    // the file's length from now on, -1 when not known
    qint64 from = 0;      // for Retry
    int errorNumber = 0;  // for Retry and NextServer: a RuntimeError's number
    QString text;         // for Retry and NextServer: what failed, naming the address
    // For a failure: " (N attempts)" goes after text once attempts were retried.
    bool countsAttempts = true;
    // For Retry: what the attempt comes to when the retries are used up.
    Action whenNoRetryLeft = Action::NextServer;

    friend bool operator==(const Verdict &, const Verdict &) = default;
};

// The one table. file: where the GET stands across its attempts (the piece
// asked for is file.resumeFrom to file.last).
Verdict judge(const Seen &seen, const Asked &asked, const ResumeState &file,
              const QString &address);

// The verdict on a chunk that would take the body past the length it
// announced, or its range said (expected; -1: not said): not a byte of it
// belongs to the file. Nothing when it fits.
std::optional<Verdict> overrun(qint64 expected, qint64 handedOut, qint64 chunkBytes,
                               qint64 bodyStart, const QString &address);

// Takes an answer whose body is handed out (HandOut, CarryOn, StartAgain) into
// where the GET stands. firstAnswer: no answer of the request was taken before.
void takeAnswer(ResumeState &file, const Verdict &verdict, const Answer &answer, bool firstAnswer);

} // namespace NetRules
