#include <QApplication>
#include <QTimer>

#include "main_window.h"
#include "settings.h"
#include "start_up.h"
#include "user_dialogs.h"

int main(int argc, char* argv[]) {
    // Read before Qt starts, so --help answers without a display (help2man runs it).
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const velmora::CommandLine commandLine = velmora::parseCommandLine(arguments);
    if (commandLine.action != velmora::CommandLine::Action::Run)
        return velmora::answerCommandLine(commandLine, "velmora");

    int qtArgc = 1;  // Qt's own options are not offered
    QApplication app(qtArgc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("app.velmora.Velmora"));  // its menu entry
    velmora::MainWindow window(std::make_unique<velmora::QtUserDialogs>(),
                               std::make_unique<velmora::QtSettingsStore>(),
                               velmora::programFolderFor(QCoreApplication::applicationDirPath(),
                                                         QStringLiteral(VELMORA_DATA_FROM_BIN)));
    window.show();
    // A file named on the command line ("Open With") is taken as a drop on the shown window.
    if (!commandLine.file.isEmpty())
        QTimer::singleShot(0, &window, [&] { window.dropFiles({commandLine.file}); });
    return app.exec();
}
