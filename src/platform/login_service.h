#pragma once

namespace tovra::platform {

enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// Starting this application when the user logs in.
// The one argument the login item starts the program with, so that it knows who started it.
inline constexpr const char* kLoginArgument = "--login";

class LoginService {
public:
    virtual ~LoginService() = default;
    // Read afresh on every call.
    virtual LoginItemStatus status() = 0;
    virtual bool registerService() = 0;
    virtual bool unregisterService() = 0;
    // Shows where the user manages login items; returns at once.
    virtual void openSettingsPane() = 0;
};

} // namespace tovra::platform
