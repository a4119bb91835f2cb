// queuemessage: the queue filter's lines for the spooler, each written with one call
// sequence so that lines of the wrapper and of its children do not mix inside a line.
#include "queuemessage.h"

#include <cstdio>
#include <unistd.h>

#include "tempfile.h"

void Say(const std::string& text)
{
    const std::string line = text + "\n";
    WriteAll(STDERR_FILENO, line.data(), line.size());   // nowhere to report a failure
}

int Refuse(const std::string& text)
{
    Say("ERROR: " + text);
    return kStatusRefused;
}

int Fail(const std::string& text)
{
    Say("ERROR: " + text);
    return kStatusFailed;
}

std::string Printable(std::string_view text, size_t nMax)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < nMax; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char szHex[8];
            snprintf(szHex, sizeof szHex, "\\x%02X", c);
            out += szHex;
        }
    }
    if (text.size() > nMax)
        out += "...";
    return out;
}
