// The words of one command: positional words and "--name value" options.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vardlok/command_registry.h"

namespace vardlok {

struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // options that take a value
  std::set<std::string> flags;                // options that stand alone

  std::optional<std::string> value(const std::string& name) const;
  bool has(const std::string& flag) const { return flags.count(flag) != 0; }
};

// Splits `args`; nothing when an option is not one of `withValue` or
// `flags`, is given twice, or lacks its value.
std::optional<Options> parseOptions(const Args& args, const std::set<std::string>& withValue,
                                    const std::set<std::string>& flags = {});

}  // namespace vardlok
