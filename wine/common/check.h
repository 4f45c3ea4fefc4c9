/*
 * Checks that say what they expected and what they saw, grouped by scenario: the Wine suites'
 * one check library.
 */
#pragma once

#include <string>

void BeginScenario(const std::string& title);
bool Check(bool passed, const std::string& what, const std::string& expected,
           const std::string& seen);
/* Signed: a window message's -1 (CB_ERR) shows as -1, a DWORD as itself. */
bool CheckEqual(const std::string& what, long long expected, long long seen);
bool CheckEqualHex(const std::string& what, unsigned long expected, unsigned long seen);
bool CheckEqualText(const std::string& what, const std::string& expected, const std::string& seen);
/* A call that reports failure through GetLastError. */
bool CheckCall(bool succeeded, const std::string& what);
/* A check of sound behaviour that a known, reported fault outside this suite
   still breaks: a failure is listed as KNOWN, not counted. */
bool CheckKnownFault(bool passed, const std::string& what, const std::string& expected,
                     const std::string& seen, const std::string& fault);
void Note(const std::string& text);
int FailureCount();
/* Prints the closing count, the last line of a run; 0 when nothing failed. */
int Summary();

/* In double quotes, bytes outside printable ASCII as \xNN. */
std::string Quote(const std::string& text);
std::string Hex(unsigned long value);
std::string HexBytes(const unsigned char* data, unsigned length);
std::string LastErrorText();
