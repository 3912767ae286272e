// Base of every long-running background thread: one thread, a run state
// changed from outside (run, pause, stop) and a process-wide task number.
//
// Thread safety: Run, Join, Pause, Resume, Stop, GetState, SetState, Wait and
// GetId may be called from any thread at any time. m_state_mutex guards the
// state, the thread handle and the task number (a leaf lock, never held
// across DoTask, a join or a sleep). Join takes the handle out under the
// lock and waits without it, so a Run or Join meanwhile finds no thread to
// start or reclaim.
//
// A task may delete itself from inside its own DoTask: its destructor then
// lets the thread go, and the thread ends without touching the object again.
// A subclass must still not be destroyed from another thread while its
// DoTask runs (see the destructor).
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class Task {
public:
    enum State { RUN = 0, PAUSE = 1, STOP = 2 };

    Task();
    // Sets STOP. A subclass whose thread may still run must Stop() and Join()
    // in its own destructor; should a thread still exist here, the destructor
    // waits for it rather than leave it running on a destroyed object.
    virtual ~Task();

    virtual int Init() { return 0; }
    virtual int Pause();
    virtual int Resume();
    virtual int Stop();
    virtual int SetAbort(bool) { return 0; }
    virtual void DoTask() {}

    // Starts the thread: 0, or -1 when the task already has one (also while
    // a Join is reclaiming it) or the thread cannot be created (the state is
    // then STOP).
    int Run();
    // Waits for the thread to end: 0, or -1 when there is none.
    int Join();

    State GetState();
    void SetState(State state);
    void LockState() { m_state_mutex.lock(); }
    void UnlockState() { m_state_mutex.unlock(); }

    // Sleeps up to `sec` seconds: -1 as soon as the state is not RUN, 0 when
    // the full time passed in RUN.
    int Wait(unsigned int sec);

    int GetId();
    static int CreateTaskId();

private:
    static void Exec(Task* task);

    // Guards m_state, m_tid and m_task_id. A leaf lock.
    std::mutex m_state_mutex;
    State m_state = STOP;
    std::condition_variable m_state_changed;
    std::thread m_tid;
    int m_task_id = -1;
};
