#include "save_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

namespace velmora {

namespace {

const char kPattern[] = "velmora-save-";
const char kLockName[] = "owner.lock";
// A folder without a lock file is either being made this instant or was left
// by a build that did not lock; only the second is this old.
constexpr int kUnlockedStaleAfterSeconds = 60;

// True when nobody holds the folder's lock: its save has ended without removing it.
bool isAbandoned(const QString& folder) {
    const QByteArray lock = QFile::encodeName(folder + QLatin1Char('/') + kLockName);
    const int fd = ::open(lock.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno == ENOENT && QFileInfo(folder).lastModified().secsTo(
                                      QDateTime::currentDateTime()) > kUnlockedStaleAfterSeconds;
    }
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

void removeAbandonedFolders(const QString& root) {
    const QFileInfoList folders = QDir(root).entryInfoList(
        {QLatin1String(kPattern) + QLatin1Char('*')},
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& folder : folders)
        if (folder.isWritable() && isAbandoned(folder.filePath()))
            QDir(folder.filePath()).removeRecursively();
}

}  // namespace

SaveFolder::SaveFolder(const QString& root)
    : m_folder((removeAbandonedFolders(root), root + QLatin1Char('/') + kPattern + "XXXXXX")) {
    if (!m_folder.isValid()) return;
    const QByteArray lock = QFile::encodeName(m_folder.filePath(kLockName));
    m_lock = ::open(lock.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_lock >= 0) ::flock(m_lock, LOCK_EX | LOCK_NB);
}

SaveFolder::~SaveFolder() {
    m_folder.remove();
    if (m_lock >= 0) ::close(m_lock);  // unlocked only once the folder is gone
}

}  // namespace velmora
