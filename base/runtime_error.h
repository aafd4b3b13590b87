#pragma once

#include <QString>

#include <stdexcept>

// A failure of a platform operation. It travels up to the event handler that
// caused it; handlers that do not deal with it end in the error report.
class RuntimeError : public std::runtime_error
{
public:
    RuntimeError(int number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number),
          m_description(description)
    {
    }

    int number() const { return m_number; }
    QString description() const { return m_description; }

private:
    int m_number;
    QString m_description;
};

// Error numbers, so that the report reads the same for the same kind of failure.
namespace ErrorNumber {
inline constexpr int InvalidCall = 5;
// A failure no handler expected (a library that cannot start, memory run out).
inline constexpr int InternalError = 51;
inline constexpr int FileNotFound = 53;
inline constexpr int DeviceIo = 57;
inline constexpr int DiskFull = 61;
inline constexpr int PermissionDenied = 70;
inline constexpr int PathAccess = 75;
inline constexpr int InvalidPropertyValue = 380;
inline constexpr int RequestTimedOut = 35761;
inline constexpr int StillExecuting = 35764;
inline constexpr int TransferFailed = 35752;
inline constexpr int ManifestRefused = 35753;
inline constexpr int ManifestUntrusted = 35780;
inline constexpr int ReleaseMismatch = 35781;
}
