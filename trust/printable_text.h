#pragma once

#include <QString>
#include <QStringView>

// Text that came from a manifest or a signature, made safe to print: C0 and C1
// controls and DEL become \xNN, Unicode format characters (bidirectional
// overrides, zero-width ones, byte order marks) and unpaired surrogates become
// \u{NNNN}. None of it can then move a terminal's cursor, recolour it or
// reorder what it shows around it.
QString printableText(QStringView text);
