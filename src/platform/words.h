#pragma once

#include <string>

namespace tovra::platform {

// The texts that name a thing of the platform the program runs on: each platform set gives its
// own (on a Mac, "on This Mac" and Trash).
struct Words {
    std::string openController;        // the menu entry that opens the controller here
    std::string filesIncompleteAdvice; // the missing-files alert's informative text
};

} // namespace tovra::platform
