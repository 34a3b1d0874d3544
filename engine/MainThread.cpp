// The process-wide main-thread dispatcher and its default, which runs work on the caller's
// thread until the application installs its own.
#include "engine/MainThread.h"

#include <mutex>
#include <vector>

namespace lumsift {

namespace {

// Until the application sets its dispatcher, work runs at once on the calling thread.
class ImmediateMainThread : public MainThread {
public:
    void post(std::function<void()> work) override { work(); }
    void runAndWait(std::function<void()> work) override { work(); }
};

struct MainThreadSlot {
    std::mutex mutex;
    std::shared_ptr<MainThread> current = std::make_shared<ImmediateMainThread>();
    // Dispatchers replaced while a worker may still post through them stay alive.
    std::vector<std::shared_ptr<MainThread>> retired;
};

MainThreadSlot& mainThreadSlot() {
    static MainThreadSlot slot;
    return slot;
}

} // namespace

void setMainThread(std::shared_ptr<MainThread> dispatcher) {
    if (!dispatcher)
        dispatcher = std::make_shared<ImmediateMainThread>();
    MainThreadSlot& slot = mainThreadSlot();
    std::lock_guard lock(slot.mutex);
    slot.retired.push_back(std::move(slot.current));
    slot.current = std::move(dispatcher);
}

MainThread& mainThread() {
    MainThreadSlot& slot = mainThreadSlot();
    std::lock_guard lock(slot.mutex);
    return *slot.current;
}

} // namespace lumsift
