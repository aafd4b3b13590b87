#pragma once

#include <QStringView>
#include <QtGlobal>

#include <optional>

// A byte count as the manifest and HTTP headers write it: decimal digits only,
// nothing around them, small enough for 64 bits.
std::optional<qint64> parseByteCount(QStringView text);
