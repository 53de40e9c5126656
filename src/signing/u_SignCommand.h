#pragma once
// A signing service driven from a script: a command that reads what to sign on its standard
// input and writes the signature on its standard output, as cloud key services are used.

#include "signing/u_SigningSecret.h"

#include <string>
#include <string_view>

// A signature is a few hundred bytes (RSA-16384 is 2 KB); more is no signature.
inline constexpr size_t MaxCommandSignature = 16 * 1024;

// Runs command through /bin/sh with input on its standard input and returns its standard
// output. Raises ESigningError when it cannot be started, fails, is killed or writes more than
// MaxCommandSignature bytes. whileWaiting may raise to stop: the command is then ended.
std::string RunSignCommand(const std::string& command, std::string_view input,
                           const TWaitCheck& whileWaiting);
