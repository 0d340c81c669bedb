#include "output_files.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

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
    if (output.fd >= 0) ::close(output.fd);
    output.fd = -1;
    if (!output.temporary.empty()) ::unlink(output.temporary.c_str());
    output.temporary.clear();
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

    const std::string stem =
        folder_of(output.target) + "/." + name_of(output.target) + ".img3d-tmp-" + std::to_string(::getpid());
    for (int attempt = 0; output.fd < 0; ++attempt) {
        output.temporary = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt));
        // Registered first: a signal may come between the two.
        output.slot = register_temporary(output.temporary);
        output.fd = ::open(output.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (output.fd >= 0) break;
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
        if (::link(output.target.c_str(), output.backup.c_str()) != 0) output.backup.clear();
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        Output& output = outputs_[i];
        if (::rename(output.temporary.c_str(), output.target.c_str()) == 0) {
            release_slot(output.slot);
            output.slot = -1;
            output.temporary.clear();
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
        for (std::size_t j = i; j < outputs_.size(); ++j)
            if (!outputs_[j].backup.empty()) ::unlink(outputs_[j].backup.c_str());
        refuse(output.path, std::strerror(error));
    }
    for (const Output& output : outputs_)
        if (!output.backup.empty()) ::unlink(output.backup.c_str());
}

}  // namespace img3d_tool
