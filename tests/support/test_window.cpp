#include "test_window.h"

#include <QTest>

#include "picture_box.h"

namespace velmora::testing {

TestWindow::TestWindow(const QString& programFolder, QMap<QString, QString> stored) {
    auto dialogs = std::make_unique<FakeDialogs>();
    auto settings = std::make_unique<FakeSettings>();
    settings->values = std::move(stored);
    m_dialogs = dialogs.get();
    m_settings = settings.get();
    m_window = std::make_unique<MainWindow>(std::move(dialogs), std::move(settings), programFolder);
}

TestWindow::~TestWindow() = default;

PictureBox* TestWindow::picture() const { return m_window->workPicture(); }

void TestWindow::show() {
    m_window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
}

}  // namespace velmora::testing
