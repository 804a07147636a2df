#pragma once

#include <string>

namespace tovra::platform {

// The user's persistent settings.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // False for an absent key.
    virtual bool boolForKey(const std::string& key) = 0;
    // Stored durably before it returns.
    virtual void setBool(const std::string& key, bool value) = 0;
};

} // namespace tovra::platform
