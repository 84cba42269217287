#include "vardlok/options.h"

namespace vardlok {

std::optional<std::string> Options::value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

std::optional<Options> parseOptions(const Args& args, const std::set<std::string>& withValue,
                                    const std::set<std::string>& flags) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word.rfind("--", 0) != 0) {
      options.positional.push_back(word);
    } else if (flags.count(word) != 0) {
      if (!options.flags.insert(word).second) return std::nullopt;
    } else if (withValue.count(word) != 0 && i + 1 < args.size()) {
      if (!options.values.emplace(word, args[++i]).second) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace vardlok
