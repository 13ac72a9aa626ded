#pragma once
// The recogniser's rules as files an operator reads and writes: TOML, one [[rule]] table per form (see
// rules/rules.toml and docs/recognising.md). The hub ships its own file inside the program; an operator's
// file is tried before it, and a rule there with a shipped rule's name takes that rule's place.
#include <filesystem>
#include <string>
#include <vector>

#include "recognise/recogniser.h"

namespace hub::recognise {

struct Loaded {
  std::vector<Rule> rules;
  std::vector<std::string> errors;  // "FILE:LINE: reason", each; rules are of no use while there is one
};

// Reads rules from TOML text; `name` is the file's name in the errors.
Loaded readRules(std::string_view text, const std::string& name);
Loaded readRulesFile(const std::filesystem::path& file);

// The rules the hub ships.
const std::vector<Rule>& shippedRules();

// The operator's rules first, then the shipped ones that none of them replaces by name.
Rules combine(std::vector<Rule> own, const std::vector<Rule>& shipped);

// The rules a hub runs with: the shipped ones and, when `own` is not empty, that file's. Throws
// hub::Failure with the first error ("FILE:LINE: reason") when the file cannot be used.
Rules loadRules(const std::filesystem::path& own);

}  // namespace hub::recognise
