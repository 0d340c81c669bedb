#include "progress.h"

#include <cstdio>

namespace img3d_tool {

namespace {
constexpr auto kDelay = std::chrono::milliseconds(400);   // before a stage shows
constexpr auto kRefresh = std::chrono::milliseconds(250);
}  // namespace

Progress::Progress(bool enabled) : enabled_(enabled) {
    if (enabled_) thread_ = std::thread([this] { run(); });
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
