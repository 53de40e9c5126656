#pragma once
// Command-line arguments the GNU way: options before, between and after the operands, "--"
// ends the options, "--name=value" or "--name value", a short form "-n", "-o value" or
// "-ovalue", and anything else that begins with "-" is an unknown option.

#include "common/u_SysUtils.h"

#include <string>
#include <utility>
#include <vector>

// A mistake in the arguments: one line, then a pointer to --help, exit status 2.
class EUsageError : public Exception {
  using Exception::Exception;
};

struct TOptionRule {
  const char* Name; // "--set"
  bool TakesValue;
  const char* ShortName = nullptr; // "-s"; parsed as Name
  // Takes a value only as "--name=value"; "--name" alone has the value "" (never the next
  // argument), as "cp --backup[=CONTROL]".
  bool OptionalValue = false;
};

struct TParsedArguments {
  // Options in the order given, by their long names, with their values ("" for a flag).
  std::vector<std::pair<std::string, std::string>> Options;
  std::vector<std::string> Operands;

  bool Has(const std::string& name) const;
};

// Raises EUsageError for an unknown option or an option without its value.
TParsedArguments ParseArguments(const std::vector<std::string>& arguments,
                                const std::vector<TOptionRule>& rules);

// Whether an option (help, version) appears anywhere before "--".
bool HasOptionBeforeEnd(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& names);
