#pragma once

#include <gtest/gtest.h>

#include <QMap>
#include <QString>
#include <memory>

#include "fakes.h"
#include "main_window.h"

namespace velmora {
class PictureBox;
}

namespace velmora::testing {

// The real window over recorded dialogs and settings kept in memory.
class TestWindow {
public:
    // programFolder holds the program's own files (Samples/, HAND-M.CUR);
    // stored is what the settings store holds at start-up.
    explicit TestWindow(const QString& programFolder, QMap<QString, QString> stored = {});
    ~TestWindow();

    MainWindow& window() const { return *m_window; }
    FakeDialogs& dialogs() const { return *m_dialogs; }
    FakeSettings& settings() const { return *m_settings; }
    PictureBox* picture() const;

    // The control of that object name; a test failure when there is none.
    template <typename T = QWidget>
    T* control(const char* name) const {
        T* found = m_window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // Shows the window and waits until it can take input from the window system.
    void show();

private:
    FakeDialogs* m_dialogs = nullptr;
    FakeSettings* m_settings = nullptr;
    std::unique_ptr<MainWindow> m_window;
};

}  // namespace velmora::testing
