#pragma once

#include <functional>
#include <string>

namespace velmora::convert {

// How a finished file takes its target's name.
enum class Publish {
    Replace,       // an existing file of that name is replaced in one step
    NeverReplace,  // the write fails when the name is taken, even by a file that appeared meanwhile
};

// A file written under a temporary name in its target's folder and given the
// target's name only once it is complete and on the disk. Until then, and after
// any failure, the target is exactly as it was, and no temporary file stays.
// Publishing never makes a hard link, so it works on FAT file systems too.
//
// Use: open(), write the content to fd(), optionally post-process the finished
// temporary file (it is temporaryPath(); fd() stays open for reading and
// writing), then commit(). Destroying it uncommitted removes the temporary file.
// Temporary files of writers that were killed are removed by a later open() in
// the same folder, never one that a running writer still holds.
class AtomicFile {
public:
    explicit AtomicFile(std::string target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file. Returns an empty string on success, else the
    // system's reason ("Permission denied", "No such file or directory", ...).
    std::string open();
    // Flushes the content to the disk and publishes it under the target's name;
    // an existing target keeps its permission bits. Returns an empty string on
    // success, else the reason; on failure the temporary file is removed.
    std::string commit(Publish how);
    // Removes the temporary file; the target is left as it is.
    void discard();

    int fd() const { return m_fd; }
    const std::string& temporaryPath() const { return m_temporary; }
    const std::string& target() const { return m_target; }

private:
    std::string publish(Publish how);

    std::string m_target;
    std::string m_temporary;
    int m_fd = -1;
};

// Writes the content of a file to its descriptor; returns an empty string on
// success, else the reason.
using WriteContent = std::function<std::string(int fd)>;
// A step run on the complete temporary file before it is published (to add
// metadata, say): fd is open for reading and writing at the end of the content.
// Returns an empty string, or the reason to abandon the write.
using FinishFile = std::function<std::string(int fd, const std::string& temporaryPath)>;

// Writes target through an AtomicFile: content, then finish (when given), then
// commit. Returns an empty string on success, else the reason.
std::string writeFileAtomically(const std::string& target, Publish how, const WriteContent& content,
                                const FinishFile& finish = {});

}  // namespace velmora::convert
