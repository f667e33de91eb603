#pragma once

#include <QString>
#include <functional>
#include <stdexcept>

namespace velmora {

// A failure inside a numbered command step; its text is the description the
// error report shows.
class StepFailure : public std::runtime_error {
public:
    explicit StepFailure(const QString& description)
        : std::runtime_error(description.toStdString()) {}
    QString description() const { return QString::fromStdString(what()); }
};

[[noreturn]] inline void fail(const QString& description) { throw StepFailure(description); }

inline constexpr const char kSupportAddress[] = "support@velmora.app";

// The full text of the "Application Error" message for a failure of step
// `line` in `procedure` (for example "Form_Load").
QString errorReportText(const QString& description, const QString& procedure, int line);

// The commands whose failures are reported, each under its own procedure name.
enum class Command {
    StartUp,
    OpenPictureFile,
    Help,
    StartOrStopRemoval,
    LoadSample,
    SaveResults,
    LoadFileHelp,
    RemoveHelp,
    BlockSizeHelp,
    ScanBorderHelp,
    SelectionHelp,
    UndoRemoval,
    DropFile,
    KeyPress,
};

// The procedure name a command's error report shows (for example "Form_Load").
QString procedureName(Command command);

// Runs a command as numbered steps. A step's number is the line number its
// command's error report quotes for it, as users know it; the numbers are fixed
// per command, so each command reads as the list of its steps. A step that
// throws is reported through `report` (which shows the message and returns when
// the user has closed it); the command then goes on with its next step, nothing
// rolled back.
class StepRunner {
public:
    using Reporter = std::function<void(const QString& text)>;

    StepRunner(Command command, Reporter report)
        : m_procedure(procedureName(command)), m_report(std::move(report)) {}

    // Returns false when the step failed (and has been reported).
    bool step(int line, const std::function<void()>& action);

    // A condition step: on failure the guarded branch runs, so true is returned.
    bool test(int line, const std::function<bool()>& condition);

    int failures() const { return m_failures; }

private:
    QString m_procedure;
    Reporter m_report;
    int m_failures = 0;
};

}  // namespace velmora
