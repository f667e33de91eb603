#include <QApplication>

#include "form1.h"
#include "settings.h"
#include "user_dialogs.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    velmora::Form1 window(std::make_unique<velmora::QtUserDialogs>(),
                          std::make_unique<velmora::QtSettingsStore>(),
                          QCoreApplication::applicationDirPath());
    window.show();
    return app.exec();
}
