#include "bridges/import/import_request.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace lumivane {

bool ImportRequest::validShoot(const std::string& name) {
    if (name.empty() || name.size() > kMaxShoot) return false;
    return std::none_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

Result<ImportRequest> ImportRequest::fromArguments(const Arguments& args, const EncodableMap& remembered) {
    ImportRequest request;
    const EncodableMap* source = args.map("source");
    if (!source)
        return failure(
            Error::badInput("No source given: {\"kind\": \"iphone\" | \"camera\" | \"volume\", \"id\": ...}."));
    EncodableValue sourceValue(*source);
    Arguments sourceArgs(sourceValue);
    auto kind = sourceArgs.string("kind"), id = sourceArgs.string("id");
    if (!kind || (*kind != "iphone" && *kind != "camera" && *kind != "volume"))
        return failure(Error::badInput("The source's kind must be \"iphone\", \"camera\" or \"volume\"."));
    if (!id || id->empty()) return failure(Error::badInput("The source has no id."));
    request.kind = *kind;
    request.id = *id;
    if (args.value("items") && !args.value("items")->isNull()) {
        const EncodableList* items = args.list("items");
        if (!items) return failure(Error::badInput("\"items\" must be a list of paths."));
        request.items.emplace();
        for (const auto& item : *items) {
            const auto* path = item.get<std::string>();
            if (!path) return failure(Error::badInput("\"items\" must be a list of paths."));
            request.items->push_back(*path);
        }
    }
    auto destination = args.string("destination");
    auto rememberedText = [&](const char* key) {
        const auto* value = remembered.find(key);
        const auto* text = value ? value->get<std::string>() : nullptr;
        return text ? *text : std::string();
    };
    bool asRemembered = !args.value("destination");
    if (asRemembered) destination = rememberedText("destination");
    if (!destination || destination->empty())
        return failure(Error::badInput("No destination given, and none is remembered."));
    request.destination = *destination;
    request.subfolders = args.string("subfolders").value_or("");
    request.rename = args.string("rename").value_or("{name}");
    request.onlyNew = args.boolean("onlyNew").value_or(true);
    request.verify = args.boolean("verify").value_or(true);
    request.skipDuplicates = args.boolean("skipDuplicates").value_or(false);
    request.backup = args.string("backup").value_or(asRemembered ? rememberedText("backup") : "");
    request.deleteAfter = args.boolean("deleteAfter").value_or(false);
    request.autoResume = args.boolean("autoResume").value_or(false);
    request.companions = args.boolean("companions").value_or(true);
    request.log = args.boolean("log").value_or(false);
    if (args.value("shoot")) {
        auto shoot = args.string("shoot");
        if (!shoot || !validShoot(*shoot))
            return failure(Error::badInput("\"shoot\" must be a name of 1 to 100 bytes without control characters."));
        request.shoot = *shoot;
    }
    if (args.value("clockShift")) {
        auto minutes = args.integer("clockShift");
        if (!minutes || *minutes < -kMaxClockShift || *minutes > kMaxClockShift)
            return failure(Error::badInput("\"clockShift\" must be a whole number of minutes within 30 days."));
        request.clockShift = *minutes;
    }
    return request;
}

Result<CopyPlan> ImportRequest::plan(const std::string& job, const std::string& device) const {
    auto folders = ImportTemplate::parse(subfolders, ImportTemplate::Kind::folders);
    if (!folders.ok()) return failure(folders.error());
    auto names = ImportTemplate::parse(rename, ImportTemplate::Kind::fileName);
    if (!names.ok()) return failure(names.error());
    if (shoot.empty() && (folders.value().usesShoot() || names.value().usesShoot()))
        return failure(Error::badInput("The templates use {job}: give the shoot's name."));
    // Nothing is deleted from a device that was not read back first.
    return CopyPlan{destination,
                    backup,
                    std::move(folders.value()),
                    std::move(names.value()),
                    verify || deleteAfter,
                    job,
                    device,
                    shoot,
                    clockShift * 60};
}

std::string ImportRequest::toJson() const {
    nlohmann::json json{{"kind", kind},
                        {"id", id},
                        {"destination", destination},
                        {"subfolders", subfolders},
                        {"rename", rename},
                        {"onlyNew", onlyNew},
                        {"verify", verify},
                        {"skipDuplicates", skipDuplicates},
                        {"backup", backup},
                        {"deleteAfter", deleteAfter},
                        {"autoResume", autoResume},
                        {"companions", companions}};
    if (items) json["items"] = *items;
    if (automatic) json["auto"] = true;
    if (log) json["log"] = true;
    if (!shoot.empty()) json["shoot"] = shoot;
    if (clockShift != 0) json["clockShift"] = clockShift;
    // Names from a device need not be UTF-8; they are kept as they came.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<ImportRequest> ImportRequest::fromJson(const std::string& text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return failure(Error::badInput("The journal's request does not read."));
    try {
        ImportRequest request;
        request.kind = json.at("kind").get<std::string>();
        request.id = json.at("id").get<std::string>();
        request.destination = json.at("destination").get<std::string>();
        request.subfolders = json.value("subfolders", "");
        request.rename = json.value("rename", "{name}");
        request.onlyNew = json.value("onlyNew", true);
        request.verify = json.value("verify", true);
        request.skipDuplicates = json.value("skipDuplicates", false);
        request.backup = json.value("backup", "");
        request.deleteAfter = json.value("deleteAfter", false);
        request.autoResume = json.value("autoResume", false);
        request.automatic = json.value("auto", false);
        request.log = json.value("log", false);
        request.shoot = json.value("shoot", "");
        request.clockShift = json.value("clockShift", std::int64_t{0});
        // Jobs recorded before it existed copied only what they named.
        request.companions = json.value("companions", false);
        if (json.contains("items")) request.items = json.at("items").get<std::vector<std::string>>();
        return request;
    } catch (const nlohmann::json::exception&) {
        return failure(Error::badInput("The journal's request does not read."));
    }
}

}  // namespace lumivane
