#include "core/certs/authenticate.h"

#include <gtest/gtest.h>

namespace {

uint32_t AnswerZero() { return 0; }

TEST(Authenticate, OverrideAnswersInPlaceOfTheFlag) {
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_EnabledOverride(nullptr);
    EXPECT_EQ(Authenticate_Enabled(), 1u);
}

} // namespace
