// Files in the data folder: regular files opened without links or waits, new files made unnamed (or
// under a random name) and linked in without replacing, and writers' leftovers cleared.
#include "config/SafeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view TEMP_END = ".tmp";

// Sixteen hex digits no one can guess; the time and the process id where the
// system gives no random bytes.
std::string RandomTag() {
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        const uint64_t fallback = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
                                  static_cast<uint64_t>(::time(nullptr));
        for (size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<unsigned char>(fallback >> (8 * i));
        }
    }
    std::string tag;
    char hex[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        tag += hex;
    }
    return tag;
}

bool IsTagCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const int ignored = ::fsync(fd);
        ::close(fd);
    }
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // A file system without the flag: a second name, which never replaces one,
    // then the first removed.
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) != 0) {
        return -1;
    }
    ::unlink(from.c_str());
    return 0;
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // Non-blocking was for the open alone.
    const int now = ::fcntl(fd, F_GETFL);
    if (now >= 0) {
        ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    }
    return fd;
}

bool WriteWholly(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

CNewFile::~CNewFile() {
    Discard();
}

void CNewFile::Discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

bool CNewFile::Create(const std::string& folder, const std::string& stem) {
    Discard();
    m_folder = folder;
    m_synced = false;
    // An unnamed file is never seen half made, and a kill leaves nothing. It
    // is linked in through /proc, so without /proc it takes a name at once.
    if (::access("/proc/self/fd", X_OK) == 0) {
        m_fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false;  // the folder is missing or cannot be written
        }
    }
    m_tempPath = folder + "/" + stem + "." + RandomTag() + std::string(TEMP_END);
    m_fd = OpenRegularFile(m_tempPath, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (m_fd < 0) {
        m_tempPath.clear();
        return false;
    }
    return true;
}

CNewFile::Commit CNewFile::Link(const std::string& name) {
    if (m_fd < 0) {
        return Commit::Failed;
    }
    if (!m_synced) {
        if (::fsync(m_fd) != 0) {
            Discard();
            return Commit::Failed;
        }
        m_synced = true;
    }
    const std::string path = m_folder + "/" + name;
    int linked = -1;
    if (m_tempPath.empty()) {
        // The unnamed file by its descriptor's entry; linkat never replaces.
        const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
        linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        linked = RenameNoReplace(m_tempPath, path);
    }
    if (linked != 0) {
        if (errno == EEXIST) {
            return Commit::Taken;
        }
        Discard();
        return Commit::Failed;
    }
    m_tempPath.clear();
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    SyncFolder(m_folder);
    return closed ? Commit::Done : Commit::Failed;
}

bool IsTemporaryName(std::string_view name) {
    // "Stat<stamp>.txt.<tag>.tmp": a statistics file's, the only kind made so.
    constexpr std::string_view FINAL_END = ".txt";
    if (name.size() <= TEMP_END.size() || name.substr(name.size() - TEMP_END.size()) != TEMP_END ||
        name.rfind("Stat", 0) != 0) {
        return false;
    }
    name.remove_suffix(TEMP_END.size());
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == name.size() || dot < FINAL_END.size() ||
        name.substr(dot - FINAL_END.size(), FINAL_END.size()) != FINAL_END) {
        return false;
    }
    for (const char c : name.substr(dot + 1)) {
        if (!IsTagCharacter(c)) {
            return false;
        }
    }
    return true;
}

int RemoveStaleTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (IsTemporaryName(entry->d_name) &&
            ::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && ::unlinkat(dirFd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}
