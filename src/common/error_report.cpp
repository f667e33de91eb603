#include "error_report.h"

#include <exception>

namespace velmora {

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
