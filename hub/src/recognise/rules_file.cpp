#include "recognise/rules_file.h"

#include <toml++/toml.h>

#include <fstream>
#include <set>
#include <sstream>

#include "common/failure.h"

namespace hub::recognise {

extern const std::string_view kShippedRulesText;  // shipped_rules.cpp, made from rules/rules.toml

namespace {

constexpr std::string_view kShippedName = "(shipped rules)";

struct Reader {
  const std::string& file;
  std::vector<std::string>& errors;

  std::string at(const toml::node& node) const { return file + ":" + std::to_string(node.source().begin.line); }
  void error(const toml::node& node, const std::string& what) { errors.push_back(at(node) + ": " + what); }

  std::optional<std::string> text(const toml::node& node, std::string_view key) {
    const auto v = node.value<std::string>();
    if (!v || v->empty()) {
      error(node, std::string(key) + " must be a text that is not empty");
      return std::nullopt;
    }
    return v;
  }
  std::vector<std::string> texts(const toml::node& node, std::string_view key) {
    std::vector<std::string> out;
    const toml::array* list = node.as_array();
    if (!list) {
      error(node, std::string(key) + " must be a list of texts, such as [\"微信支付\"]");
      return out;
    }
    for (const toml::node& item : *list)
      if (auto v = text(item, key)) out.push_back(*v);
    return out;
  }

  std::optional<Rule> rule(const toml::table& table) {
    const size_t errorsBefore = errors.size();
    Rule r;
    r.from = at(table);
    bool enabled = true, hasLookIn = false, hasChannel = false;
    for (const auto& [key, node] : table) {
      const std::string_view k = key.str();
      if (k == "name") r.name = text(node, k).value_or("");
      else if (k == "package") r.package = text(node, k).value_or("");
      else if (k == "senders") r.senders = texts(node, k);
      else if (k == "before") r.before = texts(node, k);
      else if (k == "words") r.words = texts(node, k);
      else if (k == "not_payment") r.notPayment = text(node, k).value_or("");
      else if (k == "channel") {
        hasChannel = true;
        const auto name = text(node, k);
        if (!name) continue;
        r.channel = channelNamed(*name);
        if (!r.channel) error(node, "channel must be \"wechat\" or \"alipay\"");
      } else if (k == "look_in") {
        const std::string v = text(node, k).value_or("");
        hasLookIn = true;
        if (v == "title") r.lookIn = LookIn::title;
        else if (v == "text") r.lookIn = LookIn::text;
        else if (v == "both") r.lookIn = LookIn::both;
        else error(node, "look_in must be \"title\", \"text\" or \"both\"");
      } else if (k == "enabled") {
        const auto v = node.value<bool>();
        if (!v) error(node, "enabled must be true or false");
        enabled = v.value_or(true);
      } else {
        error(node, "unknown key " + std::string(k) + " in a rule");
      }
    }
    if (r.name.empty()) error(table, "a rule needs a name");
    if (!enabled) {
      if (errors.size() != errorsBefore) return std::nullopt;
      r.package.clear();  // a rule switched off: it replaces its namesake and decides nothing
      return r;
    }
    if (r.package.empty()) error(table, "rule " + r.name + " needs a package");
    if (!hasLookIn) error(table, "rule " + r.name + " needs look_in");
    const bool payment = hasChannel || !r.before.empty();
    const bool other = !r.notPayment.empty() || !r.words.empty();
    if (payment == other)
      error(table, "rule " + r.name + " needs either channel and before (a payment) or not_payment and words");
    else if (payment && (r.before.empty() || !hasChannel))
      error(table, "rule " + r.name + " is a payment rule: it needs channel and before");
    else if (other && (r.words.empty() || r.notPayment.empty()))
      error(table, "rule " + r.name + " is a non-payment rule: it needs not_payment and words");
    if (errors.size() != errorsBefore) return std::nullopt;
    return r;
  }
};

}  // namespace

Loaded readRules(std::string_view text, const std::string& name) {
  Loaded loaded;
  toml::table table;
  try {
    table = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    loaded.errors.push_back(name + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    return loaded;
  }
  Reader reader{name, loaded.errors};
  std::set<std::string> names;
  for (const auto& [key, node] : table) {
    if (key.str() != "rule") {
      reader.error(node, "unknown key " + std::string(key.str()) + ": rules are [[rule]] tables");
      continue;
    }
    const toml::array* list = node.as_array();
    if (!list || !list->is_array_of_tables()) {
      reader.error(node, "rule must be written as [[rule]] tables");
      continue;
    }
    for (const toml::node& item : *list) {
      auto rule = reader.rule(*item.as_table());
      if (!rule) continue;
      if (!names.insert(rule->name).second) {
        reader.error(item, "a second rule named " + rule->name);
        continue;
      }
      loaded.rules.push_back(std::move(*rule));
    }
  }
  return loaded;
}

Loaded readRulesFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {{}, {file.string() + ":0: cannot be read"}};
  std::ostringstream text;
  text << in.rdbuf();
  return readRules(text.str(), file.string());
}

const std::vector<Rule>& shippedRules() {
  static const std::vector<Rule> rules = [] {
    Loaded loaded = readRules(kShippedRulesText, std::string(kShippedName));
    // The unit tests read the same text: a shipped file with an error never leaves the build.
    if (!loaded.errors.empty()) throw std::logic_error(loaded.errors.front());
    return std::move(loaded.rules);
  }();
  return rules;
}

Rules combine(std::vector<Rule> own, const std::vector<Rule>& shipped) {
  std::set<std::string> replaced;
  for (const Rule& r : own) replaced.insert(r.name);
  Rules rules;
  for (Rule& r : own)
    if (!r.package.empty()) rules.list.push_back(std::move(r));
  for (const Rule& r : shipped)
    if (!replaced.contains(r.name)) rules.list.push_back(r);
  return rules;
}

Rules loadRules(const std::filesystem::path& own) {
  if (own.empty()) return combine({}, shippedRules());
  Loaded loaded = readRulesFile(own);
  if (!loaded.errors.empty()) throw Failure(loaded.errors.front());
  return combine(std::move(loaded.rules), shippedRules());
}

}  // namespace hub::recognise
