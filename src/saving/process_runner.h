#pragma once

#include <QString>
#include <QStringList>
#include <climits>

namespace velmora::process {

// Added to a start error's number to form runAndWait's result for a program
// that could not be started.
inline constexpr int kObjectErrorBase = -2147221504;
// Error number for a program that cannot be found or started.
inline constexpr int kFileNotFound = 53;
// runAndWait's result when the application was asked to quit during the wait;
// the program has been ended.
inline constexpr int kAbandoned = INT_MIN;

// Starts commandLine (the program, then its arguments, each passed as is) and
// waits for it to end while the application's events keep running. Returns the
// program's exit code (-1 if it crashed), kFileNotFound + kObjectErrorBase at
// once when it cannot start, or kAbandoned when the application quits first.
// errorOutput, if given, receives the last line the program wrote to standard
// error, or why it could not start.
// Console programs have no window here, so no window style is taken.
int runAndWait(const QStringList& commandLine, QString* errorOutput = nullptr);

}  // namespace velmora::process
