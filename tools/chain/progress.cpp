#include "progress.h"

#include <cstdio>
#include <system_error>

#include "output_files.h"

namespace img3d_tool {

namespace {
thread_local std::string stage_now;                      // per thread: the Python binding runs chains side by side
constexpr auto kDelay = std::chrono::milliseconds(400);  // before a stage shows
constexpr auto kRefresh = std::chrono::milliseconds(250);
}  // namespace

const std::string& current_stage() { return stage_now; }
void set_current_stage(const std::string& stage) { stage_now = stage; }

Progress::Progress(bool enabled) : enabled_(enabled) {
    if (!enabled_) return;
    try {
        InterruptsHeld held;  // the main thread cleans up after them
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        enabled_ = false;  // no thread to spare: no progress line
    }
}

Progress::~Progress() {
    if (!enabled_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void Progress::begin(const std::string& stage) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = stage;
    started_ = std::chrono::steady_clock::now();
    active_ = true;
    shown_ = false;
}

void Progress::end() {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    active_ = shown_ = false;
}

void Progress::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kRefresh);
        if (stopping_ || !active_) continue;
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        if (elapsed < kDelay) continue;
        std::fprintf(stderr, "\r\033[Kimg3d: %s ... %.1f s", stage_.c_str(),
                     std::chrono::duration<double>(elapsed).count());
        std::fflush(stderr);
        shown_ = true;
    }
}

}  // namespace img3d_tool
