#include "output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "errors.h"

namespace img3d_tool {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporaries the signal handler removes: fixed storage, so the handler
// touches nothing that an interrupted allocation could be changing.
constexpr std::size_t kSlots = 16;
std::array<char[PATH_MAX], kSlots> slot_names;
std::array<std::atomic<bool>, kSlots> slot_used;
char made_folder[PATH_MAX];
std::atomic<bool> folder_made{false};

int register_temporary(const std::string& name) {
    if (name.size() >= PATH_MAX) return -1;
    // Claimed by exchange: threads of one process (the Python binding's)
    // may make outputs at the same time.
    for (std::size_t i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!slot_used[i].compare_exchange_strong(expected, true)) continue;
        std::memcpy(slot_names[i], name.c_str(), name.size() + 1);
        return static_cast<int>(i);
    }
    return -1;
}

void release_slot(int slot) {
    if (slot >= 0) slot_used[static_cast<std::size_t>(slot)].store(false);
}

extern "C" void on_interrupt(int signal_number) {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (slot_used[i].load()) ::unlink(slot_names[i]);
    if (folder_made.load()) ::rmdir(made_folder);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);  // delivered when the handler returns
}

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

[[noreturn]] void refuse(const std::string& path, const std::string& reason) { throw InputError(path + ": " + reason); }

[[noreturn]] void refuse_twice(const std::string& path, const std::string& other) {
    refuse(path, other == path ? "named for two outputs" : "is the same file as the output " + other);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally names, following symbolic links (a dangling link
// names the file it would create).
std::string follow_links(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat link;
        if (::lstat(target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return target;
        char buffer[PATH_MAX];
        const ssize_t size = ::readlink(target.c_str(), buffer, sizeof buffer - 1);
        if (size < 0) refuse(path, std::strerror(errno));
        const std::string destination(buffer, static_cast<std::size_t>(size));
        target = destination.front() == '/' ? destination : folder_of(target) + "/" + destination;
    }
    refuse(path, std::strerror(ELOOP));
}

constexpr const char* kTemporary = ".img3d-tmp-";

// A descriptor of path holding flock(LOCK_EX) on it, or -1 when another
// process holds it (its writer lives) or it cannot be opened.
int lock_if_free(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Removes what runs that died left of target's temporaries: those no live
// writer holds under flock, which a PID cannot say (PIDs are reused, and a
// shared file system has the writers of other machines).  A backup is put
// back where its replacement never completed (its run's temporary remains,
// or the file is gone), and otherwise removed.
void remove_leftovers(const std::string& target) {
    const std::string folder = folder_of(target), prefix = "." + name_of(target) + kTemporary;
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    std::vector<std::string> backups, others;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const bool backup = name.size() > 4 && name.compare(name.size() - 4, 4, "-old") == 0;
        (backup ? backups : others).push_back(folder + "/" + name);
    }
    ::closedir(listing);
    for (const std::string& backup : backups) {
        const int fd = lock_if_free(backup);
        if (fd < 0) continue;
        const std::string replacement = backup.substr(0, backup.size() - 4);
        if (exists(replacement) || !exists(target))
            ::rename(backup.c_str(), target.c_str());
        else
            ::unlink(backup.c_str());
        ::close(fd);
    }
    for (const std::string& temporary : others) {
        const int fd = lock_if_free(temporary);
        if (fd < 0) continue;
        ::unlink(temporary.c_str());
        ::close(fd);
    }
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

void install_interrupt_handlers() {
    for (std::size_t i = 0; i < kSlots; ++i) slot_used[i].store(false);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaddset(&action.sa_mask, s);
    for (int s : kSignals) {
        struct sigaction previous {};
        // A signal the shell set to be ignored (nohup, a background job)
        // stays ignored.
        if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

void remove_on_interrupt(const std::string& folder) {
    if (folder.size() >= PATH_MAX) return;
    std::memcpy(made_folder, folder.c_str(), folder.size() + 1);
    folder_made.store(true);
}

InterruptsHeld::InterruptsHeld() {
    const sigset_t set = interrupt_set();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

InterruptsHeld::~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool InterruptsHeld::pending() const {
    sigset_t waiting;
    sigpending(&waiting);
    for (int s : kSignals)
        if (sigismember(&waiting, s) == 1) return true;
    return false;
}

OutputFiles::OutputFiles(const std::vector<std::string>& inputs) {
    for (const std::string& input : inputs) {
        struct stat st;
        if (::stat(input.c_str(), &st) == 0) inputs_.emplace_back(st.st_dev, st.st_ino);
    }
}

OutputFiles::~OutputFiles() {
    for (Output& output : outputs_) discard(output);
}

void OutputFiles::discard(Output& output) {
    close_fd(output.fd);
    // Removed while still held, so no other run takes it for a leftover.
    if (!output.temporary.empty()) ::unlink(output.temporary.c_str());
    output.temporary.clear();
    close_fd(output.hold);
    close_fd(output.backup_hold);
    release_slot(output.slot);
    output.slot = -1;
}

int OutputFiles::add(const std::string& path) {
    Output output;
    output.path = path;
    output.target = follow_links(path);
    struct stat st;
    if (::stat(output.target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) refuse(path, std::strerror(EISDIR));
        if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file; it is not replaced");
        for (const auto& [device, inode] : inputs_)
            if (st.st_dev == device && st.st_ino == inode)
                refuse(path, "is the input file; the input is never overwritten (choose another output name)");
        for (const Output& other : outputs_)
            if (other.existed && st.st_dev == other.device && st.st_ino == other.inode) refuse_twice(path, other.path);
        if (::access(output.target.c_str(), W_OK) != 0) refuse(path, std::strerror(errno));
        output.existed = true;
        output.mode = st.st_mode & 07777;
        output.uid = st.st_uid;
        output.gid = st.st_gid;
        output.device = st.st_dev;
        output.inode = st.st_ino;
    }
    for (const Output& other : outputs_)
        if (other.target == output.target) refuse_twice(path, other.path);

    remove_leftovers(output.target);
    const std::string stem =
        folder_of(output.target) + "/." + name_of(output.target) + kTemporary + std::to_string(::getpid());
    for (int attempt = 0; output.fd < 0; ++attempt) {
        output.temporary = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt));
        // Registered first: a signal may come between the two.
        output.slot = register_temporary(output.temporary);
        output.fd = ::open(output.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (output.fd >= 0) {
            // Held on a descriptor of its own until the temporary is renamed
            // or removed: fd is closed before the rename, to see its errors.
            output.hold = ::fcntl(output.fd, F_DUPFD_CLOEXEC, 0);
            if (output.hold < 0 || ::flock(output.hold, LOCK_EX | LOCK_NB) != 0) {
                const int error = errno;
                outputs_.push_back(std::move(output));  // discarded by the destructor
                refuse(path, std::strerror(error));
            }
            break;
        }
        const int error = errno;
        release_slot(output.slot);
        output.slot = -1;
        output.temporary.clear();
        if (error != EEXIST || attempt > 100) refuse(path, std::strerror(error));
    }
    outputs_.push_back(std::move(output));
    return static_cast<int>(outputs_.size()) - 1;
}

void OutputFiles::commit() {
    // Written through to the disk, with the replaced file's permissions,
    // before anything is renamed.
    for (Output& output : outputs_) {
        if (output.existed) {
            if (::getuid() == 0 || ::geteuid() == 0) (void)!::fchown(output.fd, output.uid, output.gid);
            if (::fchmod(output.fd, output.mode) != 0) refuse(output.path, std::strerror(errno));
        }
        if (::fsync(output.fd) != 0 && errno != EINVAL) refuse(output.path, std::strerror(errno));
        const int fd = output.fd;
        output.fd = -1;
        if (::close(fd) != 0) refuse(output.path, std::strerror(errno));
    }

    // The renames run with the interrupts held: a run interrupted before
    // them leaves nothing, one interrupted during them ends after them.
    {
        InterruptsHeld held;
        if (held.pending()) return;  // released at once: the handler ends the run
    }
    InterruptsHeld held;
    for (Output& output : outputs_) {
        if (!output.existed) continue;
        output.backup = output.temporary + "-old";
        if (::link(output.target.c_str(), output.backup.c_str()) != 0) {
            output.backup.clear();
            continue;
        }
        output.backup_hold = ::open(output.backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (output.backup_hold >= 0) (void)::flock(output.backup_hold, LOCK_EX | LOCK_NB);
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        Output& output = outputs_[i];
        if (::rename(output.temporary.c_str(), output.target.c_str()) == 0) {
            release_slot(output.slot);
            output.slot = -1;
            output.temporary.clear();
            close_fd(output.hold);
            continue;
        }
        const int error = errno;
        for (std::size_t j = 0; j < i; ++j) {
            const Output& done = outputs_[j];
            if (!done.backup.empty())
                ::rename(done.backup.c_str(), done.target.c_str());
            else if (!done.existed)
                ::unlink(done.target.c_str());
        }
        for (std::size_t j = 0; j < outputs_.size(); ++j) {
            if (j >= i && !outputs_[j].backup.empty()) ::unlink(outputs_[j].backup.c_str());
            close_fd(outputs_[j].backup_hold);
        }
        refuse(output.path, std::strerror(error));
    }
    for (Output& output : outputs_) {
        if (!output.backup.empty()) ::unlink(output.backup.c_str());
        close_fd(output.backup_hold);
    }
}

}  // namespace img3d_tool
