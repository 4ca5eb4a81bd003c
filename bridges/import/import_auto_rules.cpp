#include "bridges/import/import_auto_rules.h"

#include <nlohmann/json.hpp>

#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

EncodableMap ImportAutoRules::Rule::toMap() const {
    EncodableMap options{{"destination", settings.destination}, {"subfolders", settings.subfolders},
                         {"rename", settings.rename},           {"onlyNew", settings.onlyNew},
                         {"verify", settings.verify},           {"skipDuplicates", settings.skipDuplicates},
                         {"deleteAfter", settings.deleteAfter}, {"companions", settings.companions}};
    if (!settings.backup.empty()) options.set("backup", settings.backup);
    if (!settings.shoot.empty()) options.set("shoot", settings.shoot);
    if (settings.clockShift != 0) options.set("clockShift", settings.clockShift);
    return {{"device", EncodableMap{{"kind", kind}, {"id", id}}}, {"settings", std::move(options)}, {"eject", eject}};
}

std::vector<ImportAutoRules::Rule> ImportAutoRules::load() const {
    std::vector<Rule> rules;
    auto text = readFile(path_, 1 << 20);
    if (!text) return rules;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_array()) return rules;
    for (const auto& entry : json) {
        if (!entry.is_object() || !entry.contains("settings") || !entry["settings"].is_object()) continue;
        // The settings are kept as a request's journal entry.
        auto settings = ImportRequest::fromJson(entry["settings"].dump());
        if (!settings.ok()) continue;
        Rule rule{settings.value().kind, settings.value().id, settings.value(), entry.value("eject", false)};
        if (rules.size() < kMaxRules) rules.push_back(std::move(rule));
    }
    return rules;
}

Result<void> ImportAutoRules::save(const std::vector<Rule>& rules) const {
    auto json = nlohmann::json::array();
    for (const auto& rule : rules) {
        auto settings = rule.settings;
        settings.kind = rule.kind, settings.id = rule.id, settings.items.reset();
        json.push_back({{"settings", nlohmann::json::parse(settings.toJson())}, {"eject", rule.eject}});
    }
    return writeFileAtomically(path_, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace), 0600);
}

Result<void> ImportAutoRules::set(const Rule& rule) const {
    auto rules = load();
    std::erase_if(rules, [&](const Rule& kept) { return kept.kind == rule.kind && kept.id == rule.id; });
    if (rules.size() >= kMaxRules)
        return failure(
            Error{Error::Code::badInput, "At most " + std::to_string(kMaxRules) + " devices import by themselves."});
    rules.push_back(rule);
    return save(rules);
}

Result<void> ImportAutoRules::remove(const std::string& kind, const std::string& id) const {
    auto rules = load();
    if (!std::erase_if(rules, [&](const Rule& kept) { return kept.kind == kind && kept.id == id; }))
        return failure(Error{Error::Code::notFound, "No automatic import for that device."});
    return save(rules);
}

}  // namespace lumivane
