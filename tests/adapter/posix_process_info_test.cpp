#include "platform/posix/posix_process_info.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace tovra::posix {
namespace {

TEST(PosixProcessInfo, EnvironmentSkipsEntriesWithoutEqualsAndKeepsTheFirstOfADuplicate)
{
    char first[] = "NAME=first";
    char noEquals[] = "NO_EQUALS";
    char second[] = "NAME=second";
    char withEquals[] = "EXPR=a=b";
    char empty[] = "EMPTY=";
    char* fake[] = {first, noEquals, second, withEquals, empty, nullptr};

    char** saved = environ;
    environ = fake;
    const platform::Environment environment = PosixProcessInfo().environment();
    environ = saved;

    EXPECT_EQ(environment, (platform::Environment{{"NAME", "first"}, {"EXPR", "a=b"}, {"EMPTY", ""}}));
}

} // namespace
} // namespace tovra::posix
