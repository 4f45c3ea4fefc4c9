/*
 * Checks that say what they expected and what they saw, grouped by scenario.
 */
#pragma once

#include <string>

void BeginScenario(const std::string& title);
bool Check(bool passed, const std::string& what, const std::string& expected,
           const std::string& seen);
bool CheckEqual(const std::string& what, unsigned long expected, unsigned long seen);
bool CheckEqualHex(const std::string& what, unsigned long expected, unsigned long seen);
bool CheckEqualText(const std::string& what, const std::string& expected, const std::string& seen);
/* A call that reports failure through GetLastError. */
bool CheckCall(bool succeeded, const std::string& what);
void Note(const std::string& text);
int FailureCount();
int CheckCount();

std::string Hex(unsigned long value);
std::string HexBytes(const unsigned char* data, unsigned length);
std::string LastErrorText();
