#pragma once
// The question for the password of a certificate file, asked when the file turns out to be
// protected by one.

#include "signing/u_SigningSecret.h"

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// Answers the question in place of the box (tests): false when cancelled.
using TPasswordAnswer = std::function<bool(const QString& file, QString& password)>;

// The password typed for file, none when the user cancels; the typed text is overwritten
// once taken. answer, when given, is asked instead of the box.
std::optional<TSecret> AskCertificatePassword(QWidget* parent, const QString& file,
                                              const TPasswordAnswer& answer);
