#include "atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace velmora::convert {
namespace {

// Temporary files are named for this prefix; the second is what earlier builds
// of the converter left behind when killed.
constexpr const char* kTemporaryPrefixes[] = {".velmora-tmp-", ".velmora-convert-"};
// A temporary file younger than this may belong to a writer that has created
// it but not yet locked it, so it is left alone even when it is unlocked.
constexpr time_t kStaleAfterSeconds = 10;

std::string reason(int error) { return std::strerror(error); }

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Removes the temporary files of writers that are gone: a writer holds a lock on
// its file from creation to publishing, and the kernel drops it when the writer dies.
void removeAbandonedTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const int dirFd = ::dirfd(dir);
    const time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        bool ours = false;
        for (const char* prefix : kTemporaryPrefixes)
            ours = ours || std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0;
        if (!ours) continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            now - st.st_mtim.tv_sec > kStaleAfterSeconds && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dirFd, entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(dir);
}

mode_t newFileMode() {
    // umask can only be read by setting it; it is put back at once.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666 & ~mask;
}

// The file a Replace publish puts in place: a symbolic link's target, so the
// link stays and the file it names gets the new content.
std::string resolvedTarget(const std::string& target) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    char* real = ::realpath(target.c_str(), nullptr);
    if (!real) return target;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

// Sets the disk writing what is in the file so far, every few hundredths of a
// second while the rest is encoded: the sync before publishing then waits for
// the last part of a camera photo, not the whole of it.
class WritebackWhileWriting {
public:
    explicit WritebackWhileWriting(int fd) : m_fd(fd) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread: the sync writes it all.
        }
    }
    ~WritebackWhileWriting() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) m_thread.join();
    }
    WritebackWhileWriting(const WritebackWhileWriting&) = delete;
    WritebackWhileWriting& operator=(const WritebackWhileWriting&) = delete;

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_done; })) {
            lock.unlock();
            // Only a start: it returns without waiting for the disk, and where a
            // file system cannot do it, the sync does all.
            const bool started = ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0;
            lock.lock();
            if (!started) return;
        }
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

bool renameIsUnsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

AtomicFile::AtomicFile(std::string target) : m_target(std::move(target)) {}

AtomicFile::~AtomicFile() { discard(); }

std::string AtomicFile::open() {
    discard();
    const std::string folder = folderOf(m_target);
    removeAbandonedTemporaries(folder);
    std::string name = folder + "/" + kTemporaryPrefixes[0] + "XXXXXX";
    m_fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0) return reason(errno);
    m_temporary = name;
    // Held until the file is published or this process ends; see removeAbandonedTemporaries.
    ::flock(m_fd, LOCK_EX | LOCK_NB);
    return {};
}

void AtomicFile::discard() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
    m_fd = -1;
    m_temporary.clear();
}

std::string AtomicFile::commit(Publish how) {
    if (m_fd < 0) return reason(EBADF);
    // A full disk shows itself at the latest here, while the old file is still in place.
    if (::fsync(m_fd) != 0) {
        const std::string why = reason(errno);
        discard();
        return why;
    }
    const std::string why = publish(how);
    if (!why.empty()) {
        discard();
        return why;
    }
    ::close(m_fd);  // unlocks only now, once the name is gone
    m_fd = -1;
    m_temporary.clear();
    // The new name itself must reach the disk too; file systems without
    // directory sync (FAT through FUSE) refuse, which changes nothing.
    const int dirFd = ::open(folderOf(m_target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

std::string AtomicFile::publish(Publish how) {
    const std::string target = how == Publish::Replace ? resolvedTarget(m_target) : m_target;
    struct stat old {};
    const bool replacing = how == Publish::Replace && ::stat(target.c_str(), &old) == 0;
    // mkostemp made the file private; it gets the bits of the file it replaces, or
    // those of a plain new file. FAT has no bits to set, which is no failure.
    ::fchmod(m_fd, replacing ? (old.st_mode & 07777) : newFileMode());

    if (how == Publish::Replace) {
        if (::rename(m_temporary.c_str(), target.c_str()) != 0) return reason(errno);
        return {};
    }
    if (::renameat2(AT_FDCWD, m_temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (!renameIsUnsupported(errno)) return reason(errno);
    // Without RENAME_NOREPLACE the name is claimed by an exclusive create, then
    // the finished file is renamed over that empty placeholder of our own.
    const int claim = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (claim < 0) return reason(errno);
    ::close(claim);
    if (::rename(m_temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(target.c_str());
        return reason(error);
    }
    return {};
}

std::string writeFileAtomically(const std::string& target, Publish how, const WriteContent& content,
                                const FinishFile& finish) {
    AtomicFile file(target);
    std::string why = file.open();
    if (!why.empty()) return why;
    try {
        WritebackWhileWriting writeback(file.fd());
        why = content(file.fd());
        if (why.empty() && finish) why = finish(file.fd(), file.temporaryPath());
    } catch (const std::bad_alloc&) {
        why = reason(ENOMEM);
    }
    if (!why.empty()) return why;  // the destructor removes the temporary file
    return file.commit(how);
}

}  // namespace velmora::convert
