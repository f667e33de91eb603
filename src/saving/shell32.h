#pragma once

#include <QString>

#include <optional>

namespace velmora::Shell32 {

// Added to a start error's number to form RunAndWait's result for a program
// that could not be started.
inline constexpr int kObjectErrorBase = -2147221504;
// Error number for a program that cannot be found or started.
inline constexpr int kFileNotFound = 53;

// The window style actually used: 6 (minimised, not activated) unless a style
// from 0 to 6 is given.
int effectiveWindowStyle(std::optional<int> style);

// Starts commandLine (the first quoted token is the program) and waits for it
// to end, letting the window's events run every 100 ms. Returns the program's
// exit code, or kFileNotFound + kObjectErrorBase at once when it cannot start.
int RunAndWait(const QString& commandLine, std::optional<int> windowStyle = std::nullopt);

}  // namespace velmora::Shell32
