#include "cli/u_Arguments.h"

#include <algorithm>

namespace {
const char* const EndOfOptions = "--";

// "-" alone is an operand (standard input where a file is expected).
bool LooksLikeOption(const std::string& argument) {
  return argument.size() > 1 && argument[0] == '-';
}

bool IsLongOption(const std::string& argument) {
  return argument.size() > 2 && argument[0] == '-' && argument[1] == '-';
}

// "-o value" or "-ovalue" (a value that begins with "=" keeps it); flags are not bundled.
void AddShortOption(TParsedArguments& parsed, const std::vector<std::string>& arguments, size_t& i,
                    const std::vector<TOptionRule>& rules) {
  const std::string& argument = arguments[i];
  const std::string name = argument.substr(0, 2);
  const auto known = std::find_if(rules.begin(), rules.end(), [&](const TOptionRule& s) {
    return s.ShortName && name == s.ShortName;
  });
  if (known == rules.end() || (!known->TakesValue && argument.size() > 2))
    throw EUsageError("unknown option '" + argument + "'");
  if (!known->TakesValue)
    parsed.Options.emplace_back(known->Name, std::string());
  else if (argument.size() > 2)
    parsed.Options.emplace_back(known->Name, argument.substr(2));
  else if (i + 1 < arguments.size())
    parsed.Options.emplace_back(known->Name, arguments[++i]);
  else
    throw EUsageError("option '" + name + "' needs a value");
}
} // namespace

bool TParsedArguments::Has(const std::string& name) const {
  return std::any_of(Options.begin(), Options.end(),
                     [&](const auto& option) { return option.first == name; });
}

TParsedArguments ParseArguments(const std::vector<std::string>& arguments,
                                const std::vector<TOptionRule>& rules) {
  TParsedArguments parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == EndOfOptions) {
      parsed.Operands.insert(parsed.Operands.end(), arguments.begin() + std::ptrdiff_t(i) + 1,
                             arguments.end());
      break;
    }
    if (!LooksLikeOption(argument)) {
      parsed.Operands.push_back(argument);
      continue;
    }
    if (!IsLongOption(argument)) {
      AddShortOption(parsed, arguments, i, rules);
      continue;
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const auto known = std::find_if(rules.begin(), rules.end(),
                                    [&](const TOptionRule& s) { return name == s.Name; });
    if (known == rules.end())
      throw EUsageError("unknown option '" + name + "'");
    if (known->OptionalValue) {
      parsed.Options.emplace_back(name, equals == std::string::npos ? std::string()
                                                                    : argument.substr(equals + 1));
    } else if (!known->TakesValue) {
      if (equals != std::string::npos)
        throw EUsageError("option '" + name + "' takes no value");
      parsed.Options.emplace_back(name, std::string());
    } else if (equals != std::string::npos) {
      parsed.Options.emplace_back(name, argument.substr(equals + 1));
    } else if (i + 1 < arguments.size()) {
      parsed.Options.emplace_back(name, arguments[++i]);
    } else {
      throw EUsageError("option '" + name + "' needs a value");
    }
  }
  return parsed;
}

bool HasOptionBeforeEnd(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& names) {
  for (const std::string& argument : arguments) {
    if (argument == EndOfOptions)
      return false;
    if (std::find(names.begin(), names.end(), argument) != names.end())
      return true;
  }
  return false;
}
