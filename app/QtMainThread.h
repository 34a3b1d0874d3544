// The main-thread dispatcher over the Qt event loop: queued and blocking-queued invocation on the
// application object. Installed for the engine with lumsift::setMainThread at start-up.
#pragma once

#include "engine/Pages.h"

#include <functional>

namespace lumsift::app {

class QtMainThread final : public MainThread {
public:
    // Queues `work` (takes ownership) on the application object and returns at once. Without a
    // QCoreApplication the work runs at once on the calling thread.
    void post(std::function<void()> work) override;
    // Runs `work` on the main thread and returns when it has run; on the main thread (or
    // without a QCoreApplication) it runs at once. The main thread must not be waiting for the
    // caller, or both wait for ever.
    void runAndWait(std::function<void()> work) override;
};

} // namespace lumsift::app
