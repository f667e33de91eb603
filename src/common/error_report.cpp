#include "error_report.h"

#include <exception>

namespace velmora {

QString procedureName(Command command) {
    switch (command) {
        case Command::StartUp: return QStringLiteral("Form_Load");
        case Command::OpenPictureFile: return QStringLiteral("PushButton1_Click");
        case Command::Help: return QStringLiteral("PushButton2_Click");
        case Command::StartOrStopRemoval: return QStringLiteral("PushButton3_Click");
        case Command::LoadSample: return QStringLiteral("PushButton4_Click");
        case Command::SaveResults: return QStringLiteral("PushButton5_Click");
        case Command::LoadFileHelp: return QStringLiteral("PushButton6_Click");
        case Command::RemoveHelp: return QStringLiteral("PushButton7_Click");
        case Command::BlockSizeHelp: return QStringLiteral("PushButton8_Click");
        case Command::ScanBorderHelp: return QStringLiteral("PushButton9_Click");
        case Command::SelectionHelp: return QStringLiteral("PushButton11_Click");
        case Command::UndoRemoval: return QStringLiteral("PushButton12_Click");
        case Command::DropFile: return QStringLiteral("PicOrg_OLEDragDrop");
        case Command::KeyPress: return QStringLiteral("Form_KeyPress");
    }
    return {};
}

QString errorReportText(const QString& description, const QString& procedure, int line) {
    return description + QStringLiteral("\r\nin Dunmerrow2017/04/05.Form1.") + procedure +
           QStringLiteral(" at line ") + QString::number(line) +
           QStringLiteral("\r\rPlease email screenshot of this message to ") +
           QLatin1String(kSupportAddress);
}

bool StepRunner::step(int line, const std::function<void()>& action) {
    QString description;
    try {
        action();
        return true;
    } catch (const StepFailure& failure) {
        description = failure.description();
    } catch (const std::bad_alloc&) {
        description = QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        description = QString::fromLocal8Bit(e.what());
    }
    ++m_failures;
    m_report(errorReportText(description, m_procedure, line));
    return false;
}

bool StepRunner::test(int line, const std::function<bool()>& condition) {
    bool result = true;
    step(line, [&] { result = condition(); });
    return result;
}

}  // namespace velmora
