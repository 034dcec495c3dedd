// Line ends as tarnpost writes them on every system: as a Windows text-mode
// stream does, each LF as CR LF.
#ifndef TARNPOST_TESTS_LINE_ENDS_H
#define TARNPOST_TESTS_LINE_ENDS_H

#include <string>

// `text` with each LF written as CR LF.
inline std::string crlf(const std::string& text) {
    std::string converted;
    for (char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

// The bytes the message file holds for `message`: the message and a line
// end, each LF written as CR LF.
inline std::string asWritten(const std::string& message) {
    return crlf(message + "\n");
}

#endif
