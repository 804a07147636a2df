// The session bus's address, as the environment gives it: every socket it names, and nothing of
// what is malformed, without ever failing.
#include <gtest/gtest.h>

#include "platform/freedesktop/session_bus.h"

namespace tovra::freedesktop {
namespace {

using Sockets = std::vector<std::pair<std::string, bool>>; // path, abstract

TEST(BusAddress, EverySocketItNamesUnescapedAndNoneMalformed)
{
    const std::pair<const char*, Sockets> cases[] = {
        {"unix:path=/run/user/1000/bus", {{"/run/user/1000/bus", false}}},
        {"unix:abstract=/tmp/dbus-x,guid=0123abcd", {{"/tmp/dbus-x", true}}},
        {"unix:guid=0123,path=/a%20b%2C%2f", {{"/a b,/", false}}},
        {"tcp:host=localhost,port=1;unix:path=/y", {{"", false}, {"/y", false}}},
        {"unix:path=/x%zz", {}},
        {"unix:path=/x%4", {}},
        {"unix:path=/x%", {}},
        {"unix:path=/x%+1", {}},
        {"unix:path=/x%-1", {}},
        {"unix:path=/x% 1", {}},
        {"unix:path=", {}},
        {"unix:path=/x%zz;unix:path=/y", {{"/y", false}}},
        {"autolaunch:;unix:tmpdir=/tmp;;", {}},
        {"", {}},
    };
    for (const auto& [address, expected] : cases) {
        EXPECT_EQ(busAddressesOf(address), expected) << address;
    }
}

} // namespace
} // namespace tovra::freedesktop
