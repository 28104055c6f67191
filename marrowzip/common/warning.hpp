// Something an operation set aside without failing (a special file it did not archive, the data
// of a folder entry it ignored): the operation goes on, and its caller decides how to show it.
#pragma once

#include <functional>
#include <string>

namespace marrowzip {

struct Warning {
    std::string path;   // the item or archive concerned
    std::string entry;  // the entry, when there is one
    std::string message;

    // "path: entry: message", the shape of an error's text.
    std::string text() const {
        std::string line = path;
        if (!entry.empty()) line += ": " + entry;
        return line + ": " + message;
    }
};

// Called once for each warning, on the thread of the operation's caller.
using WarningHandler = std::function<void(const Warning&)>;

}  // namespace marrowzip
