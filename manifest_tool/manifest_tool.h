#pragma once

#include <QStringList>

class QTextStream;

// The vendor's side of the catalogue: checks a release folder the way the
// program will read it, and adds releases to its manifest with their pins.
namespace ManifestTool {

// Exit statuses, as the help text documents them.
namespace Exit {
inline constexpr int Ok = 0;
inline constexpr int Problems = 1; // the folder does not check out, or add failed
inline constexpr int Usage = 2;    // the command line is wrong
}

// Runs the command line arguments (without the program name): what is found
// goes to out, errors and warnings to err. Returns the exit status.
int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace ManifestTool
