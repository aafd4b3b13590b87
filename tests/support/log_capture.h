#pragma once

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

// Keeps the lines of the program's logging categories while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static QStringList lines(const char *category)
    {
        QStringList found;
        const QString prefix = QLatin1String(category) + QLatin1String(": ");
        for (const QString &line : std::as_const(s_lines)) {
            if (line.startsWith(prefix)) {
                found.append(line.mid(prefix.size()));
            }
        }
        return found;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (context.category && QByteArray(context.category).startsWith("orbistane.")) {
            s_lines.append(QLatin1String(context.category) + QLatin1String(": ") + message);
        }
    }

    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};
