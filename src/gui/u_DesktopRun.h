#pragma once
// Running a file the way the desktop does when its user opens it.

#include <QString>

#include <optional>

// The desktop entry (such as "wine.desktop") the desktop opens path with; empty when it has
// none; none when the desktop cannot tell.
std::optional<QString> DesktopApplicationFor(const QString& path);

// Whether the desktop names a program that runs path: one other than this one, which would
// open the file in a second window instead of running it.
bool CanRunOnDesktop(const QString& path);

// Hands path to the desktop to run. False when nothing started: the desktop has no program
// for it, or its program is this one, which would open the file in a second window instead
// of running it.
bool RunOnDesktop(const QString& path);
