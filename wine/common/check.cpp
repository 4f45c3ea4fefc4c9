#include "check.h"

#include <windows.h>

#include <cstdio>
#include <sstream>

namespace
{

int checks;
int failures;
int knownFaults;
std::string scenario;

} // namespace

void BeginScenario(const std::string& title)
{
    scenario = title;
    std::printf("\n== %s\n", title.c_str());
    std::fflush(stdout);
}

bool Check(bool passed, const std::string& what, const std::string& expected,
           const std::string& seen)
{
    ++checks;
    if (passed)
    {
        std::printf("  ok   %s: %s\n", what.c_str(), seen.c_str());
    }
    else
    {
        ++failures;
        std::printf("  FAIL %s: expected %s, saw %s  [%s]\n", what.c_str(), expected.c_str(),
                    seen.c_str(), scenario.c_str());
    }
    std::fflush(stdout);
    return passed;
}

bool CheckEqual(const std::string& what, long long expected, long long seen)
{
    return Check(expected == seen, what, std::to_string(expected), std::to_string(seen));
}

bool CheckEqualHex(const std::string& what, unsigned long expected, unsigned long seen)
{
    return Check(expected == seen, what, Hex(expected), Hex(seen));
}

bool CheckEqualText(const std::string& what, const std::string& expected, const std::string& seen)
{
    return Check(expected == seen, what, Quote(expected), Quote(seen));
}

bool CheckCall(bool succeeded, const std::string& what)
{
    std::string seen = succeeded ? "success" : LastErrorText();
    return Check(succeeded, what, "success", seen);
}

bool CheckKnownFault(bool passed, const std::string& what, const std::string& expected,
                     const std::string& seen, const std::string& fault)
{
    if (passed)
        return Check(true, what, expected, seen);
    ++checks;
    ++knownFaults;
    std::printf("  KNOWN %s: expected %s, saw %s  (%s)\n", what.c_str(), expected.c_str(),
                seen.c_str(), fault.c_str());
    std::fflush(stdout);
    return false;
}

void Note(const std::string& text)
{
    std::printf("  ..   %s\n", text.c_str());
    std::fflush(stdout);
}

int FailureCount()
{
    return failures;
}

int Summary()
{
    std::printf("\n%d checks, %d failed, %d known faults\n", checks, failures, knownFaults);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

std::string Quote(const std::string& text)
{
    std::string quoted = "\"";
    for (unsigned char c : text)
    {
        char escaped[8];
        if (c >= 0x20 && c < 0x7F)
        {
            quoted += static_cast<char>(c);
        }
        else
        {
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            quoted += escaped;
        }
    }
    return quoted + "\"";
}

std::string Hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%02lX", value);
    return text;
}

std::string HexBytes(const unsigned char* data, unsigned length)
{
    std::ostringstream out;
    char byte[4];
    for (unsigned i = 0; i < length; ++i)
    {
        std::snprintf(byte, sizeof(byte), "%02X", data[i]);
        out << (i ? " " : "") << byte;
    }
    return out.str();
}

std::string LastErrorText()
{
    return "error " + std::to_string(GetLastError());
}
