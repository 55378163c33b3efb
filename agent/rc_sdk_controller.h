// Robot controller: command words become tasks that one worker thread runs, one at a
// time and in queue order, as calls of the motion-control library.
#pragma once

#include "platform/mc_client/mc_client.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class rc_sdk_controller {
public:
    // Starts the worker, then initialises the motion-control library with `address`.
    explicit rc_sdk_controller(const std::string& address);
    // Lets a running task finish; tasks still waiting are dropped.
    ~rc_sdk_controller();

    rc_sdk_controller(const rc_sdk_controller&) = delete;
    rc_sdk_controller& operator=(const rc_sdk_controller&) = delete;
    rc_sdk_controller(rc_sdk_controller&&) = delete;
    rc_sdk_controller& operator=(rc_sdk_controller&&) = delete;

    // Queues one task per known command word and returns at once.
    void handle_command_list(const std::vector<std::pair<std::string, int>>& commands);
    // Queues one movement: `twist` sent every 10 ms for `duration` milliseconds.
    void handle_movement_command(robot_control::common::ROBOT_TWIST_ twist, int duration);

    // Reads the robot's common status and writes it to standard output and the log.
    void check_robot_state();
    // The one-line report of a status record.
    static std::string print_ROBOT_COMMON_STATUS(const robot_control::common::ROBOT_COMMON_STATUS_& status);

    // Posture steps run by tasks: request, then poll the status until it confirms.
    static void driver_enable(bool enable);
    static void set_scene(robot_control::common::SCENE_TYPE_ scene);

    // Shows an emoji state on the LED strip.
    static void show_emoji(int state);

private:
    void processCommands();
    // Queues `task`; false when the queue is full and the task is dropped (warned once per
    // backlog). `announce` runs only for a task that is taken, before the worker can start it.
    bool enqueue(std::function<void()> task, const std::function<void()>& announce = nullptr);

    std::string address;
    static constexpr size_t kMaxQueuedTasks = 256;
    std::deque<std::function<void()>> task_queue;
    std::mutex queue_mutex;
    std::condition_variable queue_cv;
    bool running;             // guarded by queue_mutex
    bool queue_full = false;  // guarded by queue_mutex: the drop has been logged for this backlog
    std::thread worker_thread;
};
