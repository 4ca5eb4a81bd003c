#include "platform/common/process_runner.h"

#include <gtest/gtest.h>

using namespace lumivane;

TEST(ProcessRunner, ReadsStandardOutputToItsEndWhateverTheToolWritesToStandardError) {
    // Far more on standard error than a pipe holds: with an unread pipe there
    // the tool would block for ever.
    auto flood = ProcessRunner::run("/bin/sh", {"-c", "head -c 4000000 /dev/zero >&2; printf 'p1\\ncsharingd\\n'"});
    ASSERT_TRUE(flood.ok());
    EXPECT_EQ(flood.value(), "p1\ncsharingd\n");

    auto large = ProcessRunner::run("/bin/sh", {"-c", "head -c 3000000 /dev/zero"});
    ASSERT_TRUE(large.ok());
    EXPECT_EQ(large.value().size(), 3000000u);

    auto missing = ProcessRunner::run("/no/such/tool", {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), Error(Error::Code::notFound, "No such file or directory"));
}
