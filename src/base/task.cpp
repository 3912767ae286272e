#include "base/task.h"

#include <chrono>
#include <system_error>

namespace {

std::mutex g_task_count_mutex;
int g_task_count = 0;

// Set on a task's own thread when the task is destroyed there (deleted from
// inside its DoTask): Exec must then leave the object alone. A thread runs
// one Exec only, so a flag per thread is enough.
thread_local bool t_task_destroyed = false;

}  // namespace

Task::Task() = default;

Task::~Task() {
    SetState(STOP);
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(m_state_mutex);
        thread = std::move(m_tid);
    }
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // Destroyed from inside its own DoTask: the thread runs on to the end
        // of Exec, which now must not touch the object.
        t_task_destroyed = true;
        thread.detach();
    } else {
        thread.join();
    }
}

int Task::CreateTaskId() {
    std::lock_guard<std::mutex> guard(g_task_count_mutex);
    return g_task_count++;
}

int Task::Run() {
    std::lock_guard<std::mutex> guard(m_state_mutex);
    if (m_task_id >= 0 || m_tid.joinable()) return -1;
    m_state = RUN;
    try {
        m_tid = std::thread(&Task::Exec, this);
    } catch (const std::system_error&) {
        m_state = STOP;
        return -1;
    }
    m_task_id = CreateTaskId();
    return 0;
}

void Task::Exec(Task* task) {
    task->DoTask();
    if (!t_task_destroyed) task->SetState(STOP);
}

int Task::Join() {
    std::thread thread;
    {
        // The handle is taken out under the lock: a concurrent Run() sees
        // the task number still set and refuses, a concurrent Join() finds
        // no thread.
        std::lock_guard<std::mutex> guard(m_state_mutex);
        if (!m_tid.joinable() || m_tid.get_id() == std::this_thread::get_id()) return -1;
        thread = std::move(m_tid);
    }
    try {
        thread.join();
    } catch (const std::system_error&) {
        thread.detach();
        return -1;
    }
    std::lock_guard<std::mutex> guard(m_state_mutex);
    m_task_id = -1;
    return 0;
}

Task::State Task::GetState() {
    std::lock_guard<std::mutex> guard(m_state_mutex);
    return m_state;
}

void Task::SetState(State state) {
    {
        std::lock_guard<std::mutex> guard(m_state_mutex);
        m_state = state;
    }
    m_state_changed.notify_all();
}

int Task::Pause() {
    SetState(PAUSE);
    return 0;
}

int Task::Resume() {
    SetState(RUN);
    return 0;
}

int Task::Stop() {
    SetState(STOP);
    return 0;
}

int Task::Wait(unsigned int sec) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(sec);
    std::unique_lock<std::mutex> guard(m_state_mutex);
    while (clock::now() < deadline) {
        if (m_state != RUN) return -1;
        // Woken at once by SetState; the 100 ms step also catches a state
        // written directly between LockState() and UnlockState().
        auto step = std::min(deadline, clock::now() + std::chrono::milliseconds(100));
        m_state_changed.wait_until(guard, step);
    }
    return 0;
}

int Task::GetId() {
    std::lock_guard<std::mutex> guard(m_state_mutex);
    return m_task_id;
}
