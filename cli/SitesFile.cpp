// SPDX-License-Identifier: Apache-2.0
#include "cli/SitesFile.h"

#include <set>

#include <toml++/toml.h>

#include "cli/CliOptions.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/CommunityPresenter.h"
#include "frontend/Messages.h"
#include "transport/FileRead.h"

namespace pathmon::cli {

namespace {

// A list of texts, or the message why the value is none.
std::string Texts(const toml::table& site, const char* key, std::vector<std::string>& out) {
  const toml::node* node = site.get(key);
  if (node == nullptr) return {};
  const toml::array* list = node->as_array();
  if (list == nullptr) return std::string(key) + ": a list of texts was expected";
  for (const toml::node& item : *list) {
    const auto text = item.value<std::string>();
    if (!text) return std::string(key) + ": a list of texts was expected";
    out.push_back(*text);
  }
  return {};
}

}  // namespace

std::string LoadSitesFile(const std::string& path, const Site& defaults,
                          std::vector<Site>& sites) {
  const std::string prefix = "--sites: " + path + ": ";
  std::string content;
  if (std::string reason; !ReadRegularFile(path, content, reason)) return prefix + reason;
  toml::table document;
  try {
    document = toml::parse(content, path);
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    return prefix + "line " + std::to_string(where.line) + ": " + std::string(e.description());
  }
  const toml::array* list = document["site"].as_array();
  if (list == nullptr || list->empty()) return prefix + "no [[site]] table";
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);

  std::vector<Site> loaded;
  std::set<std::string> names;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const toml::table* table = (*list)[i].as_table();
    if (table == nullptr) return prefix + "site " + std::to_string(i + 1) + ": not a table";
    Site site = defaults;
    site.ranges.clear();
    site.serials.clear();
    const auto name = (*table)["name"].value<std::string>();
    if (!name || name->empty()) {
      return prefix + "site " + std::to_string(i + 1) + ": name: a text was expected";
    }
    site.name = *name;
    const std::string where = prefix + "site " + site.name + ": ";
    if (!names.insert(site.name).second) return where + "a second site of this name";
    for (const auto& [key, value] : *table) {
      static const std::set<std::string_view> known = {"name",           "ranges",   "addresses",
                                                       "community-file", "duration", "serials"};
      if (!known.contains(key.str())) return where + std::string(key.str()) + ": unknown key";
    }

    std::string community = defaults.community;
    if (const toml::node* file = table->get("community-file")) {
      const auto text = file->value<std::string>();
      if (!text) return where + "community-file: a text was expected";
      const std::string filePath = !text->empty() && (*text)[0] == '/' ? *text : folder + *text;
      if (std::string message = ReadCommunityFile(filePath, community); !message.empty()) {
        return where + message;
      }
    }
    std::string duration = std::to_string(defaults.durationMinutes);
    if (const toml::node* minutes = table->get("duration")) {
      const auto number = minutes->value<int64_t>();
      if (!number || !minutes->is_integer()) return where + "duration: " + kMsgEnterInteger;
      duration = std::to_string(*number);
    }
    const CommunityCheck check = CheckCommunityInput(community, duration);
    if (!check.message.empty()) {
      const bool durationField = check.field == CommunityField::kDuration;
      return where + (durationField ? "duration: " : "community-file: ") + check.message;
    }
    ProgramSettings settings;
    ApplyCommunityInput(check, community, settings,
                        [&site](const char* text) { site.community = text; });
    site.durationMinutes = settings.durationMinutes;
    site.maxConcurrentTests = settings.maxConcurrentTests;

    std::vector<std::string> ranges, addresses;
    for (auto [key, out] : {std::pair{"ranges", &ranges}, std::pair{"addresses", &addresses},
                            std::pair{"serials", &site.serials}}) {
      if (std::string message = Texts(*table, key, *out); !message.empty()) {
        return where + message;
      }
    }
    for (const std::string& text : ranges) site.ranges.push_back(SplitRange(text));
    for (const std::string& address : addresses) site.ranges.push_back({address, address});
    if (site.ranges.empty()) return where + "no ranges or addresses";
    for (std::size_t r = 0; r < site.ranges.size(); ++r) {
      const RangeCheck range =
          CheckAddressRange(site.ranges[r].first.c_str(), site.ranges[r].last.c_str());
      if (!range.message.empty()) {
        return where + (r < ranges.size() ? "ranges: " : "addresses: ") + range.message;
      }
    }
    loaded.push_back(std::move(site));
  }
  sites = std::move(loaded);
  return {};
}

}  // namespace pathmon::cli
