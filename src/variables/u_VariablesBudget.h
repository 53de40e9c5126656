#pragma once
// What reading a variables file costs beyond its bytes, which the content holding the file was
// charged for already: checked against what is left of the open's budget before the file is
// parsed, so that a small file of many tiny entries is refused before its store is built.

#include <cstdint>
#include <string>
#include <string_view>

// Each tag of the file costs about this much while it is read and branded: its element and
// attribute, the entry in the store, the grid row and the entry written back. 1.5 million
// variables of one letter (two tags each) were measured at 1.3 GB shown and 2.9 GB branded.
inline constexpr uint64_t VariablesTagCost = 1024;

// Raises EVariablesError "The variables file "%s" takes more than %llu MB of memory" (path as
// given, budgetLeft in MB) when the tags of text cost more than budgetLeft bytes. Every "<"
// counts as a tag: an upper bound, found without parsing.
void CheckVariablesCost(std::string_view text, const std::string& path, uint64_t budgetLeft);
