// A progress line on standard error for the stages that take more than a
// moment, shown only when standard error is a terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace img3d_tool {

class Progress {
public:
    explicit Progress(bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Starts a stage; its name appears once the stage has run for a moment,
    // with the seconds elapsed.  end() clears the line.
    void begin(const std::string& stage);
    void end();

private:
    void run();

    bool enabled_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string stage_;
    std::chrono::steady_clock::time_point started_;
    bool active_ = false, shown_ = false, stopping_ = false;
    std::thread thread_;
};

// The stage that runs now (or ran last), to name where memory ran out.
const std::string& current_stage();
void set_current_stage(const std::string& stage);

// Measures one stage for the report and shows it on the progress line.
class StageTimer {
public:
    StageTimer(Progress& progress, const std::string& stage) : progress_(progress) {
        set_current_stage(stage);
        progress_.begin(stage);
    }
    ~StageTimer() { progress_.end(); }
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;
    double milliseconds() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    Progress& progress_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace img3d_tool
