// A fresh engine for one test over the fake photo application and recording pages.
#include "tests/engine/support/EngineHarness.h"

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace lumsift::testing {

namespace {
std::shared_ptr<scripting::FakeApertureApplication>
registeredFake(std::shared_ptr<scripting::FakeApertureApplication> app) {
    scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                      [app] { return app; });
    return app;
}
} // namespace

EngineHarness::EngineHarness()
    : app(registeredFake(scripting::FakeApertureApplication::make())),
      main(std::make_shared<QueueMainThread>()),
      loadingPage(std::make_shared<RecordingLoadingPage>(events)),
      resultsPage(std::make_shared<RecordingResultsPage>(events)),
      delegate(std::make_shared<RecordingDelegate>(events)),
      engine(LumsiftForAperture::sharedLumsiftForAperture()) {
    setMainThread(main);
    engine.resetForTesting();
}

void EngineHarness::load(bool clear) {
    engine.loadLibrary(loadingPage);
    main->drain();
    if (!clear)
        return;
    events.clear();
    app->clearCalls();
}

void EngineHarness::addImage(const std::string& projectId, const std::string& id,
                             std::optional<uint64_t> plain, std::optional<uint64_t> plus,
                             std::optional<uint64_t> pro) {
    app->addVersion(projectId, id);
    if (plain)
        app->setCustomTag(id, kTagPlain, std::to_string(*plain));
    if (plus)
        app->setCustomTag(id, kTagPlus, std::to_string(*plus));
    if (pro)
        app->setCustomTag(id, kTagPro, std::to_string(*pro));
}

bool EngineHarness::engineLockIsFree() {
    bool free = false;
    std::thread([&] {
        std::recursive_mutex& lock = Access::engineLock(engine);
        free = lock.try_lock();
        if (free)
            lock.unlock();
    }).join();
    return free;
}

AsUnprivilegedReader::AsUnprivilegedReader() : was_(getuid()) {
    if (geteuid() == 0 && setreuid(65534, -1) != 0)
        throw std::runtime_error("cannot take the real uid of nobody");
}

AsUnprivilegedReader::~AsUnprivilegedReader() {
    // Tests after this one must not run as "nobody".
    if (getuid() != was_ && setreuid(was_, -1) != 0)
        std::abort();
}

} // namespace lumsift::testing
