#include "error_report.h"

#include <exception>

namespace velmora {

QString procedureName(Command command) {
    static const struct {
        Command command;
        const char* name;
    } kNames[] = {
        {Command::StartUp, "Form_Load"},
        {Command::OpenPictureFile, "PushButton1_Click"},
        {Command::Help, "PushButton2_Click"},
        {Command::StartOrStopRemoval, "PushButton3_Click"},
        {Command::LoadSample, "PushButton4_Click"},
        {Command::SaveResults, "PushButton5_Click"},
        {Command::LoadFileHelp, "PushButton6_Click"},
        {Command::RemoveHelp, "PushButton7_Click"},
        {Command::BlockSizeHelp, "PushButton8_Click"},
        {Command::ScanBorderHelp, "PushButton9_Click"},
        {Command::SelectionHelp, "PushButton11_Click"},
        {Command::UndoRemoval, "PushButton12_Click"},
        {Command::DropFile, "PicOrg_OLEDragDrop"},
        {Command::KeyPress, "Form_KeyPress"},
    };
    for (const auto& entry : kNames)
        if (entry.command == command) return QString::fromLatin1(entry.name);
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
