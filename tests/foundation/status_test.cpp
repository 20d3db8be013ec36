#include "foundation/Status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vorn {
namespace {

TEST(Status, TextCarriesTheSystemReasonAndContext)
{
    struct Case {
        Status status;
        bool ok;
        std::string text;
    };
    const std::vector<Case> cases = {
        {Status(), true, ""},
        {Status::failure("Could not write /d/0001AB.MXF", ENOSPC), false,
         "Could not write /d/0001AB.MXF: No space left on device"},
        {Status::failure("bad slice header"), false, "bad slice header"},
        {Status::failure("", EACCES), false, "Permission denied"},
        {Status::failure("frame 3 is short").withContext("clip 0001AB"), false, "clip 0001AB: frame 3 is short"},
        {Status().withContext("clip 0001AB"), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.status.ok(), c.ok);
        EXPECT_EQ(c.status.text(), c.text);
    }
}

Status failsAt(int step, int failing)
{
    return step == failing ? Status::failure("step " + std::to_string(step), EIO) : Status();
}

Status runSteps(int failing, int& reached)
{
    for (int step = 0; step < 3; ++step) {
        reached = step;
        VORN_RETURN_IF_ERROR(failsAt(step, failing));
    }
    return Status();
}

TEST(Status, ReturnIfErrorStopsAtTheFirstFailureAndResultHoldsOneOfTwo)
{
    int reached = -1;
    const Status s = runSteps(1, reached);
    EXPECT_EQ(reached, 1);
    EXPECT_EQ(s.message(), "step 1");
    EXPECT_EQ(s.systemError(), EIO);
    EXPECT_TRUE(runSteps(7, reached).ok());
    EXPECT_EQ(reached, 2);

    Result<std::string> made(std::string("clip"));
    ASSERT_TRUE(made.ok());
    EXPECT_EQ(made.value(), "clip");
    EXPECT_TRUE(made.status().ok());
    Result<std::string> failed(Status::failure("no clip", ENOENT));
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.status().text(), "no clip: No such file or directory");
}

} // namespace
} // namespace vorn
