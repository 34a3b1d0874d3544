// The main thread as the engine sees it: the dispatcher interface that runs work there, and the
// one process-wide dispatcher the engine posts every control change through. The application
// installs its event-loop dispatcher at start-up; tests install a queue.
#pragma once

#include <functional>
#include <memory>

namespace lumsift {

// Runs work on the main thread.
class MainThread {
public:
    virtual ~MainThread() = default;
    // Queues `work` (takes ownership) and returns at once; queued work runs in order.
    virtual void post(std::function<void()> work) = 0;
    // Runs `work` on the main thread and returns when it has run. Called on the main thread it
    // runs `work` at once.
    virtual void runAndWait(std::function<void()> work) = 0;
};

// Installs the process-wide dispatcher (shared ownership); null puts back the default, which
// runs work at once on the calling thread. A dispatcher that is replaced stays alive for the
// rest of the process, since a worker may still be posting through it.
void setMainThread(std::shared_ptr<MainThread> mainThread);
// The dispatcher in force; the default until one is set. Never fails.
MainThread& mainThread();

} // namespace lumsift
