#include <gtest/gtest.h>

#include "error_report.h"
#include "main_window.h"
#include "picture_file.h"
#include "settings.h"

using namespace velmora;

TEST(fileExtension, TakesTextAfterTheLastDotOrTheWholeName) {
    struct Case {
        const char* name;
        const char* expected;
    } cases[] = {
        {"photo.JPEG", "JPEG"},
        {"archive.tar.png", "png"},
        {"/home/me/pics.d/noext", "d/noext"},
        {"/home/me/noext", "/home/me/noext"},
        {"trailing.", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fileExtension(QString::fromUtf8(c.name)), QString::fromUtf8(c.expected))
            << c.name;
    }
}

TEST(AppTitle, CutsAtLastSpacesUntilFortyCharacters) {
    // 50 characters, last space at character 42, the one before at 36.
    const QString title = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbbbb cccccccc");
    ASSERT_EQ(title.size(), 50);
    ASSERT_EQ(title.lastIndexOf(' '), 41);
    EXPECT_EQ(appTitleFor(title), title.left(35));
}

TEST(AppTitle, FortyCharacterTitleStillLosesItsLastWord) {
    const QString title = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbbbb");
    ASSERT_EQ(title.size(), 40);
    EXPECT_EQ(appTitleFor(title), title.left(34));
}

TEST(AppTitle, TitleWithoutSpaceStaysWhole) {
    EXPECT_EQ(appTitleFor(QStringLiteral("Velmora")), QStringLiteral("Velmora"));
}

TEST(ErrorReport, TextJoinsDescriptionLocationAndSupportRequest) {
    EXPECT_EQ(errorReportText("File not found", "PushButton4_Click", 102),
              QStringLiteral("File not found\r\nin Dunmerrow2017/04/05.Form1.PushButton4_Click "
                             "at line 102\r\rPlease email screenshot of this message to ") +
                  kSupportAddress);
}

TEST(ErrorReport, FailedStepIsReportedAndTheNextStepRuns) {
    QStringList reports;
    StepRunner run(Command::StartUp, [&](const QString& t) { reports << t; });
    QStringList ran;
    run.step(100, [&] { ran << "100"; });
    EXPECT_FALSE(run.step(102, [&] { fail("Bad thing"); }));
    run.step(104, [&] { ran << "104"; });
    EXPECT_TRUE(run.test(106, []() -> bool { throw std::runtime_error("cond"); }));
    EXPECT_EQ(ran, (QStringList{"100", "104"}));
    ASSERT_EQ(reports.size(), 2);
    EXPECT_TRUE(
        reports[0].startsWith("Bad thing\r\nin Dunmerrow2017/04/05.Form1.Form_Load at line 102"));
    EXPECT_TRUE(reports[1].contains("at line 106"));
}

TEST(BooleanText, AcceptsNumbersAndWordsAndRejectsTheRest) {
    EXPECT_TRUE(booleanFromText("True"));
    EXPECT_TRUE(booleanFromText("true"));
    EXPECT_FALSE(booleanFromText("False"));
    EXPECT_FALSE(booleanFromText("0"));
    EXPECT_TRUE(booleanFromText("-1"));
    EXPECT_TRUE(booleanFromText("2"));
    EXPECT_THROW(booleanFromText("maybe"), StepFailure);
}

TEST(Himetric, BigPictureLimitFallsBetween1511And1512Pixels) {
    EXPECT_LE(himetricFromPixels(1511), 40000);
    EXPECT_GT(himetricFromPixels(1512), 40000);
}
