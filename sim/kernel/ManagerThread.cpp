#include "sim/kernel/ManagerThread.h"

namespace sim {

ManagerThread::ManagerThread(Machine &machine, std::string name) : machine_(machine)
{
    KeInitializeEvent(&work_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&idle_, NotificationEvent, TRUE);
    thread_ = machine_.StartThread(
        std::move(name), [this] { Body(); }, ThreadKind::Service);
}

ManagerThread::~ManagerThread() { Stop(); }

void ManagerThread::Stop()
{
    SimThread *thread = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (thread_ == nullptr) {
            return;
        }
        stopping_ = true;
        thread = thread_;
        thread_ = nullptr;
    }
    // Teardown may run in a thread no longer bound to the machine.
    std::unique_ptr<ThreadScope> scope;
    if (Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<ThreadScope>(machine_, "manager-teardown");
    }
    KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
    machine_.Join(thread);
}

void ManagerThread::Body()
{
    id_ = std::this_thread::get_id();
    for (;;) {
        (void)KeWaitForSingleObject(&work_, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) {
                    KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
                    if (stopping_) {
                        return;
                    }
                    break;
                }
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job();
        }
    }
}

void ManagerThread::Post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
        KeClearEvent(&idle_);
    }
    KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
}

void ManagerThread::Run(std::function<void()> job)
{
    if (InThread()) {
        job();
        return;
    }
    auto done = std::make_shared<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    Post([done, job = std::move(job)] {
        job();
        KeSetEvent(done.get(), IO_NO_INCREMENT, FALSE);
    });
    (void)KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE, nullptr);
}

void ManagerThread::WaitIdle() { (void)KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr); }

}  // namespace sim
