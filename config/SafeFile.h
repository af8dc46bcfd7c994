// Files the station writes in its data folder, made so that whatever the
// folder holds, nothing outside it is written and no file appears half made.
//
// The data folder may be writable by others (an operators' group): a name in
// it may be a symbolic link, a FIFO or a folder planted there. So a file is
// only ever opened without following links, without waiting on what it finds,
// and kept only when it is a regular file; a new file is created exclusively,
// never over what a name already holds.
//
// Platform-specific: POSIX descriptors, Linux's O_TMPFILE and renameat2.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// Opens `path` with `flags` (O_RDONLY, O_WRONLY | O_APPEND, ...; O_CREAT |
// O_EXCL to make a new file) without following a link at its last component
// and without waiting on a FIFO, and keeps it only when it is a regular file.
// The descriptor, or -1 with errno set (ELOOP for a link, EINVAL for
// anything else that is not a regular file).
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0644);

// Renames `from` to `to` unless `to` exists (errno EEXIST); where the file
// system cannot rename so, by a second name and the first removed. 0 or -1.
int RenameNoReplace(const std::string& from, const std::string& to);

// Makes the folder's entries (a new name, a removed one) durable; a file
// system that cannot sync a folder is let be.
void SyncFolder(const std::string& folder);

// Writes all of `text`, going on after signals. False on any failure.
bool WriteWholly(int fd, std::string_view text);

// A new file that takes its name only when it is complete and on the disk:
// an unnamed file in the folder (O_TMPFILE) linked in at the end, or where the
// file system has none, a file under a name no one can guess, created
// exclusively and renamed into place. Its final name is never replaced.
class CNewFile {
public:
    CNewFile() = default;
    // Removes what was not committed.
    ~CNewFile();

    CNewFile(const CNewFile&) = delete;
    CNewFile& operator=(const CNewFile&) = delete;

    // Creates it in `folder`; `stem` is the final name's start, for the
    // temporary name where one is needed. False, with errno set, when it cannot.
    bool Create(const std::string& folder, const std::string& stem);
    int Fd() const { return m_fd; }

    enum class Commit { Done, Taken, Failed };
    // Makes the file durable (fsync), then gives it `name` in the folder unless
    // that name is taken (Taken: call again with another name). After Done the
    // folder's entry is made durable too.
    Commit Link(const std::string& name);

private:
    void Discard();

    std::string m_folder;
    std::string m_tempPath;  // empty for an unnamed file
    int m_fd = -1;
    bool m_synced = false;
};

// Whether `name` is a temporary name of the station's statistics files:
// "Stat<stamp>.txt.<tag>.tmp", the tag letters and digits (a process id for
// an older station's).
bool IsTemporaryName(std::string_view name);

// Removes the station's temporary files in `folder` (regular files only),
// left there by a writer that was killed. Call it while holding the folder's
// lock, when no writer of this station can be at work there. Returns how many.
int RemoveStaleTemporaries(const std::string& folder);
