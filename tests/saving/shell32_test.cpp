#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "converter.h"
#include "shell32.h"

using namespace velmora;

TEST(RunAndWait, ReturnsTheProgramsExitCode) {
    EXPECT_EQ(Shell32::RunAndWait("\"/bin/sh\" -c \"exit 7\"", 0), 7);
    EXPECT_EQ(Shell32::RunAndWait("\"/bin/true\""), 0);
}

TEST(RunAndWait, MissingProgramReturnsTheStartErrorAtOnce) {
    EXPECT_EQ(Shell32::RunAndWait("\"/no/such/program\" -x"),
              Shell32::kFileNotFound + Shell32::kObjectErrorBase);
    EXPECT_LT(Shell32::RunAndWait(""), 0);
}

TEST(RunAndWait, WindowStyleOutsideZeroToSixBecomesSix) {
    EXPECT_EQ(Shell32::effectiveWindowStyle(std::nullopt), 6);
    EXPECT_EQ(Shell32::effectiveWindowStyle(7), 6);
    EXPECT_EQ(Shell32::effectiveWindowStyle(-1), 6);
    EXPECT_EQ(Shell32::effectiveWindowStyle(0), 0);
    EXPECT_EQ(Shell32::effectiveWindowStyle(6), 6);
}

TEST(Converter, ResourceFollowsTheAddressWidth) {
    EXPECT_EQ(converterResourceId("64"), 102);
    EXPECT_EQ(converterResourceId("32"), 101);
    EXPECT_EQ(converterResourceId("064"), 101);
    EXPECT_EQ(converterResourceId(""), 101);
    EXPECT_EQ(converterResourceId(GetAddressWidth()), sizeof(void*) == 8 ? 102 : 101);
}

TEST(Converter, CommandLineKeepsItsSpacingAndQuotes) {
    EXPECT_EQ(converterCommandLine("/t/c", "png  ", "/o/p.png", "/t/1.bmp"),
              "\"/t/c\"  -out png   -o \"/o/p.png\" \"/t/1.bmp\"");
    EXPECT_EQ(converterCommandLine("/t/c", "jpeg  -truecolors ", "/o/p q.jpg", "/t/1.bmp"),
              "\"/t/c\"  -out jpeg  -truecolors  -o \"/o/p q.jpg\" \"/t/1.bmp\"");
}
