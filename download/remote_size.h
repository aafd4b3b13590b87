#pragma once

#include <QString>
#include <QtGlobal>

// The size a "Content-length" value gives: a decimal number, optionally signed
// and with a fraction, rounded half to even (12.5 gives 12, 13.5 gives 14).
// -1 when the value is not such a number, is 0 or below, or does not fit in
// 32 bits. Surrounding blanks are allowed; exponents and separators are not.
qint32 parseRemoteSize(const QString &text);
