#pragma once

#include <QString>
#include <QTemporaryDir>

namespace velmora {

// A save's private folder "velmora-save-XXXXXX" in the temporary folder, for the
// temporary bitmap and the converted picture. It holds a lock for as long as it
// exists; a later save removes the folders whose lock nobody holds any more (a
// save killed with the program), never one of a save still running elsewhere.
// Removed with everything in it when destroyed.
class SaveFolder {
public:
    // Removes the abandoned folders in root, then makes this one.
    explicit SaveFolder(const QString& root);
    ~SaveFolder();
    SaveFolder(const SaveFolder&) = delete;
    SaveFolder& operator=(const SaveFolder&) = delete;

    bool isValid() const { return m_folder.isValid(); }
    QString errorString() const { return m_folder.errorString(); }
    QString filePath(const QString& name) const { return m_folder.filePath(name); }

private:
    QTemporaryDir m_folder;
    int m_lock = -1;
};

}  // namespace velmora
