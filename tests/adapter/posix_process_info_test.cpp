#include "platform/posix/posix_process_info.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace tovra::posix {
namespace {

TEST(PosixProcessInfo, EnvironmentSkipsEntriesWithoutEqualsAndKeepsTheFirstOfADuplicate)
{
    char entries[][12] = {"NAME=first", "NO_EQUALS", "NAME=second", "EXPR=a=b", "EMPTY="};
    char* fake[] = {entries[0], entries[1], entries[2], entries[3], entries[4], nullptr};
    char** saved = environ;
    environ = fake;
    const platform::Environment environment = PosixProcessInfo().environment();
    environ = saved;
    EXPECT_EQ(environment, (platform::Environment{{"NAME", "first"}, {"EXPR", "a=b"}, {"EMPTY", ""}}));
}

} // namespace
} // namespace tovra::posix
