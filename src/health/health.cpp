#include "health/health.h"

#include "app/status_texts.h"
#include "common/json_fields.h"

namespace tovra {

std::optional<Health> decodeHealth(std::string_view body)
{
    const nlohmann::json document = json_fields::parse(body);
    if (!document.is_object()) {
        return std::nullopt;
    }
    Health health;
    const auto version = json_fields::stringField(document, "version");
    if (!version) {
        return std::nullopt;
    }
    health.version = *version;
    const auto midiReady = json_fields::boolField(document, "midiReady");
    if (!midiReady) {
        return std::nullopt;
    }
    health.midiReady = *midiReady;
    const auto midiPort = json_fields::stringField(document, "midiPort");
    if (!midiPort) {
        return std::nullopt;
    }
    health.midiPort = *midiPort;
    const auto pairedClients = json_fields::int64Field(document, "pairedClients");
    if (!pairedClients) {
        return std::nullopt;
    }
    health.pairedClients = *pairedClients;
    return health;
}

std::string healthStatusText(const Health& health)
{
    if (!health.midiReady) {
        return texts::kMidiUnavailable;
    }
    const std::string phones =
        health.pairedClients == 1 ? "1 phone" : std::to_string(health.pairedClients) + " phones";
    return texts::kReadyPrefix + phones;
}

} // namespace tovra
