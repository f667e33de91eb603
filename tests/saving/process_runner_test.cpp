#include "process_runner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include "converter.h"

using namespace velmora;

TEST(runAndWait, ReturnsTheProgramsExitCode) {
    EXPECT_EQ(process::runAndWait({"/bin/sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(process::runAndWait({"/bin/true"}), 0);
}

TEST(runAndWait, MissingProgramReturnsTheStartErrorAtOnce) {
    EXPECT_EQ(process::runAndWait({"/no/such/program", "-x"}),
              process::kFileNotFound + process::kObjectErrorBase);
    EXPECT_LT(process::runAndWait({}), 0);
}

// The program runs until an event of the application makes its file; quitting
// then ends the wait and the program (which would sleep a minute).
TEST(runAndWait, EventsRunMeanwhileAndQuittingEndsTheWait) {
    QTemporaryDir dir;
    const QString go = dir.filePath("go");
    int result = 0;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(20, [&] { QFile(go).open(QIODevice::WriteOnly); });
        result = process::runAndWait({"/bin/sh", "-c",
                                      "until [ -e \"$0\" ]; do sleep 0.02; done; "
                                      "echo $$ > \"$0\"; exec sleep 60",
                                      go});
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QFileInfo(go).size() > 0) QCoreApplication::quit();
    });
    poll.start(20);
    QCoreApplication::exec();
    EXPECT_EQ(result, process::kAbandoned);
    QFile pid(go);
    ASSERT_TRUE(pid.open(QIODevice::ReadOnly));
    EXPECT_NE(::kill(pid.readAll().trimmed().toInt(), 0), 0) << "the program still runs";
}

// Whatever the width query answers, the converter is built as the program is.
TEST(Converter, EveryWidthAnswerExtractsABuildThatRunsHere) {
    QFile self("/proc/self/exe");
    ASSERT_TRUE(self.open(QIODevice::ReadOnly));
    const QByteArray own = self.read(20);  // ELF class at 4, machine at 18
    for (const char* answer : {"64", "32", "064", ""}) {
        const QByteArray header = converterBytes(converterResourceId(answer)).left(20);
        EXPECT_TRUE(header.left(5) == own.left(5) && header.mid(18, 2) == own.mid(18, 2)) << answer;
    }
    EXPECT_EQ(converterResourceId(addressWidth()), sizeof(void*) == 8 ? 102 : 101);
}

TEST(Converter, CommandLinePassesEachArgumentWhole) {
    EXPECT_EQ(converterCommandLine("/t/c", "png  ", "/o/p.png", "/t/1.bmp"),
              QStringList({"/t/c", "-out", "png", "-o", "/o/p.png", "/t/1.bmp"}));
    EXPECT_EQ(converterCommandLine("/t/c", "jpeg  -truecolors ", "/o/p q.jpg", "/t/1.bmp"),
              QStringList({"/t/c", "-out", "jpeg", "-truecolors", "-o", "/o/p q.jpg", "/t/1.bmp"}));
    EXPECT_EQ(
        converterCommandLine("/t/c", "png  ", "/o/p.png", "/t/1.bmp", "/t/m.exv"),
        QStringList({"/t/c", "-out", "png", "-meta", "/t/m.exv", "-o", "/o/p.png", "/t/1.bmp"}));
}
