#include "variables/u_VariablesBudget.h"

#include "variables/u_Variables.h"

#include <algorithm>

void CheckVariablesCost(std::string_view text, const std::string& path, uint64_t budgetLeft) {
  const uint64_t tags = uint64_t(std::count(text.begin(), text.end(), '<'));
  if (tags > budgetLeft / VariablesTagCost)
    throw EVariablesError(Format("The variables file \"%s\" takes more than %llu MB of memory",
                                 path.c_str(), static_cast<unsigned long long>(budgetLeft >> 20)));
}
