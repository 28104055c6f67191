// Paths as a person reads them on screen: decoded from the local encoding, and allowed to wrap
// only where a folder name ends.
#pragma once

#include <QString>
#include <string>

namespace dunmarrow {

// Text the engine or the commands produced (paths are bytes in the local encoding).
QString localText(const std::string& bytes);

// The text with its absolute paths (from a "/" at the start or after a space to the end, "; ",
// ": ", " — " or " → ") made to wrap only after a "/": a zero-width space after each "/", no
// break at their spaces and hyphens. The rest of the text wraps as usual.
QString breakableAtSeparators(const QString& text);

// The text without the hints added for wrapping, for the clipboard.
QString withoutBreakHints(QString text);

}  // namespace dunmarrow
