#pragma once

#include "download_job.h"
#include "transfer_control.h"

#include <QString>
#include <QtGlobal>

#include <optional>

// The status line under the progress bar, in the current language (LanguageId).

// Decimal units, 1 kB being 1000 B: whole bytes below 1000, then kB, MB or GB
// with one decimal below 100 and none from 100 up ("11.8 MB", "118 MB"). The
// decimal separator is the language's; there are no group separators.
QString formatBytes(qint64 bytes);

// "59 s", "1 min 20 s", then hours and minutes ("2 h 5 min", the seconds
// dropped). Below 0 reads as 0.
QString formatDuration(qint64 seconds);

// With a known total (0 or more): "11.8 MB/s · 1 min 20 s left", without the
// parts not known yet, empty when neither is. With total -1: "5.0 MB received
// · 11.8 MB/s". From 10 min, the time left is rounded up to 10 s, and from an
// hour to the minute: at that length a 1 % change in the rate moves it by more
// than that, and a figure that flickers reads as noise.
QString transferStatusLine(qint64 received, qint64 total, std::optional<double> bytesPerSecond,
                           std::optional<qint64> secondsLeft);

// The line for a download as it stands: "Download complete: 118 MB" once it is
// whole ("... from mirror.example.org" when the manifest's server did not
// serve it), else transferStatusLine's, after the serving server when it is not the
// first ("mirror.example.org (2 of 3) · 8.8 MB/s · 4 s left").
QString downloadStatusLine(const DownloadProgress &progress);

// A server as the status line names it: its host, and its port when not the scheme's own.
QString serverName(const QString &address);

// "Retry 2 of 5 in 30 s".
QString retryStatusLine(int attempt, int attempts, qint64 secondsToNext);

// What the line under the bar says now: the retry awaited, else the download's
// line; nothing while the download prepares or once it failed, so that the
// line stays as it was.
std::optional<QString> statusLineNow(const DownloadProgress &progress,
                                     const std::optional<RetryWait> &retry);

// The share done for the taskbar entry, 0 to 1; none while the size is not known.
std::optional<double> taskbarProgress(const DownloadProgress &progress);
