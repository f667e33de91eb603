// The one main of every Qt test program: an application on the offscreen
// platform unless another is chosen, then the registered hooks, then the tests.
#include "test_main.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <vector>

namespace velmora::testing {

namespace {

std::vector<void (*)()>& hooks() {
    static std::vector<void (*)()> registered;
    return registered;
}

}  // namespace

bool runBeforeTests(void (*hook)()) {
    hooks().push_back(hook);
    return true;
}

}  // namespace velmora::testing

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    for (void (*hook)() : velmora::testing::hooks()) hook();
    return RUN_ALL_TESTS();
}
