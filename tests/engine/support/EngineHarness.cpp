// A fresh engine for one test over the fake photo application and recording pages.
#include "tests/engine/support/EngineHarness.h"

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

} // namespace lumsift::testing
