#include "platform/compose/instance_claim.h"

namespace tovra::platform {

void InstanceClaimDeleter::operator()(InstanceClaim* claim) const
{
    delete claim;
}

HeldInstance claimInstance(const posix::InstancePlaces& places)
{
    HeldInstance claim(new InstanceClaim{posix::claimSingleInstance(places), {}});
    switch (claim->instance.claim) {
    case posix::InstanceClaim::heldByAnother:
        return nullptr;
    case posix::InstanceClaim::unlocked:
        return claim;
    case posix::InstanceClaim::claimed:
        break;
    }
    for (const std::filesystem::path& folder : claim->instance.folders) {
        if (std::optional<linuxos::ControlListener> listener =
                linuxos::listenForControl(folder, places.name)) {
            claim->listeners.push_back(std::move(*listener));
        }
    }
    return claim;
}

} // namespace tovra::platform
