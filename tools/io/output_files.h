// The files a run writes, all or nothing: each is written to a temporary
// file in its final folder, and only when every one is complete are they
// renamed into place.  On a failure, and when the run is interrupted, every
// temporary is removed and nothing of the run remains.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace img3d_tool {

// On SIGINT, SIGTERM or SIGHUP: removes this process's temporary files, then
// ends it by the same signal, so the shell sees status 128 + N.  Called once,
// before any output is made.
void install_interrupt_handlers();

// A folder the run made, removed (when empty) by those signals after the
// temporaries in it.
void remove_on_interrupt(const std::string& folder);

// Holds those signals back in the calling thread while it lives; a thread
// started meanwhile keeps them held for good, leaving them to the main one.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
    bool pending() const;  // one of them arrived and waits

private:
    sigset_t previous_;
};

class OutputFiles {
public:
    // inputs: files no output may be, compared by device and inode (so
    // through symbolic and hard links).
    explicit OutputFiles(const std::vector<std::string>& inputs);
    ~OutputFiles();  // removes every temporary not renamed into place
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Adds an output and makes its temporary file now, so that an output that
    // cannot be written is reported before any work.  The temporary,
    // ".NAME.img3d-tmp-PID", is held under flock while this process lives;
    // those of runs that died beside the output are removed first, and a
    // backup whose replacement never completed is put back.  A symbolic link is
    // followed to the file it names, which is then written.  Throws
    // InputError, naming path and the reason, for an output that is an input
    // or another output, a folder or other non-regular file, an existing file
    // without write permission, or a folder that takes no new file.
    // Returns the output's index.
    int add(const std::string& path);

    int fd(int index) const { return outputs_[static_cast<std::size_t>(index)].fd; }
    const std::string& path(int index) const { return outputs_[static_cast<std::size_t>(index)].path; }
    int size() const { return static_cast<int>(outputs_.size()); }

    // Flushes every temporary to the disk and renames each over its file; a
    // replaced file's permissions (and, for root, owner) carry over.  When a
    // step fails, whatever was already replaced is put back and InputError
    // names the output and the system's reason.
    void commit();

private:
    struct Output {
        std::string path;    // as the user gave it
        std::string target;  // after following symbolic links
        std::string temporary;
        std::string backup;  // a hard link to the replaced file during commit
        int fd = -1;
        int hold = -1;         // holds flock(LOCK_EX) on the temporary while it lives
        int backup_hold = -1;  // and on the backup
        int slot = -1;         // in the interrupt handler's list
        bool existed = false;
        mode_t mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        dev_t device = 0;
        ino_t inode = 0;
    };
    void discard(Output& output);

    std::vector<std::pair<dev_t, ino_t>> inputs_;
    std::vector<Output> outputs_;
};

}  // namespace img3d_tool
